// WebSocket frames after the handshake. What a page sends is read by FrameDecoder: every frame
// must be masked, control frames are short and whole, a message may come in fragments. The
// page has nothing to tell us, so messages are only checked and dropped; a frame or message
// over 4 KiB ends the connection, so no page can make us hold more than that.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ordane::bridge {

inline constexpr std::size_t kMaxIncoming = 4096;

inline constexpr std::uint16_t kCloseNormal = 1000;
inline constexpr std::uint16_t kCloseProtocolError = 1002;
inline constexpr std::uint16_t kCloseTooBig = 1009;
inline constexpr std::uint16_t kCloseGoingAway = 1001;      // Ordane ends
inline constexpr std::uint16_t kCloseTryAgainLater = 1013;  // no room for another page

enum class Opcode : std::uint8_t {
    Continuation = 0x0,
    Text = 0x1,
    Binary = 0x2,
    Close = 0x8,
    Ping = 0x9,
    Pong = 0xA,
};

// An unmasked frame with FIN set, as a server sends it.
std::string EncodeFrame(Opcode opcode, std::string_view payload);
// reason: at most 123 bytes of UTF-8, for the page's CloseEvent.reason.
std::string EncodeClose(std::uint16_t code, std::string_view reason = {});

struct Incoming {
    enum class Kind {
        NeedMore,  // nothing whole yet
        Ping,      // payload: what the pong carries back
        Close,     // payload: the answer's body, the page's close code alone (empty without)
        Message,   // a whole text or binary message, fragments joined (ignored by the bridge)
        Other,     // a pong, or a fragment taken in
        Fail,      // closeCode says why; nothing more is read
    };
    Kind kind = Kind::NeedMore;
    std::string payload;
    std::uint16_t closeCode = 0;
};

class FrameDecoder {
  public:
    void Feed(const std::uint8_t* data, std::size_t size);
    // Takes the next frame out of what was fed. After Fail, always Fail.
    Incoming Next();
    std::size_t Buffered() const { return buffer_.size(); }

  private:
    Incoming Fail(std::uint16_t code);

    std::string buffer_;
    bool inMessage_ = false;  // a text or binary message has begun and not ended
    std::string message_;     // the fragments so far
    std::uint16_t failed_ = 0;
};

}  // namespace ordane::bridge
