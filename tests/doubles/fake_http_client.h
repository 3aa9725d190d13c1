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
        if (onWorker != nullptr && !*onWorker) {
            ++callsOffWorker;
        }
        if (pump != nullptr && stallMs > 0) {
            pump->Advance(stallMs);  // a server that does not answer holds the request
        }
        return reply;
    }
    FakePump* pump = nullptr;
    std::uint32_t stallMs = 0;
    std::optional<std::string> reply = std::string("SUCCESS");
    std::vector<std::string> urls;
    // Set: requests belong on that worker, and one made elsewhere is counted.
    const bool* onWorker = nullptr;
    int callsOffWorker = 0;
};

}  // namespace ordane::test
