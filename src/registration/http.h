// The reporter that tells the registration server a card reader's security-module id.
#pragma once

#include <string>

#include "common/text.h"
#include "registration/http_client.h"

namespace ordane {

class Http {
  public:
    // server: "host" or "host:port", fixed when the program is built.
    Http(HttpClient& client, const AnsiCodec& codec, std::string server)
        : client_(client), codec_(codec), server_(std::move(server)) {}
    Http(const Http&) = delete;
    Http& operator=(const Http&) = delete;

    // Sends the id and returns once the reply was handled; the outcome is in Success.
    void Update(const Text& id);
    std::string UrlFor(const Text& id) const;

    bool Success = false;

  private:
    static constexpr char kTag[] = "CARD";
    void OnDownloadComplete(const std::string& tag, const std::string& body);

    HttpClient& client_;
    const AnsiCodec& codec_;
    std::string server_;
};

}  // namespace ordane
