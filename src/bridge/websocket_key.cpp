#include "bridge/websocket_key.h"

namespace ordane::bridge {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kGuid[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

std::uint32_t Rotl(std::uint32_t value, int bits) {
    return (value << bits) | (value >> (32 - bits));
}

int Base64Value(char c) {
    for (int i = 0; i < 64; ++i) {
        if (kAlphabet[i] == c) {
            return i;
        }
    }
    return -1;
}

}  // namespace

std::array<std::uint8_t, 20> Sha1(std::string_view data) {
    std::uint32_t h[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
    std::string message(data);
    const std::uint64_t bitLength = static_cast<std::uint64_t>(data.size()) * 8;
    message += static_cast<char>(0x80);
    while (message.size() % 64 != 56) {
        message += '\0';
    }
    for (int i = 7; i >= 0; --i) {
        message += static_cast<char>((bitLength >> (8 * i)) & 0xFF);
    }
    for (std::size_t block = 0; block < message.size(); block += 64) {
        std::uint32_t w[80];
        for (std::size_t i = 0; i < 16; ++i) {
            w[i] = 0;
            for (std::size_t k = 0; k < 4; ++k) {
                w[i] = (w[i] << 8) | static_cast<std::uint8_t>(message[block + 4 * i + k]);
            }
        }
        for (std::size_t i = 16; i < 80; ++i) {
            w[i] = Rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
        }
        std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
        for (std::size_t i = 0; i < 80; ++i) {
            std::uint32_t f;
            std::uint32_t k;
            if (i < 20) {
                f = (b & c) | (~b & d);
                k = 0x5A827999;
            } else if (i < 40) {
                f = b ^ c ^ d;
                k = 0x6ED9EBA1;
            } else if (i < 60) {
                f = (b & c) | (b & d) | (c & d);
                k = 0x8F1BBCDC;
            } else {
                f = b ^ c ^ d;
                k = 0xCA62C1D6;
            }
            const std::uint32_t next = Rotl(a, 5) + f + e + k + w[i];
            e = d;
            d = c;
            c = Rotl(b, 30);
            b = a;
            a = next;
        }
        h[0] += a;
        h[1] += b;
        h[2] += c;
        h[3] += d;
        h[4] += e;
    }
    std::array<std::uint8_t, 20> digest{};
    for (std::size_t i = 0; i < 20; ++i) {
        digest[i] = static_cast<std::uint8_t>(h[i / 4] >> (24 - 8 * (i % 4)));
    }
    return digest;
}

std::string Base64Encode(const std::uint8_t* data, std::size_t size) {
    std::string out;
    for (std::size_t i = 0; i < size; i += 3) {
        const std::size_t left = size - i;
        std::uint32_t group = static_cast<std::uint32_t>(data[i]) << 16;
        if (left > 1) {
            group |= static_cast<std::uint32_t>(data[i + 1]) << 8;
        }
        if (left > 2) {
            group |= data[i + 2];
        }
        out += kAlphabet[(group >> 18) & 63];
        out += kAlphabet[(group >> 12) & 63];
        out += left > 1 ? kAlphabet[(group >> 6) & 63] : '=';
        out += left > 2 ? kAlphabet[group & 63] : '=';
    }
    return out;
}

bool ValidClientKey(std::string_view key) {
    // 16 bytes are 22 characters and "==": the last character carries 2 bits, the other 4
    // must be zero or it is not the encoding of 16 bytes.
    if (key.size() != 24 || key[22] != '=' || key[23] != '=') {
        return false;
    }
    for (std::size_t i = 0; i < 22; ++i) {
        if (Base64Value(key[i]) < 0) {
            return false;
        }
    }
    return (Base64Value(key[21]) & 0x0F) == 0;
}

std::string AcceptKey(std::string_view clientKey) {
    const auto digest = Sha1(std::string(clientKey) + kGuid);
    return Base64Encode(digest.data(), digest.size());
}

}  // namespace ordane::bridge
