#include <gtest/gtest.h>

#include <deque>
#include <map>

#include "bridge/bridge.h"
#include "bridge/handshake.h"
#include "bridge/json.h"
#include "bridge/websocket_key.h"
#include "app/status_texts.h"
#include "doubles/fake_log.h"
#include "doubles/fake_profile.h"

namespace ordane::bridge {
namespace {

const HandshakeRules kRules{17520, {"https://counter.example.gov.cn", "http://127.0.0.1:8080"}};

std::string Request(const std::string& replace = "", const std::string& with = "") {
    std::string head =
        "GET /readings HTTP/1.1\r\nHost: 127.0.0.1:17520\r\nUpgrade: websocket\r\n"
        "Connection: Upgrade\r\nOrigin: https://counter.example.gov.cn\r\n"
        "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n";
    if (!replace.empty()) {
        head.replace(head.find(replace), replace.size(), with);
    }
    return head;
}

TEST(BridgeHandshakeTest, DecidesByHostPathUpgradeOriginVersionAndKey) {
    const struct {
        const char* what;
        std::string request;
        int status;
    } cases[] = {
        {"allowed page", Request(), 101},
        {"localhost by name", Request("127.0.0.1:17520", "LocalHost:17520"), 101},
        {"token lists and case", Request("Connection: Upgrade", "Connection: keep-alive, UPGRADE"),
         101},
        {"Upgrade in capitals", Request("Upgrade: websocket", "Upgrade: WebSocket"), 101},
        {"origin not listed", Request("https://counter.example.gov.cn", "https://evil.example"),
         403},
        {"origin with a trailing slash", Request("gov.cn\r\nSec", "gov.cn/\r\nSec"), 403},
        {"origin in capitals with its default port",
         Request("https://counter.example.gov.cn", "HTTPS://Counter.Example.gov.cn:443"), 101},
        {"origin with another port", Request("gov.cn\r\nSec", "gov.cn:8443\r\nSec"), 403},
        {"origin null", Request("https://counter.example.gov.cn", "null"), 403},
        {"no origin", Request("Origin: https://counter.example.gov.cn\r\n", ""), 403},
        {"two origins", Request("Origin:", "Origin: https://evil.example\r\nOrigin:"), 403},
        {"rebound name", Request("127.0.0.1:17520", "evil.example:17520"), 403},
        {"host of another port", Request("127.0.0.1:17520", "127.0.0.1:17521"), 403},
        {"other path", Request("/readings", "/"), 404},
        {"POST", Request("GET", "POST"), 404},
        {"no Upgrade", Request("Upgrade: websocket\r\n", ""), 404},
        {"Connection without upgrade", Request("Connection: Upgrade", "Connection: close"), 404},
        {"version 8", Request("Version: 13", "Version: 8"), 400},
        {"key of 15 bytes", Request("dGhlIHNhbXBsZSBub25jZQ==", "dGhlIHNhbXBsZSBub25jZQ="), 400},
        {"header without colon", Request("Upgrade: websocket", "Upgrade websocket"), 400},
        {"garbage", "\x01\x02\r\n\r\n", 400},
    };
    for (const auto& c : cases) {
        const HandshakeResult result = DecideHandshake(c.request, kRules);
        EXPECT_EQ(result.status, c.status) << c.what;
        EXPECT_EQ(result.response.rfind("HTTP/1.1 " + std::to_string(c.status) + " ", 0), 0u)
            << c.what;
    }
    // On port 80 the browser sends Host without the port.
    const HandshakeRules port80{80, kRules.origins};
    EXPECT_EQ(DecideHandshake(Request("127.0.0.1:17520", "127.0.0.1"), port80).status, 101);
    EXPECT_EQ(DecideHandshake(Request("127.0.0.1:17520", "localhost:80"), port80).status, 101);
    EXPECT_EQ(DecideHandshake(Request("127.0.0.1:17520", "127.0.0.1"), kRules).status, 403);
    EXPECT_EQ(DecideHandshake(Request("127.0.0.1:17520", "[::1]:17520"), kRules).status, 101);
    // The example of the protocol's own description.
    EXPECT_NE(DecideHandshake(Request(), kRules)
                  .response.find("\r\nSec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n"),
              std::string::npos);
}

TEST(BridgeHandshakeTest, OriginsAsITWritesThemTakeTheBrowsersForm) {
    const struct {
        const char* entry;
        OriginFault fault;
        const char* normal;
    } cases[] = {
        {"https://counter.example.gov.cn", OriginFault::None, "https://counter.example.gov.cn"},
        {"HTTPS://Counter.EXAMPLE.gov.cn:443", OriginFault::None, "https://counter.example.gov.cn"},
        {"http://10.1.2.3:80", OriginFault::None, "http://10.1.2.3"},
        {"http://10.1.2.3:443", OriginFault::None, "http://10.1.2.3:443"},
        {"https://his:08443", OriginFault::None, "https://his:8443"},
        {"http://[::1]:80", OriginFault::None, "http://[::1]"},
        {"http://[FE80::1]:8080", OriginFault::None, "http://[fe80::1]:8080"},
        {"https://counter.example.gov.cn/", OriginFault::Path, ""},
        {"https://his/login.html", OriginFault::Path, ""},
        {"null", OriginFault::AnyPage, ""},
        {"*", OriginFault::AnyPage, ""},
        {"https://*.example.gov.cn", OriginFault::UserOrWildcard, ""},
        {"https://user@his", OriginFault::UserOrWildcard, ""},
        {"counter.example.gov.cn", OriginFault::NotHttp, ""},
        {"https://", OriginFault::HostOrPort, ""},
        {"https://his:", OriginFault::HostOrPort, ""},
        {"https://his:0", OriginFault::HostOrPort, ""},
        {"https://his:65536", OriginFault::HostOrPort, ""},
        {"https://医院.example.cn", OriginFault::NotAscii, ""},
        {"https://xn--8ws00z.example.cn", OriginFault::None, "https://xn--8ws00z.example.cn"},
    };
    for (const auto& c : cases) {
        std::string normal;
        EXPECT_EQ(NormalOrigin(c.entry, normal), c.fault) << c.entry;
        if (c.fault == OriginFault::None) {
            EXPECT_EQ(normal, c.normal) << c.entry;
        }
    }
}

TEST(BridgeHandshakeTest, HeadEndsAtTheEmptyLineWithinEightKiB) {
    std::size_t end = 0;
    const std::string head = Request();
    EXPECT_EQ(FindHeadEnd(head.substr(0, head.size() - 1), end), HeadState::Incomplete);
    EXPECT_EQ(FindHeadEnd(head + "\x81\x80", end), HeadState::Complete);
    EXPECT_EQ(end, head.size());
    EXPECT_EQ(FindHeadEnd("GET / HTTP/1.1\n\n", end), HeadState::Complete);
    EXPECT_EQ(end, 16u);
    EXPECT_EQ(FindHeadEnd(std::string(kMaxRequestHead - 1, 'a'), end), HeadState::Incomplete);
    EXPECT_EQ(FindHeadEnd(std::string(kMaxRequestHead, 'a'), end), HeadState::TooLarge);
    // An empty line beyond the bound does not make a long head acceptable.
    EXPECT_EQ(FindHeadEnd(std::string(kMaxRequestHead, 'a') + "\r\n\r\n", end),
              HeadState::TooLarge);
}

// A page's frame: masked, as every client frame must be; the length forms are the server's.
std::string Masked(std::uint8_t first, const std::string& payload, bool mask = true) {
    std::string frame = EncodeFrame(Opcode::Text, payload);
    const std::size_t header = frame.size() - payload.size();
    frame[0] = static_cast<char>(first);
    if (mask) {
        const char key[4] = {0x12, 0x34, 0x56, 0x78};
        frame[1] = static_cast<char>(frame[1] | 0x80);
        frame.insert(header, key, 4);
        for (std::size_t i = 0; i < payload.size(); ++i) {
            frame[header + 4 + i] = static_cast<char>(frame[header + 4 + i] ^ key[i % 4]);
        }
    }
    return frame;
}

std::vector<Incoming> Decode(const std::string& bytes, bool byteByByte = false) {
    FrameDecoder decoder;
    std::vector<Incoming> out;
    const std::size_t step = byteByByte ? 1 : bytes.size();
    for (std::size_t at = 0; at < bytes.size(); at += step) {
        decoder.Feed(reinterpret_cast<const std::uint8_t*>(bytes.data()) + at,
                     std::min(step, bytes.size() - at));
        for (Incoming in = decoder.Next(); in.kind != Incoming::Kind::NeedMore;
             in = decoder.Next()) {
            out.push_back(in);
            if (in.kind == Incoming::Kind::Fail) {
                return out;
            }
        }
    }
    return out;
}

TEST(BridgeFrameTest, ServerFramesAreUnmaskedWithTheShortestLength) {
    const struct {
        std::size_t size;
        std::string header;
    } cases[] = {
        {125, std::string("\x81\x7d", 2)},
        {126, std::string("\x81\x7e\x00\x7e", 4)},
        {65535, std::string("\x81\x7e\xff\xff", 4)},
        {65536, std::string("\x81\x7f\x00\x00\x00\x00\x00\x01\x00\x00", 10)},
    };
    for (const auto& c : cases) {
        const std::string frame = EncodeFrame(Opcode::Text, std::string(c.size, 'x'));
        EXPECT_EQ(frame.substr(0, c.header.size()), c.header) << c.size;
        EXPECT_EQ(frame.size(), c.header.size() + c.size) << c.size;
    }
    EXPECT_EQ(EncodeClose(kCloseTooBig), std::string("\x88\x02\x03\xf1", 4));
}

TEST(BridgeFrameTest, PageFramesAreUnmaskedCheckedAndBounded) {
    using K = Incoming::Kind;
    const struct {
        const char* what;
        std::string bytes;
        std::vector<K> kinds;
        std::uint16_t closeCode;  // of the last, when it failed
        std::string lastPayload;
    } cases[] = {
        {"text of 125",
         Masked(0x81, std::string(125, 'a')),
         {K::Message},
         0,
         std::string(125, 'a')},
        {"text of 126",
         Masked(0x81, std::string(126, 'b')),
         {K::Message},
         0,
         std::string(126, 'b')},
        {"text of 4 KiB",
         Masked(0x81, std::string(4096, 'c')),
         {K::Message},
         0,
         std::string(4096, 'c')},
        {"frame over 4 KiB", Masked(0x81, std::string(4097, 'd')), {K::Fail}, kCloseTooBig, ""},
        {"125 in the 16-bit form",
         std::string("\x81\xfe\x00\x7d", 4),
         {K::Fail},
         kCloseProtocolError,
         ""},
        {"65535 in the 64-bit form",
         std::string("\x81\xff\0\0\0\0\0\0\xff\xff", 10),
         {K::Fail},
         kCloseProtocolError,
         ""},
        {"64-bit length with its top bit",
         std::string("\x81\xff\x80\0\0\0\0\0\0\0", 10),
         {K::Fail},
         kCloseProtocolError,
         ""},
        {"length of 65536", Masked(0x82, std::string(65536, 'f')), {K::Fail}, kCloseTooBig, ""},
        {"unmasked", Masked(0x81, "hi", false), {K::Fail}, kCloseProtocolError, ""},
        {"reserved bit", Masked(0xC1, "hi"), {K::Fail}, kCloseProtocolError, ""},
        {"fragments joined",
         Masked(0x01, "ab") + Masked(0x00, "cd") + Masked(0x80, "ef"),
         {K::Other, K::Other, K::Message},
         0,
         "abcdef"},
        {"ping between fragments",
         Masked(0x01, "ab") + Masked(0x89, "p") + Masked(0x80, "cd"),
         {K::Other, K::Ping, K::Message},
         0,
         "abcd"},
        {"fragments of 4 KiB",
         Masked(0x01, std::string(4000, 'g')) + Masked(0x80, std::string(96, 'h')),
         {K::Other, K::Message},
         0,
         std::string(4000, 'g') + std::string(96, 'h')},
        {"fragments over 4 KiB",
         Masked(0x01, std::string(4000, 'g')) + Masked(0x80, std::string(97, 'h')),
         {K::Other, K::Fail},
         kCloseTooBig,
         ""},
        {"continuation without a message", Masked(0x80, "x"), {K::Fail}, kCloseProtocolError, ""},
        {"ping", Masked(0x89, "are you there"), {K::Ping}, 0, "are you there"},
        {"fragmented ping", Masked(0x09, "p"), {K::Fail}, kCloseProtocolError, ""},
        {"close with code",
         Masked(0x88, std::string("\x03\xe8", 2)),
         {K::Close},
         0,
         std::string("\x03\xe8", 2)},
        {"close of one byte", Masked(0x88, "x"), {K::Fail}, kCloseProtocolError, ""},
        {"close: the code alone is answered",
         Masked(0x88,
                "\x0f\xa0"
                "bye"),
         {K::Close},
         0,
         "\x0f\xa0"},
        {"close 1005: no page sends it", Masked(0x88, "\x03\xed"), {K::Fail}, 1002, ""},
        {"close 5000", Masked(0x88, "\x13\x88"), {K::Fail}, 1002, ""},
    };
    for (const auto& c : cases) {
        for (const bool byteByByte : {false, true}) {
            const std::vector<Incoming> got = Decode(c.bytes, byteByByte);
            ASSERT_EQ(got.size(), c.kinds.size()) << c.what;
            for (std::size_t i = 0; i < got.size(); ++i) {
                EXPECT_EQ(got[i].kind, c.kinds[i]) << c.what << " #" << i;
            }
            EXPECT_EQ(got.back().closeCode, c.closeCode) << c.what;
            EXPECT_EQ(got.back().payload, c.lastPayload) << c.what;
        }
    }
}

TEST(BridgeJsonTest, EscapesQuotesBackslashesControlsAndJoinsSurrogatePairs) {
    const struct {
        Text text;
        std::string json;
    } cases[] = {
        {u"plain 123", "\"plain 123\""},
        {u"say \"hi\"", "\"say \\\"hi\\\"\""},
        {u"C:\\dir", "\"C:\\\\dir\""},
        {u"a\nb\tc\r", "\"a\\u000ab\\u0009c\\u000d\""},
        {Text(u"\0\x1f", 2), "\"\\u0000\\u001f\""},
        {u"张三", "\"\xe5\xbc\xa0\xe4\xb8\x89\""},
        {u"\U0001F600!", "\"\xf0\x9f\x98\x80!\""},
        {u"\U00020BB7", "\"\xf0\xa0\xae\xb7\""},
        {Text(1, char16_t{0xD83D}) + u"x", "\"\\ud83dx\""},
        {Text(1, char16_t{0xDE00}), "\"\\ude00\""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(JsonString(c.text), c.json) << ToUtf8(c.text);
    }
}

TEST(BridgeJsonTest, MessagesHaveTheirShapes) {
    // The state is the device's own, whatever its line says.
    const ReadingsStatus status{{u"等待扫描仪发送信息...", u"3800g", DeviceState::Ready},
                                {u"读卡器\"A\"", u"", DeviceState::NotAnswering}};
    EXPECT_EQ(HelloMessage("1.0.0.0", status, false),
              "{\"type\":\"hello\",\"version\":\"1.0.0.0\",\"typeScans\":false,"
              "\"scanner\":{\"state\":\"ready\",\"status\":\"" +
                  ToUtf8(u"等待扫描仪发送信息...") +
                  "\",\"model\":\"3800g\"},\"reader\":{\"state\":\"notAnswering\",\"status\":\"" +
                  ToUtf8(u"读卡器") + "\\\"A\\\"\",\"model\":\"\"}}");
    EXPECT_EQ(Stamped("{\"type\":\"cardRemoved\"}", 7, 1765000000123),
              "{\"seq\":7,\"time\":1765000000123,\"type\":\"cardRemoved\"}");
    EXPECT_EQ(StatusMessage(status).substr(0, 27), "{\"type\":\"status\",\"scanner\":");
    EXPECT_EQ(ScanMessage(u"6901234567892", ScanDelivery::Keys, true),
              "{\"type\":\"scan\",\"text\":\"6901234567892\",\"delivery\":\"keys\","
              "\"typed\":true,\"delivered\":true}");
    EXPECT_EQ(ScanMessage(u"1", ScanDelivery::Keys, false),
              "{\"type\":\"scan\",\"text\":\"1\",\"delivery\":\"keys\",\"typed\":false,"
              "\"delivered\":false}");
    EXPECT_EQ(ScanMessage(u"1", ScanDelivery::Page, true),
              "{\"type\":\"scan\",\"text\":\"1\",\"delivery\":\"page\",\"typed\":false,"
              "\"delivered\":true}");
    EXPECT_EQ(ScanMessage(u"ZCCCHGZ_1", ScanDelivery::Window, std::nullopt),
              "{\"type\":\"scan\",\"text\":\"ZCCCHGZ_1\",\"delivery\":\"window\","
              "\"typed\":false,\"delivered\":null}");
    CardReading resident = ReadCard(u"O\"Brien|X");
    resident.named = {{"name", u"O\"Brien|X"}, {"address", u"a\\b"}};
    EXPECT_EQ(CardMessage(resident, false),
              "{\"type\":\"card\",\"cardKind\":\"resident\",\"record\":\"SFZXX_2.0|O\\\"Brien|X"
              "|||||||||\",\"name\":\"O\\\"Brien|X\",\"address\":\"a\\\\b\",\"delivered\":false}");
    // Every other kind carries the text as read.
    const CardReading foreign{CardKind::ForeignPermanent, u"SMITH I", {}, u"", {{"sex", u"1"}}};
    EXPECT_EQ(CardMessage(foreign, false),
              "{\"type\":\"card\",\"cardKind\":\"foreignPermanent\",\"record\":\"\","
              "\"sex\":\"1\",\"text\":\"SMITH I\",\"delivered\":false}");
}

TEST(BridgeSettingsTest, ReadsTheSectionWithItsDefaults) {
    test::FakeProfile file;
    file.Set("BRIDGE", "Origins", " https://a.cn,http://127.0.0.1:8080 ,,\thttp://b:1 ");
    EXPECT_FALSE(ReadBridgeSettings(file).enabled);  // Enabled absent
    file.Set("BRIDGE", "Enabled", "1");
    BridgeSettings settings = ReadBridgeSettings(file);
    EXPECT_EQ(settings.origins,
              (std::vector<std::string>{"https://a.cn", "http://127.0.0.1:8080", "http://b:1"}));
    EXPECT_TRUE(settings.enabled && settings.typeScans && settings.port == 17520);
    file.Set("BRIDGE", "Port", "18000");
    file.Set("BRIDGE", "TypeScans", "0");
    settings = ReadBridgeSettings(file);
    EXPECT_TRUE(settings.port == 18000 && !settings.typeScans);
    for (const char* bad : {"0", "65536", "80x"}) {
        file.Set("BRIDGE", "Port", bad);
        EXPECT_EQ(ReadBridgeSettings(file).port, 17520) << bad;
    }
}

TEST(BridgeSettingsTest, OnlyThePolicyKeyOpensTheBridgeOfAnInstalledCopy) {
    test::FakeProfile userFile;  // Setting.ini: any local user may write it
    userFile.Set("BRIDGE", "Enabled", "1");
    userFile.Set("BRIDGE", "Origins", "http://evil.example");
    test::FakeProfile noPolicy;
    test::FakeProfile policy;
    policy.Set("BRIDGE", "Enabled", "1");
    policy.Set("BRIDGE", "Origins", "https://his.example");
    policy.Set("BRIDGE", "Port", "18000");
    test::FakeProfile policyOff;
    policyOff.Set("BRIDGE", "Enabled", "0");
    const struct {
        const char* what;
        test::FakeProfile* policy;
        bool portable;
        bool enabled;
        std::vector<std::string> origins;
    } cases[] = {
        {"installed, no policy: Setting.ini ignored", &noPolicy, false, false, {}},
        {"installed, policy on", &policy, false, true, {"https://his.example"}},
        {"portable, no policy: its own Setting.ini",
         &noPolicy,
         true,
         true,
         {"http://evil.example"}},
        {"portable, policy on: the policy", &policy, true, true, {"https://his.example"}},
        {"portable, policy off: off", &policyOff, true, false, {}},
    };
    for (const auto& c : cases) {
        const BridgeSettings settings = ReadBridgeSettings(*c.policy, userFile, c.portable);
        EXPECT_EQ(settings.enabled, c.enabled) << c.what;
        EXPECT_EQ(settings.origins, c.origins) << c.what;
    }
    EXPECT_EQ(ReadBridgeSettings(policy, userFile, false).port, 18000);
}

// Loopback sockets in memory: what each connection sent us, what we sent it, and how much its
// side still takes before a send would block.
class FakeSockets final : public BridgeSockets {
  public:
    struct Peer {
        std::string toUs;
        std::string fromUs;
        std::size_t room = SIZE_MAX;
        bool closed = false;
        bool hungUp = false;  // its side closed: once all is read, a read gives 0
    };
    bool Listen(std::uint16_t port, ListenFailure& failure) override {
        listened = port;
        if (taken) {
            failure.reason = "[::1]:17520 bind failed: WSAEACCES";
            failure.step = "bind [::1] failed, Winsock error";
            failure.winsockError = 10013;
            failure.heldByOrdane = heldByOrdane;
        }
        return !taken;
    }
    bool Accept(SocketId& id) override {
        if (waiting.empty()) {
            return false;
        }
        id = waiting.front();
        waiting.pop_front();
        return true;
    }
    std::ptrdiff_t Receive(SocketId id, std::uint8_t* buffer, std::size_t size) override {
        std::string& in = peers[id].toUs;
        if (in.empty()) {
            return peers[id].hungUp ? 0 : kWouldBlock;
        }
        const std::size_t n = std::min(size, in.size());
        std::copy(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(n), buffer);
        in.erase(0, n);
        return static_cast<std::ptrdiff_t>(n);
    }
    std::ptrdiff_t Send(SocketId id, const std::uint8_t* data, std::size_t size) override {
        Peer& peer = peers[id];
        const std::size_t n = std::min(size, peer.room);
        if (n == 0) {
            return kWouldBlock;
        }
        peer.fromUs.append(reinterpret_cast<const char*>(data), n);
        peer.room -= peer.room == SIZE_MAX ? 0 : n;
        return static_cast<std::ptrdiff_t>(n);
    }
    void Close(SocketId id) override { peers[id].closed = true; }
    void Hold(SocketId id) override { held.push_back(id); }
    std::int64_t UnixMs() override { return now; }
    void ListenAgainAfter(std::uint32_t ms) override { againAfter.push_back(ms); }
    PeerOwner PeerSession(SocketId id) override {
        const auto it = owners.find(id);
        return it == owners.end() ? PeerOwner{true, 100, 2} : it->second;
    }
    std::uint32_t OwnSession() override { return 2; }
    bool UnderWine() override { return wine; }
    bool wine = false;

    std::uint16_t listened = 0;
    bool taken = false;
    bool heldByOrdane = false;
    std::int64_t now = 1'765'000'000'000;
    std::vector<std::uint32_t> againAfter;
    std::map<SocketId, PeerOwner> owners;  // in session 2, ours, unless set
    std::deque<SocketId> waiting;
    std::vector<SocketId> held;
    std::map<SocketId, Peer> peers;
};

struct BridgeFixture : ::testing::Test {
    BridgeFixture() {
        std::string reason;
        EXPECT_TRUE(bridge.Start(reason));
    }
    // A page connects and sends what it likes.
    void Connect(SocketId id, const std::string& bytes = Request()) {
        sockets.waiting.push_back(id);
        bridge.OnAcceptable();
        Send(id, bytes);
    }
    void Send(SocketId id, const std::string& bytes) {
        FakeSockets::Peer& peer = sockets.peers[id];
        peer.toUs += bytes;
        while (!peer.toUs.empty() && !peer.closed) {
            const std::size_t waiting = peer.toUs.size();
            bridge.OnReadable(id);
            if (peer.toUs.size() == waiting && !peer.closed) {
                ADD_FAILURE() << "the bridge read none of " << waiting << " waiting bytes";
                return;
            }
        }
    }
    // A message as the pages get it: numbered, with the time of the clock.
    std::string Frame(const std::string& message, std::uint64_t seq) {
        return EncodeFrame(Opcode::Text, Stamped(message, seq, sockets.now));
    }
    std::string Received(SocketId id) {
        std::string out;
        out.swap(sockets.peers[id].fromUs);
        return out;
    }

    FakeSockets sockets;
    test::FakeLogSink logSink;
    DiagnosticLog log{logSink};
    Bridge bridge{
        sockets, {true, 17520, {"https://counter.example.gov.cn"}, false}, "1.0.0.0", log};
};

TEST_F(BridgeFixture, APageGetsTheHelloThenEveryReadingAndStatusChange) {
    EXPECT_EQ(sockets.listened, 17520);
    bridge.Status({{u"s", u"m"}, {u"r", u""}});
    Connect(1);
    const std::string hello = Received(1);
    EXPECT_EQ(hello.rfind("HTTP/1.1 101 ", 0), 0u);
    EXPECT_NE(hello.find(Frame(HelloMessage("1.0.0.0", {{u"s", u"m"}, {u"r", u""}}, false), 1)),
              std::string::npos);
    EXPECT_FALSE(bridge.TakesScans());  // connected, but it did not ask for the barcodes
    bridge.Scan(u"123", ScanDelivery::Keys, true);
    bridge.Status({{u"s", u"m"}, {u"r", u""}});  // unchanged: nothing sent
    bridge.Status({{u"s2", u"m"}, {u"r", u""}});
    bridge.Card(ReadCard(u"a"), true);
    EXPECT_EQ(Received(1), Frame(ScanMessage(u"123", ScanDelivery::Keys, true), 2) +
                               Frame(StatusMessage({{u"s2", u"m"}, {u"r", u""}}), 3) +
                               Frame(CardMessage(ReadCard(u"a"), true), 4));
    sockets.now += 1500;
    bridge.CardRemoved();
    EXPECT_EQ(Received(1), Frame("{\"type\":\"cardRemoved\"}", 5));
}

TEST_F(BridgeFixture, AtTheEndThePageIsToldAfterTheFrameItWasHalfSent) {
    Connect(1);
    Received(1);
    sockets.peers[1].room = 10;
    bridge.Scan(u"123", ScanDelivery::Keys, true);
    sockets.peers[1].room = SIZE_MAX;
    bridge.Stop();
    EXPECT_EQ(Received(1), Frame(ScanMessage(u"123", ScanDelivery::Keys, true), 2) +
                               EncodeClose(kCloseGoingAway, "Ordane is closing"));
}

TEST_F(BridgeFixture, AStaleCloseEventDoesNotDropTheConnectionThatReusedTheSocket) {
    Connect(5);
    Send(5, Masked(0x88, std::string("\x03\xe8", 2)));
    ASSERT_EQ(bridge.Connections(), 0u);
    sockets.peers[5] = {};
    Connect(5);          // the value comes back for the next connection
    bridge.OnClosed(5);  // the old socket's event, still queued
    EXPECT_EQ(bridge.Pages(), 1u);
    EXPECT_FALSE(sockets.peers[5].closed);
    sockets.peers[5].toUs = Masked(0x81, "{\"type\":\"readCard\"}");
    sockets.peers[5].hungUp = true;
    bridge.OnClosed(5);  // its own: what it sent before is read, then it is closed
    EXPECT_NE(Received(5).find("noCard"), std::string::npos);
    EXPECT_EQ(bridge.Connections(), 0u);
}

TEST_F(BridgeFixture, APageThatAsksGetsTheCardOnTheReaderAndNoOtherPageDoes) {
    Connect(1);
    Connect(2);
    bridge.Card(ReadCard(u"a"), true);
    Connect(3);  // reloaded after the card was laid: nothing replayed unasked
    Received(1);
    Received(2);
    EXPECT_EQ(Received(3).find("\"card\""), std::string::npos);
    Send(3, Masked(0x81, " { \"type\" : \"readCard\" } "));
    EXPECT_EQ(Received(3), Frame(CardMessage(ReadCard(u"a"), true), 5));
    EXPECT_EQ(Received(1) + Received(2), "");
    bridge.CardRemoved();
    Received(3);
    Send(3, Masked(0x81, "{\"type\":\"readCard\"}"));
    EXPECT_EQ(Received(3), Frame("{\"type\":\"noCard\"}", 7));
}

TEST_F(BridgeFixture, PingsAreAnsweredAndACloseIsEchoedThenTheConnectionShut) {
    Connect(1, Request() + Masked(0x89, "p1"));  // a frame right behind the request
    EXPECT_NE(Received(1).find(std::string("\x8a\x02p1", 4)), std::string::npos);
    Send(1, Masked(0x81, "ignored") + Masked(0x88, std::string("\x03\xe8", 2)));
    EXPECT_EQ(Received(1), std::string("\x88\x02\x03\xe8", 4));
    EXPECT_TRUE(sockets.peers[1].closed);
    EXPECT_EQ(bridge.Connections(), 0u);
    Connect(2);
    Received(2);
    Send(2, Masked(0x81, std::string(5000, 'x')));
    EXPECT_EQ(Received(2), EncodeClose(kCloseTooBig));
    EXPECT_TRUE(sockets.peers[2].closed);
}

TEST_F(BridgeFixture, RefusedRequestsAreAnsweredAndClosedAndGetNoReading) {
    Connect(1, Request("https://counter.example.gov.cn", "https://evil.example"));
    Connect(3, "GET / HTTP/1.1\r\nHost: 127.0.0.1:17520\r\n\r\n");
    sockets.now += kRefusalLogMs;
    // A head grown past 8 KiB, by a page's cookies most often.
    Connect(4, Request("\r\n\r\n", "\r\nCookie: " + std::string(kMaxRequestHead, 'c')));
    bridge.Scan(u"123", ScanDelivery::Keys, true);
    EXPECT_EQ(Received(1).rfind("HTTP/1.1 403 ", 0), 0u);
    EXPECT_EQ(Received(3).rfind("HTTP/1.1 404 ", 0), 0u);
    EXPECT_EQ(Received(4).rfind("HTTP/1.1 431 ", 0), 0u);
    EXPECT_NE(logSink.All().find("status 431"), std::string::npos);
    for (SocketId id : {1, 3, 4}) {
        EXPECT_TRUE(sockets.peers[id].closed) << id;
    }
    EXPECT_EQ(bridge.Connections(), 0u);
    EXPECT_FALSE(bridge.TakesScans());
}

TEST_F(BridgeFixture, AFloodIsTakenAChunkAtATimeAndHeldBetween) {
    Connect(1);
    Connect(2);
    sockets.held.clear();
    for (int i = 0; i < 200; ++i) {
        sockets.peers[1].toUs += Masked(0x81, std::string(100, 'x'));
    }
    bridge.OnReadable(1);
    EXPECT_EQ(sockets.held, std::vector<SocketId>{1});
    EXPECT_EQ(sockets.peers[1].toUs.size(), 200u * 106 - 4096);
    EXPECT_FALSE(sockets.peers[1].closed);
    Send(2, Masked(0x89, ""));  // an honest page is not held
    EXPECT_EQ(sockets.held, std::vector<SocketId>{1});
    for (SocketId id = 3; id <= 7; ++id) {
        sockets.waiting.push_back(id);
    }
    bridge.OnAcceptable();
    EXPECT_EQ(sockets.held, (std::vector<SocketId>{1, kListener}));
    EXPECT_EQ(sockets.waiting.size(), 1u);
}

TEST_F(BridgeFixture, EightPagesAtMostAndSilentConnectionsMakeRoomForThem) {
    for (SocketId id = 1; id <= kMaxConnections; ++id) {
        Connect(id, id <= 6 ? "GET /readings" : Request());  // 1 to 6 never finish
    }
    Connect(13);  // takes the place of the oldest silent one
    EXPECT_TRUE(sockets.peers[1].closed);
    EXPECT_FALSE(sockets.peers[2].closed);
    EXPECT_EQ(bridge.Pages(), 7u);
    Connect(14);
    Received(14);
    Connect(15);  // the ninth page is told why it cannot stay
    const std::string ninth = Received(15);
    EXPECT_EQ(ninth.rfind("HTTP/1.1 101 ", 0), 0u);
    EXPECT_EQ(ninth.substr(ninth.find("\r\n\r\n") + 4),
              EncodeClose(kCloseTryAgainLater, "eight pages are connected already"));
    EXPECT_TRUE(sockets.peers[15].closed);
    EXPECT_EQ(bridge.Pages(), 8u);
    bridge.Scan(u"1", ScanDelivery::Keys, true);
    EXPECT_EQ(Received(15), "");
}

TEST_F(BridgeFixture, OnlyAPageThatAskedAndReadsTakesTheBarcodes) {
    const std::string take = Masked(0x81, "{ \"type\": \"takeScans\" }");
    const std::string type = Masked(0x81, "{\"type\":\"typeScans\"}");
    const struct {
        const char* what;
        std::string sent;    // by page 1, after its hello
        std::int64_t after;  // ms later
        bool stalled;        // page 1 reads nothing and a message waits for it
        bool takes;
    } cases[] = {
        {"connected, never asked", "", 0, false, false},
        {"asked", take, 0, false, true},
        {"asked 4.9 s ago", take, 4999, false, true},
        {"asked 5 s ago, not since", take, 5000, false, false},
        {"asked, then gave them back", take + type, 0, false, false},
        {"asked, then stalled", take, 0, true, false},
        {"something else", Masked(0x81, "{\"type\":\"takeScans\",\"x\":1}"), 0, false, false},
    };
    SocketId id = 1;
    for (const auto& c : cases) {
        Connect(id, Request() + c.sent);
        Connect(id + 1);  // a page that never asks
        sockets.now += c.after;
        if (c.stalled) {
            sockets.peers[id].room = 0;
            bridge.Status({{Text(1, static_cast<char16_t>(u'a' + id)), u""}, {}});
        }
        EXPECT_EQ(bridge.TakesScans(), c.takes) << c.what;
        bridge.OnClosed(id);
        bridge.OnClosed(id + 1);
        id += 2;
    }
}

TEST_F(BridgeFixture, OnlyProcessesOfOrdanesOwnSessionAreServed) {
    const struct {
        const char* what;
        PeerOwner owner;
        bool wine;
        bool served;
        const char* line;
    } cases[] = {
        {"own session", {true, 100, 2}, false, true, ""},
        {"another clerk's session",
         {true, 101, 3},
         false,
         false,
         "bridge: refused a connection from another session, code 3\n"},
        // The log has a line at most every 10 s.
        {"session not to be told", {true, 102, std::nullopt}, false, false, ""},
        {"process 0 on Windows", {true, 0, std::nullopt}, false, false, ""},
        {"process 0 under Wine", {true, 0, std::nullopt}, true, true, ""},
        {"not in the table on Windows", {false, 0, std::nullopt}, false, false, ""},
        {"not in the table under Wine", {false, 0, std::nullopt}, true, true, ""},
    };
    SocketId id = 1;
    std::size_t served = 0;
    for (const auto& c : cases) {
        sockets.owners[id] = c.owner;
        sockets.wine = c.wine;
        logSink.lines.clear();
        sockets.waiting.push_back(id);
        bridge.OnAcceptable();
        EXPECT_EQ(sockets.peers[id].closed, !c.served) << c.what;
        served += c.served ? 1 : 0;
        EXPECT_EQ(bridge.Connections(), served) << c.what;
        EXPECT_EQ(logSink.All(), c.line) << c.what;
        ++id;
    }
}

TEST(BridgePeerTest, ThePagesEndIsFoundInTheIpv4OrIpv6Table) {
    const auto v4 = [](std::uint16_t port) { return TcpEndpoint{MappedV4(127, 0, 0, 1), port}; };
    const auto v6 = [](std::uint16_t port) {
        TcpEndpoint loopback{{}, port};
        loopback.address[15] = 1;
        return loopback;
    };
    // Our own end of each connection is listed too, with our process; the IPv6 table's rows
    // come after the IPv4 table's, v4-mapped (port 50003) or [::1].
    const std::vector<TcpRow> rows{{v4(17520), v4(50001), 7},
                                   {v4(50001), v4(17520), 20},
                                   {v4(50003), v4(17520), 22},
                                   {v6(50002), v6(17520), 21}};
    const struct {
        const char* what;
        TcpEndpoint peer;
        TcpEndpoint self;
        std::optional<std::uint32_t> pid;
    } cases[] = {
        {"IPv4 row", v4(50001), v4(17520), 20},
        {"v4-mapped row of the IPv6 table", v4(50003), v4(17520), 22},
        {"[::1] row", v6(50002), v6(17520), 21},
        {"no row", v4(50009), v4(17520), std::nullopt},
        {"same ports, other address", v6(50001), v6(17520), std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PageProcess(rows, c.peer, c.self), c.pid) << c.what;
    }
}

TEST(BridgePeerTest, ATableThatGrowsBetweenTheCallsIsAskedAgain) {
    for (const int growths : {0, 2, 3}) {
        std::uint32_t tableSize = 100;
        int calls = 0;
        std::vector<unsigned char> buffer;
        const bool filled = FillGrowing(buffer, [&](unsigned char* data, std::uint32_t& size) {
            if (data == nullptr || size < tableSize) {
                size = tableSize;
                tableSize += ++calls <= growths ? 40 : 0;  // a connection more since then
                return false;
            }
            return true;
        });
        EXPECT_EQ(filled, growths < 3) << growths;
        EXPECT_EQ(buffer.size() >= tableSize, filled) << growths;
    }
}

TEST_F(BridgeFixture, PagesAreToldWhenOrdaneEnds) {
    Connect(1);
    Connect(2, "GET /readings");
    Received(1);
    bridge.Stop();
    EXPECT_EQ(Received(1), EncodeClose(kCloseGoingAway, "Ordane is closing"));
    EXPECT_EQ(Received(2), "");
    EXPECT_TRUE(sockets.peers[1].closed && sockets.peers[2].closed);
    EXPECT_EQ(bridge.Connections(), 0u);
}

TEST_F(BridgeFixture, RefusedRequestsAreLoggedWithOriginHostAndStatusAtMostOnceInTenSeconds) {
    const struct {
        std::int64_t after;  // ms after the previous
        std::string request;
        const char* line;  // expected, or "" for none
    } cases[] = {
        {0, Request("https://counter.example.gov.cn", "https://evil.example"),
         "bridge: refused page of origin \"https://evil.example\" host \"127.0.0.1:17520\", "
         "status 403, 0 more refused unwritten"},
        {1000, Request("/readings", "/"), ""},
        {8999, Request(), ""},  // let in: not a refusal
        {0, Request("127.0.0.1:17520", "x\"y:1"), ""},
        {1, Request("https://counter.example.gov.cn", "null"),
         "bridge: refused page of origin \"null\" host \"127.0.0.1:17520\", status 403, 2 "
         "more refused unwritten"},
    };
    SocketId id = 1;
    for (const auto& c : cases) {
        sockets.now += c.after;
        logSink.lines.clear();
        Connect(id++, c.request);
        EXPECT_EQ(logSink.All(), c.line[0] == 0 ? "" : std::string(c.line) + "\n") << c.request;
    }
}

TEST_F(BridgeFixture, APageThatDoesNotReadIsDroppedOverOneMiBAndTheOthersGetEverything) {
    Connect(1);
    Connect(2);
    Received(1);
    sockets.peers[2].room = 0;  // never reads again
    const Text scan(1000, u'9');
    const std::string message = ScanMessage(scan, ScanDelivery::Keys, true);
    std::uint64_t seq = 2;  // the two hellos
    std::size_t queued = 0;
    for (; queued + Frame(message, seq + 1).size() <= kMaxQueued; ++seq) {
        queued += Frame(message, seq + 1).size();
        bridge.Scan(scan, ScanDelivery::Keys, true);
    }
    EXPECT_FALSE(sockets.peers[2].closed);  // kept while its queue is within the bound
    bridge.Scan(scan, ScanDelivery::Keys, true);
    queued += Frame(message, ++seq).size();
    EXPECT_TRUE(sockets.peers[2].closed);
    EXPECT_EQ(bridge.Pages(), 1u);
    EXPECT_EQ(Received(1).size(), queued);
    // A socket that takes part of a frame gets the rest when it can take more.
    sockets.peers[1].room = 3;
    bridge.Scan(u"1", ScanDelivery::Keys, true);
    sockets.peers[1].room = SIZE_MAX;
    bridge.OnWritable(1);
    EXPECT_EQ(Received(1), Frame(ScanMessage(u"1", ScanDelivery::Keys, true), seq + 1));
}

TEST(BridgeStartTest, ATakenPortIsTriedAgainEveryThreeSecondsUntilItListens) {
    FakeSockets sockets;
    sockets.taken = true;
    test::FakeLogSink sink;
    DiagnosticLog log(sink);
    Bridge bridge(sockets, {true, 17520, {"http://a"}, true}, "1", log);
    int told = 0;
    bridge.SetOnListening([&told] { ++told; });
    std::string reason;
    EXPECT_FALSE(bridge.Start(reason));
    const struct {
        bool taken;
        std::vector<std::uint32_t> againAfter;
        BridgeOff off;
        int told;
    } cases[] = {
        {true, {3000, 3000}, BridgeOff::PortTaken, 0},
        {true, {3000, 3000, 3000}, BridgeOff::PortTaken, 0},
        {false, {3000, 3000, 3000}, BridgeOff::None, 1},
        {false, {3000, 3000, 3000}, BridgeOff::None, 1},  // a late timer: listening already
    };
    for (const auto& c : cases) {
        sockets.taken = c.taken;
        bridge.OnListenAgain();
        EXPECT_EQ(sockets.againAfter, c.againAfter);
        EXPECT_EQ(bridge.Off(), c.off);
        EXPECT_EQ(told, c.told);
    }
    EXPECT_EQ(sink.All(),
              "bridge: bind [::1] failed, Winsock error, code 10013\n"
              "bridge: listening on port at last, code 17520\n");
    sockets.waiting.push_back(1);
    bridge.OnAcceptable();
    EXPECT_EQ(bridge.Connections(), 1u);
}

TEST(BridgeStartTest, StaysOffWhenThePortIsTakenOrNoOriginIsAllowed) {
    const std::string kTakenLine = "bridge: bind [::1] failed, Winsock error, code 10013";
    const struct {
        const char* what;
        std::vector<std::string> origins;
        bool taken;
        BridgeOff off;
        std::vector<std::string> lines;
        bool heldByOrdane = false;
    } cases[] = {
        {"port taken", {"http://a"}, true, BridgeOff::PortTaken, {kTakenLine}},
        {"port held by another session's Ordane",
         {"http://a"},
         true,
         BridgeOff::PortTaken,
         {kTakenLine,
          "bridge: the port is held by the Ordane of another session: one bridge serves the "
          "machine, the first session's"},
         true},
        {"http pages on the loopback",
         {"http://127.0.0.1:8080", "http://localhost", "https://127.0.0.1", "http://127.example"},
         false,
         BridgeOff::None,
         {"bridge: warning: allowed http origins on this machine's loopback (count follows); any "
          "user of the machine may serve them, https origins are safer, code 2"}},
        {"no origins", {}, false, BridgeOff::NoOrigins, {}},
        {"only entries that are no origin",
         {"*", "https://his/"},
         false,
         BridgeOff::NoOrigins,
         {"bridge: allow-list entry \"*\" refused: null and * would let any page in",
          "bridge: allow-list entry \"https://his/\" refused: a path or a trailing / (an origin "
          "ends with the host or port)"}},
        {"one good entry",
         {"null", "HTTP://His:80"},
         false,
         BridgeOff::None,
         {"bridge: allow-list entry \"null\" refused: null and * would let any page in"}},
    };
    for (const auto& c : cases) {
        FakeSockets sockets;
        sockets.taken = c.taken;
        sockets.heldByOrdane = c.heldByOrdane;
        test::FakeLogSink sink;
        DiagnosticLog log(sink);
        Bridge bridge(sockets, {true, 17520, c.origins, true}, "1", log);
        std::string reason;
        EXPECT_EQ(bridge.Start(reason), c.off == BridgeOff::None) << c.what;
        EXPECT_EQ(bridge.Off(), c.off) << c.what;
        EXPECT_EQ(sockets.listened, c.off == BridgeOff::NoOrigins ? 0 : 17520) << c.what;
        EXPECT_EQ(sink.lines, c.lines) << c.what;
    }
}

}  // namespace
}  // namespace ordane::bridge
