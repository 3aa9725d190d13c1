// Building blocks of the registration request's address.
#pragma once

#include <string>
#include <string_view>

namespace ordane {

// Percent-encodes every byte outside the ASCII letters, digits and "-._~" (uppercase hex), so
// that any id, whatever its bytes, reaches the server as one query value. An id made only of
// those characters comes out unchanged.
std::string PercentEncode(std::string_view bytes);

}  // namespace ordane
