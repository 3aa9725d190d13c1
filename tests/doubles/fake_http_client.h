// The registration server as the HTTP client reaches it: a chosen reply body or a failed
// transfer, and every requested URL.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "registration/http_client.h"
#include "doubles/fake_pump.h"

namespace ordane::test {

class FakeHttpClient final : public HttpClient {
  public:
    std::optional<std::string> Get(const std::string& url) override {
        urls.push_back(url);
        if (pump != nullptr && stallMs > 0) {
            pump->Advance(stallMs);  // a server that does not answer holds the request
        }
        return reply;
    }
    FakePump* pump = nullptr;
    std::uint32_t stallMs = 0;
    std::optional<std::string> reply = std::string("SUCCESS");
    std::vector<std::string> urls;
};

}  // namespace ordane::test
