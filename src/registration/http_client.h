// One synchronous HTTP GET, cache bypassed, with a finite timeout.
#pragma once

#include <optional>
#include <string>

namespace ordane {

class HttpClient {
  public:
    virtual ~HttpClient() = default;
    // The body as bytes, or nothing when the transfer failed.
    virtual std::optional<std::string> Get(const std::string& url) = 0;
};

}  // namespace ordane
