#include "desktop/http_client_win32.h"

#include <windows.h>
#include <wininet.h>

namespace ordane {

namespace {

class InternetHandle {
  public:
    explicit InternetHandle(HINTERNET handle) : handle_(handle) {}
    ~InternetHandle() {
        if (handle_ != nullptr) {
            InternetCloseHandle(handle_);
        }
    }
    InternetHandle(const InternetHandle&) = delete;
    InternetHandle& operator=(const InternetHandle&) = delete;
    HINTERNET get() const { return handle_; }

  private:
    HINTERNET handle_;
};

// A reply larger than this is not the registration server's answer; what fits is kept.
constexpr std::size_t kMaxBody = 1u << 20;

void SetTimeouts(HINTERNET handle, DWORD connectMs, DWORD transferMs) {
    DWORD oneTry = 1;
    InternetSetOptionA(handle, INTERNET_OPTION_CONNECT_RETRIES, &oneTry, sizeof oneTry);
    InternetSetOptionA(handle, INTERNET_OPTION_CONNECT_TIMEOUT, &connectMs, sizeof connectMs);
    InternetSetOptionA(handle, INTERNET_OPTION_SEND_TIMEOUT, &transferMs, sizeof transferMs);
    InternetSetOptionA(handle, INTERNET_OPTION_RECEIVE_TIMEOUT, &transferMs, sizeof transferMs);
}

std::optional<DWORD> QueryNumber(HINTERNET request, DWORD info) {
    DWORD value = 0;
    DWORD size = sizeof value;
    if (!HttpQueryInfoA(request, info | HTTP_QUERY_FLAG_NUMBER, &value, &size, nullptr)) {
        return std::nullopt;
    }
    return value;
}

std::string Part(const char* start, DWORD length) {
    return start != nullptr ? std::string(start, length) : std::string();
}

}  // namespace

std::optional<std::string> HttpClientWin32::Get(const std::string& url) {
    // Connecting, sending and waiting for the reply each get a third of the bound, so a
    // server that accepts and then stalls still releases the window within it.
    const ULONGLONG deadline = GetTickCount64() + timeoutMs_;
    const DWORD connectMs = timeoutMs_ / 3;
    const DWORD transferMs = timeoutMs_ / 3;

    // The parts of the address point into url.
    URL_COMPONENTSA parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = 1;
    parts.dwUrlPathLength = 1;
    parts.dwExtraInfoLength = 1;
    if (!InternetCrackUrlA(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts) ||
        (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS)) {
        return std::nullopt;
    }
    const std::string host = Part(parts.lpszHostName, parts.dwHostNameLength);
    const std::string path = Part(parts.lpszUrlPath, parts.dwUrlPathLength);
    std::string object = path;
    if (object.empty()) {
        object.push_back('/');
    }
    object += Part(parts.lpszExtraInfo, parts.dwExtraInfoLength);

    InternetHandle session(
        InternetOpenA("Ordane", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (session.get() == nullptr) {
        return std::nullopt;
    }
    // Set at every level: a connection handle does not take over the session's send and
    // receive timeouts everywhere (Wine starts it without any), a request always honours its own.
    SetTimeouts(session.get(), connectMs, transferMs);
    InternetHandle connection(InternetConnectA(session.get(), host.c_str(), parts.nPort, nullptr,
                                               nullptr, INTERNET_SERVICE_HTTP, 0, 0));
    if (connection.get() == nullptr) {
        return std::nullopt;
    }
    SetTimeouts(connection.get(), connectMs, transferMs);

    DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                  INTERNET_FLAG_PRAGMA_NOCACHE | INTERNET_FLAG_NO_UI | INTERNET_FLAG_NO_COOKIES;
    if (parts.nScheme == INTERNET_SCHEME_HTTPS) {
        flags |= INTERNET_FLAG_SECURE;
    }
    InternetHandle request(HttpOpenRequestA(connection.get(), "GET", object.c_str(), nullptr,
                                            nullptr, nullptr, flags, 0));
    if (request.get() == nullptr) {
        return std::nullopt;
    }
    SetTimeouts(request.get(), connectMs, transferMs);
    if (!HttpSendRequestA(request.get(), nullptr, 0, nullptr, 0)) {
        return std::nullopt;
    }

    const std::optional<DWORD> status = QueryNumber(request.get(), HTTP_QUERY_STATUS_CODE);
    if (!status || *status < 200 || *status > 299) {
        return std::nullopt;
    }

    std::string body;
    char chunk[4096];
    for (;;) {
        DWORD read = 0;
        if (!InternetReadFile(request.get(), chunk, sizeof chunk, &read)) {
            return std::nullopt;
        }
        if (read == 0) {
            break;
        }
        body.append(chunk, read);
        if (body.size() >= kMaxBody) {
            body.resize(kMaxBody);
            return body;
        }
        // A server that trickles its reply must not hold the window beyond the bound.
        if (GetTickCount64() > deadline) {
            return std::nullopt;
        }
    }
    // A reply cut off before its announced length is a failed transfer, not a short reply.
    const std::optional<DWORD> length = QueryNumber(request.get(), HTTP_QUERY_CONTENT_LENGTH);
    if (length && body.size() < *length) {
        return std::nullopt;
    }
    return body;
}

}  // namespace ordane
