// What a local process or page may send the browser bridge: a request head, then frames. The
// head is answered only with 101, 400, 403 or 404, and 101 only for the allowed origin on the
// loopback host; the frame decoder holds at most one frame and the chunk that came, gives
// nothing over 4 KiB, never moves on after a failure, and decodes the same whatever the
// chunks the bytes arrive in.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "bridge/frame.h"
#include "bridge/handshake.h"
#include "fuzz/check.h"

namespace {

using ordane::bridge::FrameDecoder;
using ordane::bridge::Incoming;

const ordane::bridge::HandshakeRules kRules{17520, {"http://127.0.0.1:8080"}};

std::vector<Incoming> Decode(const std::string& bytes, FuzzedDataProvider* chunks) {
    FrameDecoder decoder;
    std::vector<Incoming> out;
    for (std::size_t at = 0; at < bytes.size();) {
        const std::size_t size =
            chunks != nullptr ? chunks->ConsumeIntegralInRange<std::size_t>(1, 5000) : bytes.size();
        const std::size_t n = std::min(size, bytes.size() - at);
        decoder.Feed(reinterpret_cast<const std::uint8_t*>(bytes.data()) + at, n);
        at += n;
        FUZZ_CHECK(decoder.Buffered() <= ordane::bridge::kMaxIncoming + 14 + n,
                   "at most one frame and one chunk held");
        for (Incoming in = decoder.Next(); in.kind != Incoming::Kind::NeedMore;
             in = decoder.Next()) {
            FUZZ_CHECK(in.payload.size() <= ordane::bridge::kMaxIncoming, "nothing over 4 KiB");
            FUZZ_CHECK(in.kind != Incoming::Kind::Ping || in.payload.size() <= 125,
                       "a ping carries at most 125 bytes");
            out.push_back(in);
            if (in.kind == Incoming::Kind::Fail) {
                FUZZ_CHECK(decoder.Next().kind == Incoming::Kind::Fail, "a failure stays");
                return out;
            }
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const std::string head = in.ConsumeRandomLengthString(ordane::bridge::kMaxRequestHead + 16);
    std::size_t end = 0;
    const auto state = ordane::bridge::FindHeadEnd(head, end);
    FUZZ_CHECK(state != ordane::bridge::HeadState::Complete || end <= head.size(),
               "the head ends within what came");
    if (state == ordane::bridge::HeadState::Complete) {
        const auto result = ordane::bridge::DecideHandshake(head.substr(0, end), kRules);
        const int s = result.status;
        FUZZ_CHECK(s == 101 || s == 400 || s == 403 || s == 404, "only the four answers");
        FUZZ_CHECK(result.response.rfind("HTTP/1.1 " + std::to_string(s) + " ", 0) == 0 &&
                       result.response.size() >= 4 &&
                       result.response.compare(result.response.size() - 4, 4, "\r\n\r\n") == 0,
                   "a whole answer of that status");
        // Origins compare as browsers write them: scheme and host in any case.
        std::string lower = head;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        FUZZ_CHECK(s != 101 || (lower.find("http://127.0.0.1:8080") != std::string::npos &&
                                head.find("/readings") != std::string::npos &&
                                head.find(":17520") != std::string::npos),
                   "101 only for the allowed origin, the path and the host");
    }
    const std::string frames = in.ConsumeRandomLengthString(3 * ordane::bridge::kMaxIncoming);
    const std::vector<Incoming> whole = Decode(frames, nullptr);
    const std::vector<Incoming> chunked = Decode(frames, &in);
    FUZZ_CHECK(whole.size() == chunked.size(), "same frames whatever the chunks");
    for (std::size_t i = 0; i < whole.size(); ++i) {
        FUZZ_CHECK(whole[i].kind == chunked[i].kind && whole[i].payload == chunked[i].payload &&
                       whole[i].closeCode == chunked[i].closeCode,
                   "same frames whatever the chunks");
    }
    return 0;
}
