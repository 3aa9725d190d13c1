#include "app/scan_collector.h"

#include <utility>

namespace ordane {

namespace {
// The tick difference is taken modulo 2^32, so the wrap of the millisecond counter does not
// matter.
std::uint32_t Since(std::uint32_t earlier, std::uint32_t later) {
    return static_cast<std::uint32_t>(later - earlier);
}
}  // namespace

void ScanCollector::Add(const ArrivedBytes& piece, std::vector<CollectedReading>& finished) {
    if (piece.bytes.empty()) {
        return;
    }
    if (collecting_ && (piece.wholeReading || QuietSince(piece.at, piece.at - piece.unseenMs))) {
        FinishNow(finished);
    }
    if (!terminator_.empty() && !piece.wholeReading) {
        AddTerminated(piece, finished);
        return;
    }
    Append(piece.bytes, piece.at);
    current_.incomplete = current_.incomplete || piece.cut;
    if (piece.wholeReading) {
        // A block is whole already; a terminator the scanner still adds to it is not typed.
        if (!terminator_.empty() && current_.bytes.ends_with(terminator_)) {
            current_.bytes.resize(current_.bytes.size() - terminator_.size());
        }
        FinishNow(finished);
    }
}

void ScanCollector::AddTerminated(const ArrivedBytes& piece,
                                  std::vector<CollectedReading>& finished) {
    std::string_view rest = piece.bytes;
    if (heldFirst_) {
        heldFirst_ = false;
        if (rest.front() == terminator_[1]) {
            current_.received += 1;
            current_.lastByteAt = piece.at;
            FinishNow(finished);
            rest.remove_prefix(1);
        } else {
            current_.received -= 1;                      // counted when it was held
            Append(terminator_.substr(0, 1), piece.at);  // a lone CR is part of the reading
        }
    }
    while (!rest.empty()) {
        const std::size_t end = rest.find(terminator_);
        if (end == std::string_view::npos) {
            if (terminator_.size() == 2 && rest.back() == terminator_[0]) {
                Append(rest.substr(0, rest.size() - 1), piece.at);
                collecting_ = true;
                current_.received += 1;
                current_.lastByteAt = piece.at;
                heldFirst_ = true;
            } else {
                Append(rest, piece.at);
            }
            current_.incomplete = current_.incomplete || piece.cut;
            return;
        }
        Append(rest.substr(0, end), piece.at);
        if (collecting_) {
            current_.received += terminator_.size();
        }
        // A terminator alone, right after the one before, is no reading.
        FinishNow(finished);
        rest.remove_prefix(end + terminator_.size());
    }
}

void ScanCollector::Append(std::string_view bytes, std::uint32_t at) {
    if (bytes.empty()) {
        return;
    }
    collecting_ = true;
    current_.lastByteAt = at;
    current_.received += bytes.size();
    if (current_.tooLong || current_.bytes.size() + bytes.size() > kMaxReading) {
        current_.tooLong = true;  // dropped whole, up to the next pause
        current_.bytes.clear();
    } else {
        current_.bytes += bytes;
    }
}

bool ScanCollector::QuietSince(std::uint32_t until, std::uint32_t seenAt) const {
    // Signed: a look before the last byte saw none of the pause.
    const auto seen = static_cast<std::int32_t>(seenAt - current_.lastByteAt);
    return Since(current_.lastByteAt, until) > kQuietMs &&
           seen >= static_cast<std::int32_t>(kSeenQuietMs);
}

void ScanCollector::Finish(std::uint32_t now, std::uint32_t lineSeenAt,
                           std::vector<CollectedReading>& finished) {
    if (collecting_ && QuietSince(now, lineSeenAt)) {
        FinishNow(finished);
    }
}

void ScanCollector::FinishNow(std::vector<CollectedReading>& finished) {
    if (heldFirst_) {
        // The reading ended otherwise after a CR with no LF: the CR was the reading's own.
        heldFirst_ = false;
        current_.received -= 1;
        Append(terminator_.substr(0, 1), current_.lastByteAt);
    }
    if (!collecting_) {
        return;
    }
    finished.push_back(std::move(current_));
    current_ = CollectedReading{};
    collecting_ = false;
}

std::size_t ScanCollector::Drop() {
    const std::size_t had = current_.received;
    current_ = CollectedReading{};
    collecting_ = false;
    heldFirst_ = false;
    return had;
}

}  // namespace ordane
