// The messages a page receives, each one JSON object in UTF-8.
#pragma once

#include <string>
#include <string_view>

#include "app/readings.h"
#include "common/text.h"

namespace ordane::bridge {

// A JSON string literal, quotes included. Quotes, backslashes and control characters are
// escaped (controls as \u00XX), surrogate pairs become one UTF-8 character, and a lone
// surrogate is kept as a \uXXXX escape so the frame stays valid UTF-8.
std::string JsonString(const Text& text);

std::string HelloMessage(std::string_view version, const ReadingsStatus& status);
std::string StatusMessage(const ReadingsStatus& status);
// delivered: whether the reading reached the business application.
std::string ScanMessage(const Text& text, ScanDelivery delivery, bool delivered);
std::string CardMessage(const Text& record, const CardFields& fields, bool delivered);
std::string CardRemovedMessage();

}  // namespace ordane::bridge
