// The messages a page receives, each one JSON object in UTF-8.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "app/readings.h"
#include "common/text.h"

namespace ordane::bridge {

// A JSON string literal, quotes included. Quotes, backslashes and control characters are
// escaped (controls as \u00XX), surrogate pairs become one UTF-8 character, and a lone
// surrogate is kept as a \uXXXX escape so the frame stays valid UTF-8.
std::string JsonString(const Text& text);

// typeScans: the bridge's TypeScans (false: plain barcodes go to a page that asked for them).
std::string HelloMessage(std::string_view version, const ReadingsStatus& status, bool typeScans);
std::string StatusMessage(const ReadingsStatus& status);
// delivered: whether the reading reached the business application (for Page: the pages);
// typed: whether its keys were typed into it.
// delivered without a value is null: the outcome is unknown.
std::string ScanMessage(const Text& text, ScanDelivery delivery, std::optional<bool> delivered);
// A card: its kind, the record the business application was sent (empty for a kind it is not
// sent), the fields of its kind's layout by name, and for every kind but the resident card
// the text exactly as read, so a page can handle a kind Ordane does not know yet.
std::string CardMessage(const CardReading& card, std::optional<bool> delivered);
// The answer to {"type":"readCard"} when no card lies on the reader.
std::string NoCardMessage();
std::string CardRemovedMessage();
// A message with its sequence number and time (ms since 1970, UTC) put in front.
std::string Stamped(std::string_view message, std::uint64_t seq, std::int64_t unixMs);

}  // namespace ordane::bridge
