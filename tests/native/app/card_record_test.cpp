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

// The fields of a card's own layout as "name=value;" pairs.
std::string Named(const CardReading& card) {
    std::string out;
    for (const NamedField& field : card.named) {
        out += std::string(field.name) + "=" + ToUtf8(field.value) + ";";
    }
    return out;
}

TEST(CardRecordTest, KindComesFromTheMarkThenTheNumberAndEachKindHasItsOwnFields) {
    const Text resident =
        Padded(u"张三", 61) + u"11010119800101001X" + Text(31, u' ') + Padded(u"rest", 18);
    const Text permit = Padded(u"陈大文", 15) + u"1  19900101" + Padded(u"香港", 35) +
                        u"810000199001011234" + Padded(u"公安部出入境管理局", 15) +
                        u"2019010120240101H1234567801   J   ";
    const Text foreign = Padded(u"SMITH, JOHN", 60) + u"1USA310012345678USA" +
                         Padded(u"史密斯", 15) + u"20170616202706161980010102" + u"1100I   ";
    Text unmarked = foreign;
    unmarked[124] = u' ';
    const Text foreign2023 = resident.substr(0, 61) + u"936001198001011234" + resident.substr(79);
    Text marked2023 = foreign2023;
    marked2023[124] = u'Y';
    const struct {
        const char* what;
        Text text;
        CardKind kind;
        bool written;
        std::string named;
    } cases[] = {
        {"resident", resident, CardKind::Resident, true,
         "name=张三;sex=;nation=;birthDate=;address=;idNumber=11010119800101001X;issuer=;"
         "validFrom=;validTo=;extra=rest;"},
        {"residence permit", permit, CardKind::HmtResidencePermit, true,
         "name=陈大文;sex=1;nation=;birthDate=19900101;address=香港;idNumber=810000199001011234;"
         "issuer=公安部出入境管理局;validFrom=20190101;validTo=20240101;passNumber=H12345678;"
         "issueCount=01;"},
        {"2017 foreign card", foreign, CardKind::ForeignPermanent, false,
         "englishName=SMITH, JOHN;sex=1;permitNumber=USA310012345678;nationality=USA;"
         "chineseName=史密斯;validFrom=20170616;validTo=20270616;birthDate=19800101;"
         "cardVersion=02;authorityCode=1100;"},
        {"foreign card with its mark missing", unmarked, CardKind::Unknown, false, ""},
        {"resident mark, number beginning with 9", foreign2023, CardKind::Unknown, false, ""},
        {"another mark", marked2023, CardKind::Unknown, false, ""},
        {"a blank text: written as it always was", Text(), CardKind::Resident, true,
         "name=;sex=;nation=;birthDate=;address=;idNumber=;issuer=;validFrom=;validTo=;extra=;"},
    };
    for (const auto& c : cases) {
        const CardReading card = ReadCard(c.text);
        EXPECT_EQ(card.kind, c.kind) << c.what;
        EXPECT_EQ(card.text, c.text) << c.what;
        EXPECT_EQ(card.record.empty(), !c.written) << c.what;
        EXPECT_EQ(Named(card), c.named) << c.what;
    }
    // The permit's record is the resident card's, its remainder as it stands.
    EXPECT_EQ(ReadCard(permit).record,
              u"SFZXX_2.0|陈大文|1||19900101|香港|810000199001011234|"
              u"公安部出入境管理局|20190101|20240101|H1234567801   J");
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
