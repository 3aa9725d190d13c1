// The registration request through WinINet.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "registration/http_client.h"

namespace ordane {

class HttpClientWin32 final : public HttpClient {
  public:
    // timeoutMs bounds the whole request: at that deadline the request is abandoned, whatever
    // the proxy, the name lookup or the server is doing.
    explicit HttpClientWin32(std::uint32_t timeoutMs = 10000) : timeoutMs_(timeoutMs) {}

    // Only a reply with a 2xx status counts: an error status (a server or proxy error page,
    // whatever its text) is a failed transfer, so an error page can never be taken for the
    // server's acceptance. A redirect is not followed and is a failed transfer as well.
    std::optional<std::string> Get(const std::string& url) override;

  private:
    std::uint32_t timeoutMs_;
};

}  // namespace ordane
