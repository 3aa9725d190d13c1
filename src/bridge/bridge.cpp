#include "bridge/bridge.h"

#include <utility>
#include <vector>

#include "bridge/handshake.h"
#include "bridge/json.h"

namespace ordane::bridge {

namespace {

// One event reads at most one chunk and accepts at most a few connections. Winsock posts its
// events ahead of the window timers, so a socket with more waiting is held: a flood from a
// local process must not keep the scanner's timer from ever firing.
constexpr std::size_t kReadChunk = 4096;
constexpr int kAcceptsPerEvent = 4;
// A closed page's last data is what its socket held; more is a live page's.
constexpr int kChunksAtClose = 64;

LogWord FaultWord(OriginFault fault) {
    switch (fault) {
        case OriginFault::AnyPage:
            return "null and * would let any page in";
        case OriginFault::NotHttp:
            return "not http:// or https://";
        case OriginFault::Path:
            return "a path or a trailing / (an origin ends with the host or port)";
        case OriginFault::UserOrWildcard:
            return "a user or a wildcard";
        case OriginFault::NotAscii:
            return "a host not in ASCII (browsers send its xn-- form: write that)";
        case OriginFault::HostOrPort:
        case OriginFault::None:
            break;
    }
    return "no host, or a port out of range";
}

}  // namespace

Bridge::Bridge(BridgeSockets& sockets, BridgeSettings settings, std::string version,
               DiagnosticLog& log)
    : sockets_(sockets), settings_(std::move(settings)), version_(std::move(version)), log_(log) {}

bool Bridge::Start(std::string& reason) {
    off_ = BridgeOff::NotEnabled;
    if (!settings_.enabled) {
        reason = "not enabled";
        return false;
    }
    std::vector<std::string> origins;
    for (const std::string& entry : settings_.origins) {
        std::string normal;
        const OriginFault fault = NormalOrigin(entry, normal);
        if (fault != OriginFault::None) {
            log_.BridgeOrigin(FaultWord(fault), entry);
        } else {
            origins.push_back(normal);
        }
    }
    settings_.origins = origins;
    if (settings_.origins.empty()) {
        off_ = BridgeOff::NoOrigins;
        reason = "no origin is allowed (Origins is empty or none of its entries is an origin)";
        return false;
    }
    std::int64_t loopbackHttp = 0;
    for (const std::string& origin : settings_.origins) {
        loopbackHttp += LoopbackHttp(origin) ? 1 : 0;
    }
    if (loopbackHttp > 0) {
        // Any user of the machine who takes that port first serves the clerk's browser a page
        // of their own, which is then let in.
        log_.Event("bridge",
                   "warning: allowed http origins on this machine's loopback (count follows); "
                   "any user of the machine may serve them, https origins are safer",
                   loopbackHttp);
    }
    ListenFailure failure;
    listening_ = sockets_.Listen(settings_.port, failure);
    off_ = listening_ ? BridgeOff::None : BridgeOff::PortTaken;
    if (!listening_) {
        reason = failure.reason;
        LogListenFailure(failure);
        sockets_.ListenAgainAfter(kListenAgainMs);
    }
    return listening_;
}

void Bridge::LogListenFailure(const ListenFailure& failure) {
    log_.Event("bridge", failure.step, failure.winsockError);
    if (failure.heldByOrdane) {
        log_.Event("bridge",
                   "the port is held by the Ordane of another session: one bridge serves the "
                   "machine, the first session's");
    }
}

void Bridge::OnListenAgain() {
    if (listening_ || off_ != BridgeOff::PortTaken) {
        return;  // listening, or stopped
    }
    ListenFailure failure;
    listening_ = sockets_.Listen(settings_.port, failure);
    if (!listening_) {
        sockets_.ListenAgainAfter(kListenAgainMs);
        return;
    }
    off_ = BridgeOff::None;
    log_.Event("bridge", "listening on port at last", settings_.port);
    if (onListening_) {
        onListening_();
    }
}

void Bridge::Stop() {
    std::vector<SocketId> ids;
    for (auto& [id, connection] : connections_) {
        ids.push_back(id);
        if (connection.stage == Stage::Open) {
            // Said once, as far as the socket takes it now: Ordane does not wait for a page.
            // Behind what it is still being sent: a close inside a half-sent frame would be
            // read as part of that frame.
            std::string& out = connection.out;
            out += EncodeClose(kCloseGoingAway, "Ordane is closing");
            const std::ptrdiff_t n =
                sockets_.Send(id, reinterpret_cast<const std::uint8_t*>(out.data()), out.size());
            static_cast<void>(n);
        }
    }
    for (SocketId id : ids) {
        Drop(id);
    }
    listening_ = false;
    off_ = BridgeOff::NotEnabled;
}

void Bridge::OnAcceptable() {
    for (int i = 0; listening_; ++i) {
        if (i == kAcceptsPerEvent) {
            sockets_.Hold(kListener);
            return;
        }
        SocketId id = 0;
        if (!sockets_.Accept(id)) {
            return;
        }
        // One port serves the machine, but only Ordane's own session: on a terminal server
        // another clerk's page must not get this clerk's cards.
        const PeerOwner owner = sockets_.PeerSession(id);
        const std::optional<std::uint32_t>& session = owner.session;
        if (!ServePeer(owner, sockets_.OwnSession(), sockets_.UnderWine())) {
            const std::int64_t now = sockets_.UnixMs();
            if (!sessionRefusalEverLogged_ || now - sessionRefusalLogged_ >= kRefusalLogMs ||
                now < sessionRefusalLogged_) {
                log_.Event("bridge", "refused a connection from another session",
                           session ? static_cast<std::int64_t>(*session) : -1);
                sessionRefusalEverLogged_ = true;
                sessionRefusalLogged_ = now;
            }
            sockets_.Close(id);
            continue;
        }
        if (connections_.size() >= kMaxConnections) {
            // A connection that is not a page yet (or is being closed) makes room: a local
            // process opening connections and sending nothing cannot lock the pages out.
            auto oldest = connections_.end();
            for (auto it = connections_.begin(); it != connections_.end(); ++it) {
                if (it->second.stage != Stage::Open &&
                    (oldest == connections_.end() || it->second.since < oldest->second.since)) {
                    oldest = it;
                }
            }
            if (oldest == connections_.end()) {
                sockets_.Close(id);  // all are pages: only a flood of handshakes gets here
                continue;
            }
            Drop(oldest->first);
        }
        Connection connection;
        connection.since = ++accepted_;
        connections_[id] = std::move(connection);
    }
}

void Bridge::OnReadable(SocketId id) {
    if (connections_.count(id) == 0) {
        return;
    }
    if (ReadChunk(id) == static_cast<std::ptrdiff_t>(kReadChunk) && connections_.count(id) != 0) {
        sockets_.Hold(id);  // more may be waiting: later
    }
}

std::ptrdiff_t Bridge::ReadChunk(SocketId id) {
    std::uint8_t buffer[kReadChunk];
    const std::ptrdiff_t n = sockets_.Receive(id, buffer, sizeof buffer);
    if (n == kWouldBlock) {
        return n;
    }
    if (n <= 0) {
        Drop(id);  // the page went away, or its connection broke
        return n;
    }
    Take(id, connections_.at(id), buffer, static_cast<std::size_t>(n));
    return n;
}

void Bridge::Take(SocketId id, Connection& connection, const std::uint8_t* data, std::size_t size) {
    if (connection.stage == Stage::Closing) {
        return;  // what a page sends after our last word is not read
    }
    if (connection.stage == Stage::Open) {
        connection.decoder.Feed(data, size);
        ReadFrames(id, connection);
        return;
    }
    connection.request.append(reinterpret_cast<const char*>(data), size);
    std::size_t headEnd = 0;
    const HeadState state = FindHeadEnd(connection.request, headEnd);
    if (state == HeadState::Incomplete) {
        return;
    }
    if (state == HeadState::TooLarge) {
        // Most often a page's cookies for the host: it is told, and the log says so.
        HandshakeResult tooLarge;
        tooLarge.status = 431;
        tooLarge.response = kHeadTooLargeResponse;
        LogRefusal(tooLarge);
        CloseAfter(id, connection, tooLarge.response);
        return;
    }
    const HandshakeResult result =
        DecideHandshake(std::string_view(connection.request).substr(0, headEnd),
                        {settings_.port, settings_.origins});
    if (result.status != 101) {
        LogRefusal(result);
        CloseAfter(id, connection, result.response);
        return;
    }
    if (Pages() >= kMaxPages) {
        // A WebSocket close is what a page can read: its onclose sees 1013 and the reason.
        CloseAfter(id, connection,
                   result.response +
                       EncodeClose(kCloseTryAgainLater, "eight pages are connected already"));
        return;
    }
    const std::string rest = connection.request.substr(headEnd);
    connection.request.clear();
    connection.request.shrink_to_fit();
    connection.stage = Stage::Open;
    connection.out += result.response;
    connection.out +=
        EncodeFrame(Opcode::Text, Stamp(HelloMessage(version_, status_, settings_.typeScans)));
    connection.decoder.Feed(reinterpret_cast<const std::uint8_t*>(rest.data()), rest.size());
    ReadFrames(id, connection);  // may close it
    if (connections_.count(id) != 0) {
        Flush(id);
    }
}

void Bridge::ReadFrames(SocketId id, Connection& connection) {
    while (connection.stage == Stage::Open) {
        Incoming frame = connection.decoder.Next();
        switch (frame.kind) {
            case Incoming::Kind::NeedMore:
                return;
            case Incoming::Kind::Ping:
                Queue(id, connection, EncodeFrame(Opcode::Pong, frame.payload));
                if (connections_.count(id) == 0) {
                    return;  // dropped: it did not read its pongs either
                }
                break;
            case Incoming::Kind::Close:
                CloseAfter(id, connection, EncodeFrame(Opcode::Close, frame.payload));
                return;
            case Incoming::Kind::Fail:
                CloseAfter(id, connection, EncodeClose(frame.closeCode));
                return;
            case Incoming::Kind::Message:
                Heard(id, connection, frame.payload);
                if (connections_.count(id) == 0) {
                    return;  // dropped: it did not read what it asked for
                }
                break;
            case Incoming::Kind::Other:
                break;
        }
    }
}

void Bridge::Queue(SocketId id, Connection& connection, const std::string& bytes) {
    if (!connection.out.empty() && connection.out.size() + bytes.size() > kMaxQueued) {
        Drop(id);
        return;
    }
    connection.out += bytes;
    Flush(id);
}

void Bridge::CloseAfter(SocketId id, Connection& connection, const std::string& last) {
    connection.stage = Stage::Closing;
    connection.out += last;
    Flush(id);
}

void Bridge::Flush(SocketId id) {
    const auto it = connections_.find(id);
    if (it == connections_.end()) {
        return;
    }
    std::string& out = it->second.out;
    while (!out.empty()) {
        const std::ptrdiff_t n =
            sockets_.Send(id, reinterpret_cast<const std::uint8_t*>(out.data()), out.size());
        if (n == kWouldBlock) {
            return;  // the rest goes when the socket says it can take more
        }
        if (n <= 0) {
            Drop(id);
            return;
        }
        out.erase(0, static_cast<std::size_t>(n));
    }
    if (it->second.stage == Stage::Closing) {
        Drop(id);
    }
}

std::string Bridge::Stamp(const std::string& message) {
    return Stamped(message, ++sent_, sockets_.UnixMs());
}

void Bridge::LogRefusal(const HandshakeResult& result) {
    const std::int64_t now = sockets_.UnixMs();
    if (refusalEverLogged_ && now - refusalLogged_ < kRefusalLogMs && now >= refusalLogged_) {
        ++refusalsUnwritten_;
        return;
    }
    log_.BridgeRefused(result.origin, result.host, result.status, refusalsUnwritten_);
    refusalEverLogged_ = true;
    refusalLogged_ = now;
    refusalsUnwritten_ = 0;
}

void Bridge::OnWritable(SocketId id) {
    Flush(id);
}

void Bridge::OnClosed(SocketId id) {
    // What came before the close is read, then the close itself. A socket that has nothing to
    // read but is not closed is another connection that reuses a closed one's value, and the
    // event is the old one's, still queued: it is not dropped.
    for (int chunk = 0; connections_.count(id) != 0; ++chunk) {
        if (chunk == kChunksAtClose) {
            sockets_.Hold(id);  // a live page still sending: the rest later
            return;
        }
        if (ReadChunk(id) <= 0) {
            return;  // nothing more now, or the connection is gone
        }
    }
}

void Bridge::Drop(SocketId id) {
    connections_.erase(id);
    sockets_.Close(id);
}

void Bridge::PushToPages(const std::string& message) {
    std::vector<SocketId> pages;
    for (const auto& [id, connection] : connections_) {
        if (connection.stage == Stage::Open) {
            pages.push_back(id);
        }
    }
    if (pages.empty()) {
        return;
    }
    const std::string frame = EncodeFrame(Opcode::Text, Stamp(message));
    for (SocketId id : pages) {
        const auto it = connections_.find(id);
        if (it != connections_.end()) {
            Queue(id, it->second, frame);
        }
    }
}

void Bridge::Scan(const Text& text, ScanDelivery delivery, std::optional<bool> delivered) {
    PushToPages(ScanMessage(text, delivery, delivered));
}

void Bridge::Card(const CardReading& card, std::optional<bool> delivered) {
    currentCard_ = CardMessage(card, delivered);
    PushToPages(*currentCard_);
}

void Bridge::CardRemoved() {
    currentCard_.reset();
    PushToPages(CardRemovedMessage());
}

void Bridge::Status(const ReadingsStatus& status) {
    if (status == status_) {
        return;
    }
    status_ = status;
    PushToPages(StatusMessage(status_));
}

void Bridge::Heard(SocketId id, Connection& connection, const std::string& message) {
    std::string compact;
    for (const char c : message) {
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n') {
            compact += c;
        }
    }
    if (compact == "{\"type\":\"takeScans\"}") {
        connection.takesScansUntil = sockets_.UnixMs() + kTakeScansMs;
    } else if (compact == "{\"type\":\"typeScans\"}") {
        connection.takesScansUntil = 0;
    } else if (compact == "{\"type\":\"readCard\"}") {
        // To the page that asked only: a page that reloaded gets the card without the clerk
        // lifting it; nothing is replayed to a page unasked.
        Queue(id, connection,
              EncodeFrame(Opcode::Text, Stamp(currentCard_ ? *currentCard_ : NoCardMessage())));
    }  // anything else is ignored
}

bool Bridge::TakesScans() const {
    if (settings_.typeScans) {
        return false;
    }
    const std::int64_t now = sockets_.UnixMs();
    for (const auto& entry : connections_) {
        const Connection& page = entry.second;
        // A clock set back must not make a claim last longer.
        const std::int64_t left = page.takesScansUntil - now;
        if (page.stage == Stage::Open && page.out.empty() && left > 0 && left <= kTakeScansMs) {
            return true;
        }
    }
    return false;
}

std::size_t Bridge::Pages() const {
    std::size_t pages = 0;
    for (const auto& entry : connections_) {
        pages += entry.second.stage == Stage::Open ? 1 : 0;
    }
    return pages;
}

}  // namespace ordane::bridge
