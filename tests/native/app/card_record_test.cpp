#include <gtest/gtest.h>

#include <vector>

#include "app/card_record.h"

namespace ordane {
namespace {

std::vector<std::uint8_t> Utf16Le(const Text& text, std::size_t size = 521) {
    std::vector<std::uint8_t> bytes(size, 0);
    for (std::size_t i = 0; i < text.size(); ++i) {
        bytes[2 * i] = static_cast<std::uint8_t>(text[i] & 0xFF);
        bytes[2 * i + 1] = static_cast<std::uint8_t>(text[i] >> 8);
    }
    return bytes;
}

Text Padded(const Text& value, std::size_t width) {
    Text out = value;
    out.resize(width, u' ');
    return out;
}

TEST(CardRecordTest, OnlyPlainlyAResidentCardsTextCountsAsOne) {
    const auto card = [](const char16_t* sex, const char16_t* birth, const char16_t* number) {
        return CardFields{u"张三", sex, u"01", birth, u"", number, u"", u"", u"", u""};
    };
    const struct {
        const char* what;
        CardFields fields;
        bool resident;
    } cases[] = {
        {"resident, check X", card(u"1", u"19491231", u"11010519491231002X"), true},
        {"resident, 29 February", card(u"2", u"20000229", u"440304200002291236"), true},
        {"wrong check character", card(u"1", u"19491231", u"110105194912310021"), false},
        {"lower-case x", card(u"1", u"19491231", u"11010519491231002x"), false},
        {"birth date not the number's", card(u"1", u"19491230", u"11010519491231002X"), false},
        {"no such day", card(u"1", u"19000229", u"110101190002291234"), false},
        {"sex 3", card(u"3", u"19491231", u"11010519491231002X"), false},
        {"15 characters", card(u"1", u"19491231", u"110105491231002"), false},
        {"a permit's layout",
         CardFields{u"ZHANG SAN", u"", u"", u"1", u"19800101", u"CHN", u"", u"", u"", u""}, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PlainlyResidentCard(c.fields), c.resident) << c.what;
    }
}

TEST(CardRecordTest, CutsTheTenFieldsOfAFullTextAndTrimsTheirSpaces) {
    const Text base = Padded(u"张三", 15) + u"1" + u"01" + u"19800101" +
                      Padded(u"北京市 东城区 1号", 35) + u"11010119800101001X" +
                      Padded(u"北京市公安局", 15) + u"20100101" + u"20300101" +
                      Padded(u"  remainder", 18);
    ASSERT_EQ(base.size(), 128u);
    const auto bytes = Utf16Le(base);
    const Text record = BuildCardRecord(DecodeCardText(bytes.data(), bytes.size(), 256));
    EXPECT_EQ(record,
              u"SFZXX_2.0|张三|1|01|19800101|北京市 东城区 1号|11010119800101001X|北京市公安局|"
              u"20100101|20300101|remainder");
}

TEST(CardRecordTest, EmptyTextGivesThePrefixAndNineSeparators) {
    EXPECT_EQ(BuildCardRecord(Text()), u"SFZXX_2.0||||||||||");
    EXPECT_EQ(BuildCardRecord(Text(20, u' ')), u"SFZXX_2.0||||||||||");
}

TEST(CardRecordTest, CharacterCountIsHalfTheLengthRoundedToEven) {
    Text base;
    for (int i = 0; i < 200; ++i) {
        base += static_cast<char16_t>(u'A' + i % 26);
    }
    const auto bytes = Utf16Le(base);
    EXPECT_EQ(DecodeCardText(bytes.data(), bytes.size(), 256).size(), 128u);
    EXPECT_EQ(DecodeCardText(bytes.data(), bytes.size(), 255).size(), 128u);
    EXPECT_EQ(DecodeCardText(bytes.data(), bytes.size(), 253).size(), 126u);
    EXPECT_EQ(DecodeCardText(bytes.data(), bytes.size(), 0).size(), 0u);
    // The byte after an odd length is used: character 128 is whole.
    EXPECT_EQ(DecodeCardText(bytes.data(), bytes.size(), 255).back(), base[127]);
}

TEST(CardRecordTest, LengthBeyondTheBufferIsCutToTheBuffer) {
    const auto bytes = Utf16Le(Text(260, u'x'));
    EXPECT_EQ(DecodeCardText(bytes.data(), bytes.size(), 0xFFFFFFFFu).size(), 260u);
}

TEST(CardRecordTest, CodeUnitsAreTakenUnchanged) {
    const Text base = Text(u"\xD800") + u"|\U0001F600";  // a lone surrogate and a pair
    const auto bytes = Utf16Le(base);
    EXPECT_EQ(DecodeCardText(bytes.data(), bytes.size(), 8), base);
}

}  // namespace
}  // namespace ordane
