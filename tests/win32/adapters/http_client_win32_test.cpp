#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "registration/http_client_win32.h"

namespace ordane {
namespace {

// A loopback HTTP server on its own thread. For each connection it reads the request head and
// lets a handler answer on the socket; requests are recorded.
class LoopbackServer {
  public:
    using Handler = std::function<void(SOCKET, int index, const LoopbackServer&)>;

    explicit LoopbackServer(Handler handler) : handler_(std::move(handler)) {
        listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(listener_, 4);
        int length = sizeof address;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~LoopbackServer() {
        stopping_ = true;
        closesocket(listener_);
        thread_.join();
    }
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    std::string Url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    std::vector<std::string> Requests() {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }
    bool Stopping() const { return stopping_; }

  private:
    void Serve() {
        for (int index = 0;; ++index) {
            SOCKET client = accept(listener_, nullptr, nullptr);
            if (client == INVALID_SOCKET) {
                return;
            }
            std::string head;
            char chunk[1024];
            while (head.find("\r\n\r\n") == std::string::npos) {
                const int received = recv(client, chunk, sizeof chunk, 0);
                if (received <= 0) {
                    break;
                }
                head.append(chunk, static_cast<std::size_t>(received));
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                requests_.push_back(head);
            }
            handler_(client, index, *this);
            shutdown(client, SD_SEND);
            closesocket(client);
        }
    }

    Handler handler_;
    SOCKET listener_ = INVALID_SOCKET;
    unsigned short port_ = 0;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;
    std::vector<std::string> requests_;
};

void SendAll(SOCKET socket, const std::string& data) {
    send(socket, data.data(), static_cast<int>(data.size()), 0);
}

// Waits until the server is told to stop, without answering.
void Stall(const LoopbackServer& server) {
    for (int i = 0; i < 1000 && !server.Stopping(); ++i) {
        Sleep(10);
    }
}

class HttpClientWin32Test : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
};

TEST_F(HttpClientWin32Test, ReturnsTheBodyAndBypassesTheCache) {
    // The same address asked twice must reach the server twice, even though the first reply
    // allows caching: the second answer differs.
    LoopbackServer server([](SOCKET client, int index, const LoopbackServer&) {
        const std::string body = index == 0 ? std::string("SUCCESS\r\n\xBB\xAA\0x", 12) : "EXIST";
        SendAll(client,
                "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n"
                "Cache-Control: max-age=3600\r\nContent-Length: " +
                    std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
    });
    HttpClientWin32 client;
    const std::string url = server.Url("/monitor/uploadinfo?id=05.01-2010%20x");
    EXPECT_EQ(client.Get(url),
              std::optional<std::string>(std::string("SUCCESS\r\n\xBB\xAA\0x", 12)));
    EXPECT_EQ(client.Get(url), std::optional<std::string>("EXIST"));
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].rfind("GET /monitor/uploadinfo?id=05.01-2010%20x HTTP/1.1\r\n", 0), 0u)
        << requests[0];
}

TEST_F(HttpClientWin32Test, BodyWithoutLengthEndsWithTheConnection) {
    LoopbackServer server([](SOCKET client, int, const LoopbackServer&) {
        SendAll(client, "HTTP/1.0 200 OK\r\n\r\n");
        SendAll(client, "EXIST already");
    });
    HttpClientWin32 client;
    EXPECT_EQ(client.Get(server.Url("/x")), std::optional<std::string>("EXIST already"));
}

TEST_F(HttpClientWin32Test, ErrorStatusIsAFailedTransferWhateverItsBody) {
    LoopbackServer server([](SOCKET client, int, const LoopbackServer&) {
        SendAll(client,
                "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 7\r\n"
                "Connection: close\r\n\r\nSUCCESS");
    });
    HttpClientWin32 client;
    EXPECT_EQ(client.Get(server.Url("/monitor/uploadinfo?id=1")), std::nullopt);
}

TEST_F(HttpClientWin32Test, RefusedConnectionFailsQuickly) {
    // A port that was just free: nobody listens there.
    SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
    int length = sizeof address;
    getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    closesocket(probe);

    HttpClientWin32 client(3000);
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(client.Get("http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/x"),
              std::nullopt);
    EXPECT_LT(GetTickCount64() - start, 3000u);
}

TEST_F(HttpClientWin32Test, StallingServerFailsWithinTheTimeout) {
    LoopbackServer server([](SOCKET, int, const LoopbackServer& self) { Stall(self); });
    HttpClientWin32 client(1000);
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(client.Get(server.Url("/x")), std::nullopt);
    EXPECT_LT(GetTickCount64() - start, 2500u);
}

TEST_F(HttpClientWin32Test, ReplyCutOffMidwayIsAFailedTransfer) {
    // Headers and the start of the body, then a closed connection (first request) or silence
    // (second): what arrived is no complete reply.
    LoopbackServer server([](SOCKET client, int index, const LoopbackServer& self) {
        SendAll(client, "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nSUCCESS");
        if (index == 1) {
            Stall(self);
        }
    });
    HttpClientWin32 client(1000);
    EXPECT_EQ(client.Get(server.Url("/x")), std::nullopt);
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(client.Get(server.Url("/x")), std::nullopt);
    EXPECT_LT(GetTickCount64() - start, 2500u);
}

TEST_F(HttpClientWin32Test, TricklingServerFailsWithinTheWholeBound) {
    // One byte at a time, each well within any per-operation timeout: only a bound on the
    // whole request ends it.
    LoopbackServer server([](SOCKET client, int, const LoopbackServer& self) {
        const std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: 7\r\n\r\nSUCCESS";
        for (char c : reply) {
            for (int i = 0; i < 25 && !self.Stopping(); ++i) {
                Sleep(10);
            }
            if (self.Stopping()) {
                return;
            }
            send(client, &c, 1, 0);
        }
    });
    HttpClientWin32 client(1000);
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(client.Get(server.Url("/x")), std::nullopt);
    EXPECT_LT(GetTickCount64() - start, 2500u);
}

TEST_F(HttpClientWin32Test, RedirectIsNotFollowedNorAnAnswer) {
    LoopbackServer server([](SOCKET client, int index, const LoopbackServer&) {
        SendAll(client, index == 0 ? "HTTP/1.1 302 Found\r\nLocation: /elsewhere\r\n"
                                     "Content-Length: 7\r\nConnection: close\r\n\r\nSUCCESS"
                                   : "HTTP/1.1 200 OK\r\nContent-Length: 7\r\n"
                                     "Connection: close\r\n\r\nSUCCESS");
    });
    HttpClientWin32 client;
    EXPECT_EQ(client.Get(server.Url("/monitor/uploadinfo?id=1")), std::nullopt);
    EXPECT_EQ(server.Requests().size(), 1u);
}

}  // namespace
}  // namespace ordane
