#include "bridge/frame.h"

namespace ordane::bridge {

std::string EncodeFrame(Opcode opcode, std::string_view payload) {
    std::string frame;
    frame += static_cast<char>(0x80 | static_cast<std::uint8_t>(opcode));
    const std::uint64_t size = payload.size();
    if (size < 126) {
        frame += static_cast<char>(size);
    } else if (size <= 0xFFFF) {
        frame += static_cast<char>(126);
        frame += static_cast<char>(size >> 8);
        frame += static_cast<char>(size & 0xFF);
    } else {
        frame += static_cast<char>(127);
        for (int shift = 56; shift >= 0; shift -= 8) {
            frame += static_cast<char>((size >> shift) & 0xFF);
        }
    }
    frame += payload;
    return frame;
}

std::string EncodeClose(std::uint16_t code, std::string_view reason) {
    std::string body{static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)};
    body += reason.substr(0, 123);
    return EncodeFrame(Opcode::Close, body);
}

void FrameDecoder::Feed(const std::uint8_t* data, std::size_t size) {
    if (failed_ == 0) {
        buffer_.append(reinterpret_cast<const char*>(data), size);
    }
}

Incoming FrameDecoder::Fail(std::uint16_t code) {
    failed_ = code;
    buffer_.clear();
    Incoming out;
    out.kind = Incoming::Kind::Fail;
    out.closeCode = code;
    return out;
}

Incoming FrameDecoder::Next() {
    if (failed_ != 0) {
        return Fail(failed_);
    }
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(buffer_[i]); };
    if (buffer_.size() < 2) {
        return {};
    }
    const bool fin = (byte(0) & 0x80) != 0;
    const std::uint8_t opcode = byte(0) & 0x0F;
    if ((byte(0) & 0x70) != 0 || (byte(1) & 0x80) == 0) {
        return Fail(kCloseProtocolError);  // no extension was agreed; a page must mask
    }
    const bool control = (opcode & 0x08) != 0;
    if ((opcode > 0x2 && opcode < 0x8) || opcode > 0xA) {
        return Fail(kCloseProtocolError);
    }
    std::uint64_t length = byte(1) & 0x7F;
    std::size_t header = 2;
    if (length == 126 || length == 127) {
        const std::size_t bytes = length == 126 ? 2 : 8;
        if (buffer_.size() < 2 + bytes) {
            return {};
        }
        length = 0;
        for (std::size_t i = 0; i < bytes; ++i) {
            length = (length << 8) | byte(2 + i);
        }
        header += bytes;
        // The shortest form is required, and a 64-bit length has its top bit clear.
        if ((bytes == 2 && length < 126) || (bytes == 8 && (length <= 0xFFFF || length >> 63))) {
            return Fail(kCloseProtocolError);
        }
    }
    if (control && (!fin || length > 125)) {
        return Fail(kCloseProtocolError);
    }
    if (length > kMaxIncoming) {
        return Fail(kCloseTooBig);
    }
    if (!control) {
        if ((opcode == 0x0) != inMessage_) {
            return Fail(kCloseProtocolError);  // a continuation without a message, or the reverse
        }
        if (message_.size() + length > kMaxIncoming) {
            return Fail(kCloseTooBig);
        }
    }
    const std::size_t size = static_cast<std::size_t>(length);
    if (buffer_.size() < header + 4 + size) {
        return {};
    }
    std::string payload = buffer_.substr(header + 4, size);
    for (std::size_t i = 0; i < size; ++i) {
        payload[i] = static_cast<char>(payload[i] ^ buffer_[header + i % 4]);
    }
    buffer_.erase(0, header + 4 + size);

    Incoming out;
    out.kind = Incoming::Kind::Other;
    if (opcode == 0x9) {
        out.kind = Incoming::Kind::Ping;
        out.payload = std::move(payload);
    } else if (opcode == 0x8) {
        if (size == 1) {
            return Fail(kCloseProtocolError);
        }
        // Only a code a page may send is answered in kind; the reason is not sent back.
        if (size >= 2) {
            const int code = (static_cast<std::uint8_t>(payload[0]) << 8) |
                             static_cast<std::uint8_t>(payload[1]);
            const bool sendable = (code >= 1000 && code <= 1003) ||
                                  (code >= 1007 && code <= 1014) || (code >= 3000 && code <= 4999);
            if (!sendable) {
                return Fail(kCloseProtocolError);
            }
            payload.resize(2);
        }
        out.kind = Incoming::Kind::Close;
        out.payload = std::move(payload);
    } else if (!control) {
        inMessage_ = !fin;
        message_ += payload;
        if (fin) {
            out.kind = Incoming::Kind::Message;
            out.payload = std::move(message_);
            message_.clear();
        }
    }
    return out;
}

}  // namespace ordane::bridge
