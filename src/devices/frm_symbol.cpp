#include "devices/frm_symbol.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <utility>

#include "common/delay.h"
#include "devices/ssi_host.h"

namespace ordane {

namespace {
constexpr std::uint8_t kReadingMarker[] = {'D', 'E', '6', 'K', '8'};
constexpr std::int32_t kMarkerSize = static_cast<std::int32_t>(sizeof(kReadingMarker));
constexpr std::int32_t kLinkBaudRate = 9600;

// A count from a message is trusted only within the buffer the library was given.
std::int32_t ClampToLibraryBuffer(std::int32_t n) {
    return std::clamp<std::int32_t>(n, 0, FrmSymbol::kLibraryBufferGiven);
}
}  // namespace

FrmSymbol::FrmSymbol(SymbolLinkLibrary& link, MessagePump& pump, WindowHandle window)
    : link_(link), pump_(pump), window_(window) {}

std::int32_t FrmSymbol::OpenPort(std::int32_t Port, const LineSettings& /*line*/) {
    const std::int32_t r = link_.ConnPort(window_, kLinkBaudRate, Port);
    if (r == 0) {
        link_.SetBuff(Port, libraryBuffer_.data(), kLibraryBufferGiven);
        port_ = Port;
        SetPacketFormat();
    }
    return r;
}

void FrmSymbol::SetPacketFormat() {
    // Decode data packet format = packeted: readings then arrive as decode packets.
    params_[0] = 0xEE;
    params_[1] = 0x01;
    params_[2] = 0x00;
    link_.SetParam(port_, params_.data(), 2);
}

std::int32_t FrmSymbol::ClosePort() {
    const std::int32_t result = link_.DisConnPort(window_, port_);
    LoseUnread("Symbol reading unread when the port closed");
    return result;
}

void FrmSymbol::LoseUnread(LogWord why) {
    for (const ArrivedBytes& reading : readings_) {
        if (reading.wholeReading) {  // a reading begun by ReadData is no one's to tell
            losses_.push_back(why);
        }
    }
    readings_.clear();
}

void FrmSymbol::TakeLosses(std::vector<LogWord>& out) {
    const std::uint32_t failed = link_.FailedHandOvers();
    for (; handOversSeen_ != failed; ++handOversSeen_) {
        losses_.push_back("Symbol reading the link could not hand over");
    }
    out.insert(out.end(), losses_.begin(), losses_.end());
    losses_.clear();
}

std::int32_t FrmSymbol::ReadData(std::uint8_t* buff, std::int32_t BuffSize) {
    if (readings_.empty()) {
        return link_.LinkFailed() ? -1 : 0;  // the scanner's port went away
    }
    if (BuffSize <= 0 || buff == nullptr) {
        return 0;
    }
    std::size_t n = 0;
    const auto capacity = static_cast<std::size_t>(BuffSize);
    while (n < capacity && !readings_.empty()) {
        ArrivedBytes& front = readings_.front();
        const std::size_t take = std::min(front.bytes.size(), capacity - n);
        std::memcpy(buff + n, front.bytes.data(), take);
        n += take;
        front.bytes.erase(0, take);
        front.wholeReading = false;
        if (front.bytes.empty()) {
            readings_.pop_front();
        }
    }
    return static_cast<std::int32_t>(n);
}

std::int32_t FrmSymbol::TakeArrived(std::vector<ArrivedBytes>& out) {
    if (readings_.empty()) {
        return link_.LinkFailed() ? -1 : 0;
    }
    const auto n = static_cast<std::int32_t>(readings_.size());
    out.insert(out.end(), std::make_move_iterator(readings_.begin()),
               std::make_move_iterator(readings_.end()));
    readings_.clear();
    return n;
}

std::int32_t FrmSymbol::PendingCount() const {
    std::size_t total = 0;
    for (const ArrivedBytes& reading : readings_) {
        total += reading.bytes.size();
    }
    return static_cast<std::int32_t>(total);
}

std::int32_t FrmSymbol::WriteData(const std::uint8_t* /*buff*/, std::int32_t /*Count*/) {
    return 0;
}

std::int32_t FrmSymbol::ClearRXBuff() {
    LoseUnread("Symbol reading unread when the port was cleared");
    return 0;
}

bool FrmSymbol::CheckSymbol() {
    version_.clear();
    link_.GetScannerVersion(port_);
    Delay(pump_, 1);
    if (version_.empty() || !ContainsIgnoreCase(version_, u"NBRPYA")) {
        return false;
    }
    ScannerXH = u"DS6607";
    // A scanner switched off and on since the port opened has forgotten the packet format
    // and would send its readings raw.
    SetPacketFormat();
    return true;
}

void FrmSymbol::SymbolWindowHook(unsigned msg, std::int32_t n) {
    if (msg == kSymbolDataMessage) {
        // A block arrives whole and stays a reading of its own. An empty block is no reading:
        // queued, the bare marker would be taken for an empty scan.
        if (n <= 0) {
            return;
        }
        if (readings_.size() >= kMaxReadings) {
            ++dropped_;
            losses_.push_back("Symbol reading beyond 64 unread");
            return;
        }
        const std::int32_t kept =
            std::min(ClampToLibraryBuffer(n), static_cast<std::int32_t>(kStoreSize) - kMarkerSize);
        ArrivedBytes reading;
        reading.bytes.assign(std::begin(kReadingMarker), std::end(kReadingMarker));
        reading.bytes.append(libraryBuffer_.begin(), libraryBuffer_.begin() + kept);
        reading.at = pump_.TickCount();
        reading.wholeReading = true;
        readings_.push_back(std::move(reading));
    } else if (msg == kSymbolLostMessage) {
        const std::uint8_t why = n > 0 ? libraryBuffer_[0] : 0;
        losses_.push_back(why == static_cast<std::uint8_t>(SsiReading::Loss::kGivenUp)
                              ? LogWord("Symbol reading given up by the scanner part-way")
                          : why == static_cast<std::uint8_t>(SsiReading::Loss::kRaw)
                              ? LogWord("Symbol reading sent raw after a power cycle")
                              : LogWord("Symbol reading whose first part was ambiguous"));
    } else if (msg == kSymbolVersionMessage) {
        version_ += FromBytesAsLatin1(libraryBuffer_.data(),
                                      static_cast<std::size_t>(ClampToLibraryBuffer(n)));
    }
}

}  // namespace ordane
