// The local WebSocket service that browser-based business applications connect to. It owns the
// connections and is driven by socket events on the user-interface thread; it never waits: a
// page that does not keep up is dropped, never waited for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "bridge/bridge_settings.h"
#include "bridge/frame.h"
#include "bridge/handshake.h"
#include "bridge/peer_session.h"
#include "app/readings.h"
#include "log/diagnostic_log.h"

namespace ordane::bridge {

using SocketId = std::uintptr_t;

inline constexpr std::ptrdiff_t kWouldBlock = -1;
inline constexpr std::ptrdiff_t kBroken = -2;
inline constexpr std::size_t kMaxPages = 8;
// Pages and connections that are not pages yet: the ninth page still gets its handshake, and
// with it the close that tells it why.
inline constexpr std::size_t kMaxConnections = kMaxPages + 4;
// Refused requests are written to the log at most once in this time, with the count between.
inline constexpr std::int64_t kRefusalLogMs = 10'000;
// A page's {"type":"takeScans"} holds for this long; it renews it while it reads.
inline constexpr std::int64_t kTakeScansMs = 5'000;
// A port that cannot be listened on is tried again this often, until it can: after a restart
// Windows may keep it from us while the last run's connections linger.
inline constexpr std::uint32_t kListenAgainMs = 3'000;
// What may wait for a page that does not read before it is dropped.
inline constexpr std::size_t kMaxQueued = std::size_t{1} << 20;
// The listening socket, for Hold.
inline constexpr SocketId kListener = ~SocketId{0};

// Why the port could not be listened on.
struct ListenFailure {
    std::string reason;  // in full, for the debug output
    LogWord step = "listen failed";
    std::int64_t winsockError = 0;
    // Another Ordane listens on it: on a machine with several sessions, another session's.
    bool heldByOrdane = false;
};

// Non-blocking sockets on the loopback addresses. Events arrive at the Bridge's On... methods.
class BridgeSockets {
  public:
    virtual ~BridgeSockets() = default;
    // Listens on 127.0.0.1:port and [::1]:port, each exclusively, never on another address.
    // "localhost" may be either: a [::1] held by another program would take the pages that
    // dial it, so a port not had on both is not listened on at all (where the machine has no
    // IPv6, no one can hold [::1]). False with the failure when it cannot.
    virtual bool Listen(std::uint16_t port, ListenFailure& failure) = 0;
    // A connection waiting to be accepted, if any.
    virtual bool Accept(SocketId& id) = 0;
    // Bytes read, 0 when the page closed its side, kWouldBlock or kBroken.
    virtual std::ptrdiff_t Receive(SocketId id, std::uint8_t* buffer, std::size_t size) = 0;
    // Bytes taken, kWouldBlock or kBroken.
    virtual std::ptrdiff_t Send(SocketId id, const std::uint8_t* data, std::size_t size) = 0;
    virtual void Close(SocketId id) = 0;
    // No more incoming data (or, for kListener, connections) is reported for this socket
    // until the thread's other messages, the scanner's timer among them, had their turn.
    virtual void Hold(SocketId id) = 0;
    // The time now in milliseconds since 1970 (UTC).
    virtual std::int64_t UnixMs() = 0;
    // Calls the Bridge's OnListenAgain once, after this time.
    virtual void ListenAgainAfter(std::uint32_t ms) = 0;
    // Who is at the other end of an accepted connection, from the system's tables of
    // connections.
    virtual PeerOwner PeerSession(SocketId id) = 0;
    // The session Ordane runs in.
    virtual std::uint32_t OwnSession() = 0;
    // Found out at run time: Wine lists only its own processes' connections.
    virtual bool UnderWine() = 0;
};

// Why the bridge is off after Start.
enum class BridgeOff { None, NotEnabled, NoOrigins, PortTaken };

class Bridge final : public Readings {
  public:
    Bridge(BridgeSockets& sockets, BridgeSettings settings, std::string version,
           DiagnosticLog& log = DiagnosticLog::Off());
    Bridge(const Bridge&) = delete;
    Bridge& operator=(const Bridge&) = delete;

    // Opens the listening socket; false leaves the bridge off (Off says why), and the rest of
    // the program works as before. Allow-list entries that are not an origin are left out,
    // each with a log line naming it.
    bool Start(std::string& reason);
    BridgeOff Off() const { return off_; }
    // Called when the port, taken at Start, could be listened on at last.
    void SetOnListening(std::function<void()> onListening) {
        onListening_ = std::move(onListening);
    }
    void OnListenAgain();
    // Ordane ends: every page is told so (close 1001) and every connection closed.
    void Stop();

    void OnAcceptable();
    void OnReadable(SocketId id);
    void OnWritable(SocketId id);
    // Also for an event still queued from a closed socket whose value a new one took.
    void OnClosed(SocketId id);

    void Scan(const Text& text, ScanDelivery delivery, std::optional<bool> delivered) override;
    void Card(const CardReading& card, std::optional<bool> delivered) override;
    void CardRemoved() override;
    void Status(const ReadingsStatus& status) override;
    // With TypeScans=0, while a page asked for the barcodes within kTakeScansMs and reads
    // what it is sent (nothing waits for it): a stalled page does not swallow them.
    bool TakesScans() const override;

    std::size_t Pages() const;
    std::size_t Connections() const { return connections_.size(); }

  private:
    enum class Stage { Request, Open, Closing };
    struct Connection {
        Stage stage = Stage::Request;
        std::uint64_t since = 0;  // order of acceptance
        std::string request;      // the head as it arrives
        FrameDecoder decoder;
        std::string out;
        std::int64_t takesScansUntil = 0;  // the page asked for the barcodes until then
    };

    // Reads at most one chunk of a connection's bytes and takes them; a page that went away or
    // a broken connection is dropped. Returns what Receive returned.
    std::ptrdiff_t ReadChunk(SocketId id);
    void Take(SocketId id, Connection& connection, const std::uint8_t* data, std::size_t size);
    void ReadFrames(SocketId id, Connection& connection);
    // A page's message: {"type":"takeScans"}, {"type":"typeScans"} or {"type":"readCard"}.
    void Heard(SocketId id, Connection& connection, const std::string& message);
    // Queues bytes for a connection; over the bound the page is dropped.
    void Queue(SocketId id, Connection& connection, const std::string& bytes);
    void CloseAfter(SocketId id, Connection& connection, const std::string& last);
    void Flush(SocketId id);
    void Drop(SocketId id);
    void PushToPages(const std::string& message);
    void LogRefusal(const HandshakeResult& result);
    // Numbers the message (one more than the last, to whichever page) and gives it the time.
    std::string Stamp(const std::string& message);

    BridgeSockets& sockets_;
    BridgeSettings settings_;
    std::string version_;
    DiagnosticLog& log_;
    // Logs why the port could not be listened on, once per Start.
    void LogListenFailure(const ListenFailure& failure);

    bool listening_ = false;
    BridgeOff off_ = BridgeOff::NotEnabled;
    std::int64_t refusalLogged_ = 0;
    std::int64_t sessionRefusalLogged_ = 0;
    bool sessionRefusalEverLogged_ = false;
    bool refusalEverLogged_ = false;
    std::uint32_t refusalsUnwritten_ = 0;
    ReadingsStatus status_;
    // The message of the card lying on the reader, for a page that asks for it.
    std::optional<std::string> currentCard_;
    std::uint64_t accepted_ = 0;
    std::uint64_t sent_ = 0;
    std::function<void()> onListening_;
    std::map<SocketId, Connection> connections_;
};

}  // namespace ordane::bridge
