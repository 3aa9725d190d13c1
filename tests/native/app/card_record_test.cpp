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

// Texts of the three kinds, each 128 characters with its mark at 125.
const Text kResident = Padded(u"张三", 15) + u"1" + u"01" + u"19800101" +
                       Padded(u"北京市东城区", 35) + u"11010119800101001X" +
                       Padded(u"北京市公安局", 15) + u"20100101" + u"20300101" + Text(18, u' ');
const Text kPermit = Padded(u"陈大文", 15) + u"1" + u"  " + u"19900101" + Padded(u"香港", 35) +
                     u"810000199001011234" + Padded(u"公安部出入境管理局", 15) + u"20190101" +
                     u"20240101" + u"H12345678" + u"01" + u"   " + u"J" + u"   ";
const Text kForeign = Padded(u"SMITH, JOHN", 60) + u"1" + u"USA310012345678" + u"USA" +
                      Padded(u"史密斯", 15) + u"20170616" + u"20270616" + u"19800101" + u"02" +
                      u"1100" + u"I" + u"   ";

TEST(CardRecordTest, KindComesFromTheMarkThenTheNumberAndEachKindHasItsOwnFields) {
    const std::vector<NamedField> residentFields{{"name", u"张三"},
                                                 {"sex", u"1"},
                                                 {"nation", u"01"},
                                                 {"birthDate", u"19800101"},
                                                 {"address", u"北京市东城区"},
                                                 {"idNumber", u"11010119800101001X"},
                                                 {"issuer", u"北京市公安局"},
                                                 {"validFrom", u"20100101"},
                                                 {"validTo", u"20300101"},
                                                 {"extra", u""}};
    const std::vector<NamedField> permitFields{{"name", u"陈大文"},
                                               {"sex", u"1"},
                                               {"nation", u""},
                                               {"birthDate", u"19900101"},
                                               {"address", u"香港"},
                                               {"idNumber", u"810000199001011234"},
                                               {"issuer", u"公安部出入境管理局"},
                                               {"validFrom", u"20190101"},
                                               {"validTo", u"20240101"},
                                               {"passNumber", u"H12345678"},
                                               {"issueCount", u"01"}};
    const std::vector<NamedField> foreignFields{{"englishName", u"SMITH, JOHN"},
                                                {"sex", u"1"},
                                                {"permitNumber", u"USA310012345678"},
                                                {"nationality", u"USA"},
                                                {"chineseName", u"史密斯"},
                                                {"validFrom", u"20170616"},
                                                {"validTo", u"20270616"},
                                                {"birthDate", u"19800101"},
                                                {"cardVersion", u"02"},
                                                {"authorityCode", u"1100"}};
    Text unmarkedForeign = kForeign;
    unmarkedForeign[124] = u' ';
    // A 2023 foreign card in a resident card's number field, with a mark not known here.
    Text foreign2023 = kResident.substr(0, 61) + u"936001198001011234" + kResident.substr(79);
    Text foreign2023Marked = foreign2023;
    foreign2023Marked[124] = u'Y';
    const struct {
        const char* what;
        Text text;
        CardKind kind;
        bool written;
        std::vector<NamedField> named;
    } cases[] = {
        {"resident", kResident, CardKind::Resident, true, residentFields},
        {"residence permit", kPermit, CardKind::HmtResidencePermit, true, permitFields},
        {"2017 foreign card", kForeign, CardKind::ForeignPermanent, false, foreignFields},
        {"foreign card with its mark missing", unmarkedForeign, CardKind::Unknown, false, {}},
        {"resident mark, number beginning with 9", foreign2023, CardKind::Unknown, false, {}},
        {"another mark", foreign2023Marked, CardKind::Unknown, false, {}},
        {"a number that is not 18 characters",
         kResident.substr(0, 61) + Padded(u"1101011980", 18) + kResident.substr(79),
         CardKind::Unknown,
         false,
         {}},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(c.text.size(), 128u) << c.what;
        const CardReading card = ReadCard(c.text);
        EXPECT_EQ(card.kind, c.kind) << c.what;
        EXPECT_EQ(card.text, c.text) << c.what;
        EXPECT_EQ(card.record.empty(), !c.written) << c.what;
        EXPECT_EQ(card.named, c.named) << c.what;
    }
    // A blank read has nothing to call it otherwise: written as it always was.
    EXPECT_EQ(ReadCard(Text()).kind, CardKind::Resident);
    EXPECT_EQ(ReadCard(Text()).record, u"SFZXX_2.0||||||||||");
    // The permit's record is the resident card's, its remainder as it stands.
    EXPECT_EQ(ReadCard(kPermit).record,
              u"SFZXX_2.0|陈大文|1||19900101|香港|810000199001011234|公安部出入境管理局|20190101|"
              u"20240101|H1234567801   J");
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
