// The registration server as the HTTP client reaches it: a chosen reply body or a failed
// transfer, and every requested URL.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "desktop/http_client.h"

namespace ordane::test {

class FakeHttpClient final : public HttpClient {
  public:
    std::optional<std::string> Get(const std::string& url) override {
        urls.push_back(url);
        return reply;
    }
    std::optional<std::string> reply = std::string("SUCCESS");
    std::vector<std::string> urls;
};

}  // namespace ordane::test
