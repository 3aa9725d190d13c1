#include "registration/http_client_win32.h"

#include <windows.h>
#include <wininet.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "common/handle_win32.h"

namespace ordane {

namespace {

// The WinINet handles of one request, shared by the worker thread that uses them and the
// waiting thread, which closes them at the deadline to abandon the request; whichever of the
// two lets go last frees it.
class Request {
  public:
    enum Slot { kSession, kConnection, kRequest, kSlots };

    Request() = default;
    ~Request() { CloseAll(); }
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;

    // Keeps a handle the worker has just opened; once the request was abandoned the handle is
    // closed at once and the worker stops.
    HINTERNET Adopt(Slot slot, HINTERNET handle) {
        std::lock_guard<std::mutex> lock(mutex_);
        handles_[slot].Reset(handle);
        if (abandoned_) {
            CloseLocked();
        }
        return handles_[slot].Get();
    }
    void Finish(std::optional<std::string> body) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            body_ = std::move(body);
            done_ = true;
            CloseLocked();
        }
        finished_.notify_all();
    }
    // The reply, or nothing when the worker has not finished within the time; then its
    // handles are closed, which ends any call it is blocked in.
    std::optional<std::string> Wait(std::uint32_t ms) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (finished_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return done_; })) {
            return body_;
        }
        abandoned_ = true;
        CloseLocked();
        return std::nullopt;
    }
    bool Finished() {
        std::lock_guard<std::mutex> lock(mutex_);
        return done_;
    }
    void CloseAll() {
        std::lock_guard<std::mutex> lock(mutex_);
        CloseLocked();
    }

  private:
    // Children before their parent.
    void CloseLocked() {
        for (int slot = kSlots - 1; slot >= 0; --slot) {
            handles_[slot].Reset();
        }
    }

    std::mutex mutex_;
    std::condition_variable finished_;
    std::array<UniqueInternet, kSlots> handles_;
    bool abandoned_ = false;
    bool done_ = false;
    std::optional<std::string> body_;
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

// The request itself, on the worker thread. Connecting, sending and waiting for the reply
// each get a third of the bound as well, so that an abandoned worker also ends by itself.
std::optional<std::string> Transfer(Request& handles, const std::string& url,
                                    std::uint32_t timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    const DWORD connectMs = timeoutMs / 3;
    const DWORD transferMs = timeoutMs / 3;

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

    const HINTERNET session =
        handles.Adopt(Request::kSession,
                      InternetOpenA("Ordane", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (session == nullptr) {
        return std::nullopt;
    }
    // Set at every level: a connection handle does not take over the session's send and
    // receive timeouts everywhere (Wine starts it without any), a request always honours its own.
    SetTimeouts(session, connectMs, transferMs);
    const HINTERNET connection = handles.Adopt(
        Request::kConnection, InternetConnectA(session, host.c_str(), parts.nPort, nullptr, nullptr,
                                               INTERNET_SERVICE_HTTP, 0, 0));
    if (connection == nullptr) {
        return std::nullopt;
    }
    SetTimeouts(connection, connectMs, transferMs);

    // A redirect is not followed: only the server's own reply is judged, and the id goes
    // nowhere else.
    DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                  INTERNET_FLAG_PRAGMA_NOCACHE | INTERNET_FLAG_NO_UI | INTERNET_FLAG_NO_COOKIES |
                  INTERNET_FLAG_NO_AUTO_REDIRECT;
    if (parts.nScheme == INTERNET_SCHEME_HTTPS) {
        flags |= INTERNET_FLAG_SECURE;
    }
    const HINTERNET request = handles.Adopt(
        Request::kRequest,
        HttpOpenRequestA(connection, "GET", object.c_str(), nullptr, nullptr, nullptr, flags, 0));
    if (request == nullptr) {
        return std::nullopt;
    }
    SetTimeouts(request, connectMs, transferMs);
    if (!HttpSendRequestA(request, nullptr, 0, nullptr, 0)) {
        return std::nullopt;
    }

    const std::optional<DWORD> status = QueryNumber(request, HTTP_QUERY_STATUS_CODE);
    if (!status || *status < 200 || *status > 299) {
        return std::nullopt;
    }

    std::string body;
    char chunk[4096];
    for (;;) {
        DWORD read = 0;
        if (!InternetReadFile(request, chunk, sizeof chunk, &read)) {
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
    const std::optional<DWORD> length = QueryNumber(request, HTTP_QUERY_CONTENT_LENGTH);
    if (length && body.size() < *length) {
        return std::nullopt;
    }
    return body;
}

}  // namespace

std::optional<std::string> HttpClientWin32::Get(const std::string& url) {
    // Proxy detection, name lookup and a server that trickles its reply are beyond any
    // per-operation timeout: the request runs on a thread of its own, which is abandoned at
    // the deadline, while this thread waits for it.
    auto request = std::make_shared<Request>();
    std::thread worker;
    try {
        worker = std::thread([request, url, timeoutMs = timeoutMs_] {
            request->Finish(Transfer(*request, url, timeoutMs));
        });
    } catch (const std::system_error&) {
        return std::nullopt;
    }
    std::optional<std::string> reply = request->Wait(timeoutMs_);
    // A worker that finished in time is let end before the next request starts (WinINet
    // under Wine now and then stalls a request begun while another thread leaves it).
    if (request->Finished()) {
        worker.join();
    } else {
        worker.detach();
    }
    return reply;
}

}  // namespace ordane
