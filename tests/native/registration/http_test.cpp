#include <gtest/gtest.h>

#include "registration/http.h"
#include "doubles/fake_codec.h"
#include "doubles/fake_http_client.h"

namespace ordane {
namespace {

struct HttpTest : ::testing::Test {
    test::FakeHttpClient client;
    test::FakeCodec codec;
    Http http{client, codec, "127.0.0.1:18471"};

    bool Reply(const char* body) {
        client.reply = std::string(body);
        http.Update(u"SAM-1");
        return http.Success;
    }
};

TEST_F(HttpTest, AcceptsRepliesBeginningWithSuccessOrExist) {
    EXPECT_TRUE(Reply("SUCCESS"));
    EXPECT_TRUE(Reply("EXIST"));
    EXPECT_TRUE(Reply("SUCCESS\r\n"));
    EXPECT_TRUE(Reply("EXISTS already"));
    EXPECT_FALSE(Reply("success"));
    EXPECT_FALSE(Reply(" SUCCESS"));
    EXPECT_FALSE(Reply("EXIS"));
    EXPECT_FALSE(Reply(""));
    EXPECT_FALSE(Reply("FAILED"));
}

TEST_F(HttpTest, EachUpdateStartsFromFalse) {
    EXPECT_TRUE(Reply("SUCCESS"));
    client.reply.reset();  // the server cannot be reached
    http.Update(u"SAM-1");
    EXPECT_FALSE(http.Success);
}

TEST_F(HttpTest, RequestsTheFixedPathWithTheId) {
    http.Update(u"05.01-2010_x~");
    http.Update(u"a b&c");
    ASSERT_EQ(client.urls.size(), 2u);
    EXPECT_EQ(client.urls[0], "http://127.0.0.1:18471/monitor/uploadinfo?id=05.01-2010_x~");
    EXPECT_EQ(client.urls[1], "http://127.0.0.1:18471/monitor/uploadinfo?id=a%20b%26c");
}

}  // namespace
}  // namespace ordane
