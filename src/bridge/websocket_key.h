// The opening handshake's key: a client key is the base64 of 16 bytes, and the server proves it
// read the request by answering base64(SHA-1(key + the protocol's fixed GUID)).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace ordane::bridge {

std::array<std::uint8_t, 20> Sha1(std::string_view data);
std::string Base64Encode(const std::uint8_t* data, std::size_t size);
// True when the key is canonical base64 (24 characters, "==" padding) of exactly 16 bytes.
bool ValidClientKey(std::string_view key);
std::string AcceptKey(std::string_view clientKey);

}  // namespace ordane::bridge
