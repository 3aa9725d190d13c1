// The registration request and its reply: any id and any reply body. The request is one GET
// of the fixed path whose query value uses only letters, digits, "-._~" and %XX, and
// decodes back to the id's bytes; the server's acceptance is exactly a body beginning with
// "SUCCESS" or "EXIST", and a later failed or refused request clears it.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>

#include "registration/http.h"
#include "registration/url.h"
#include "doubles/fake_codec.h"
#include "doubles/fake_http_client.h"
#include "fuzz/check.h"

namespace {

const std::string kServer = "127.0.0.1:18471";

bool Unreserved(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;  // lowercase or anything else: not what the encoder writes
}

// Checks the alphabet while decoding; false when a character or escape is out of place.
bool PercentDecode(const std::string& encoded, std::string& decoded) {
    decoded.clear();
    for (std::size_t i = 0; i < encoded.size(); ++i) {
        if (Unreserved(encoded[i])) {
            decoded += encoded[i];
            continue;
        }
        if (encoded[i] != '%' || i + 2 >= encoded.size() || HexValue(encoded[i + 1]) < 0 ||
            HexValue(encoded[i + 2]) < 0) {
            return false;
        }
        decoded += static_cast<char>(HexValue(encoded[i + 1]) * 16 + HexValue(encoded[i + 2]));
        i += 2;
    }
    return true;
}

void CheckEncoding(const std::string& bytes) {
    const std::string encoded = ordane::PercentEncode(bytes);
    std::string decoded;
    FUZZ_CHECK(PercentDecode(encoded, decoded), "only unreserved characters and %XX");
    FUZZ_CHECK(decoded == bytes, "percent-decoding gives the bytes back");
    bool plain = true;
    for (char c : bytes) {
        plain = plain && Unreserved(c);
    }
    FUZZ_CHECK(!plain || encoded == bytes, "an id of unreserved characters goes out unchanged");
}

bool Accepted(const std::string& body) {
    return body.rfind("SUCCESS", 0) == 0 || body.rfind("EXIST", 0) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    CheckEncoding(in.ConsumeRandomLengthString(64));

    const ordane::test::FakeCodec codec;
    ordane::test::FakeHttpClient client;
    ordane::Http http(client, codec, kServer);
    while (in.remaining_bytes() > 0) {
        ordane::Text id;
        const std::string idBytes = in.ConsumeRandomLengthString(40);
        for (std::size_t i = 0; i + 1 < idBytes.size(); i += 2) {
            id += static_cast<char16_t>(static_cast<unsigned char>(idBytes[i]) |
                                        (static_cast<unsigned char>(idBytes[i + 1]) << 8));
        }
        if (in.ConsumeBool()) {
            client.reply = in.ConsumeRandomLengthString(40);
        } else {
            client.reply.reset();  // the transfer failed
        }
        const std::size_t before = client.urls.size();
        http.Update(id);
        FUZZ_CHECK(client.urls.size() == before + 1, "one request per report");
        const std::string url = client.urls.back();
        const std::string head = "http://" + kServer + "/monitor/uploadinfo?id=";
        FUZZ_CHECK(url.rfind(head, 0) == 0, "the fixed address and path");
        std::string decoded;
        FUZZ_CHECK(PercentDecode(url.substr(head.size()), decoded), "query value alphabet");
        FUZZ_CHECK(decoded == codec.Encode(id), "query value decodes to the id's bytes");
        FUZZ_CHECK(http.Success == (client.reply && Accepted(*client.reply)),
                   "accepted exactly when the reply begins SUCCESS or EXIST");
    }
    return 0;
}
