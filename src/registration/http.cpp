#include "registration/http.h"

#include "registration/url.h"

namespace ordane {

std::string Http::UrlFor(const Text& id) const {
    return "http://" + server_ + "/monitor/uploadinfo?id=" + PercentEncode(codec_.Encode(id));
}

void Http::Update(const Text& id) {
    Success = false;
    if (auto body = client_.Get(UrlFor(id))) {
        OnDownloadComplete(kTag, *body);
    }
}

// A reply accepted by the server begins with "SUCCESS" or "EXIST" (exact, case-sensitive);
// whatever follows is ignored.
void Http::OnDownloadComplete(const std::string& tag, const std::string& body) {
    if (tag != kTag) {
        return;
    }
    const Text reply = codec_.Decode(body);
    if (StartsWith(reply, u"EXIST") || StartsWith(reply, u"SUCCESS")) {
        Success = true;
    }
}

}  // namespace ordane
