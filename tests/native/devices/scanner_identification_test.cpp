#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>

#include "devices/scanner_identification.h"
#include "doubles/fake_pump.h"
#include "doubles/fake_serial_library.h"
#include "doubles/fake_symbol_link.h"
#include "doubles/protocol_vectors.h"

namespace ordane::test {
namespace {

Bytes Ascii(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

// A scanner on the open port that answers known queries after a delay.
class ScannerIdentificationTest : public ::testing::Test {
  protected:
    ScannerIdentificationTest() {
        id.ScannerXH = u"old";
        comm.OpenPort(3, 9600, 8, 0, 0);
        comm.ClearLog();
        comm.responder = [this](const Bytes& query) {
            auto it = answers.find(query);
            if (it != answers.end()) {
                comm.Arrive(pump, replyDelayMs, it->second);
            }
        };
    }

    Settings settings;
    FakePump pump;
    FakeSerialLibrary comm;
    FakeSymbolLink link{pump};
    std::optional<FrmSymbol> symbol;
    ScannerChannel channel{settings, comm, [this]() -> FrmSymbol& {
                               symbol.emplace(link, pump, 7);
                               link.Attach(*symbol);
                               return *symbol;
                           }};
    ScannerIdentification id{channel, pump};
    std::map<Bytes, Bytes> answers;
    std::uint32_t replyDelayMs = 100;
};

const Bytes kHhpQuery = Vector("hhp.query");

TEST_F(ScannerIdentificationTest, HhpFindsEitherModelAnywhereInTheReplyTheLaterWins) {
    answers[kHhpQuery] = Ascii("xx it4600-050 yy");
    EXPECT_TRUE(id.CheckHHP());
    EXPECT_EQ(id.ScannerXH, u"IT4600Q");
    EXPECT_EQ(comm.Log(), (std::vector<std::string>{
                              "clear", "write 16 4d 0d 50 5f 4e 41 4d 45 3f 2e", "read 25 -> 16"}));
    EXPECT_EQ(pump.Now(), 2100u);

    answers[kHhpQuery] = Ascii("IT4800-050IT4600-050");
    EXPECT_TRUE(id.CheckHHP());
    EXPECT_EQ(id.ScannerXH, u"IT4800Q");

    answers[kHhpQuery] = Ascii("IT4700-050");
    EXPECT_FALSE(id.CheckHHP());
    replyDelayMs = 2200;  // too late for the wait
    answers[kHhpQuery] = Ascii("IT4600-050");
    EXPECT_FALSE(id.CheckHHP());
    EXPECT_EQ(id.ScannerXH, u"IT4800Q");
}

TEST_F(ScannerIdentificationTest, EachSingleExchangeBrandSendsItsQueryAndTestsItsMarker) {
    answers[Vector("datalogic.query")] = Ascii(std::string(40, '-') + "d432");
    EXPECT_TRUE(id.CheckDataLogic());  // read count 50 reaches the marker
    EXPECT_EQ(id.ScannerXH, u"LYNX D432");

    answers[Vector("metrologic.query")] = Ascii("METROLOGIC012");
    replyDelayMs = 250;
    EXPECT_TRUE(id.CheckMetrologic());
    EXPECT_EQ(id.ScannerXH, u"Focus-1690");
    replyDelayMs = 350;  // beyond the 0.3 s window
    EXPECT_FALSE(id.CheckMetrologic());

    const Bytes newLand = Vector("newland.query");
    pump.Advance(100);  // the late reply comes in before the next exchange clears
    replyDelayMs = 100;
    answers[newLand] = Ascii(std::string(17, '.') + "NLSHR103");  // bytes 17..24
    EXPECT_TRUE(id.CheckNewLand());
    EXPECT_EQ(id.ScannerXH, u"NLS-HR-103");
    id.ScannerXH = u"old";
    answers[newLand] = Ascii(std::string(18, '.') + "NLSHR103");  // ends at byte 25
    EXPECT_FALSE(id.CheckNewLand());
    EXPECT_EQ(id.ScannerXH, u"old");
}

TEST_F(ScannerIdentificationTest, DensoIsFoundByAnAnswerToAnyOneOfItsSixCommands) {
    EXPECT_FALSE(id.CheckDenso());
    ASSERT_EQ(comm.writes.size(), 6u);
    EXPECT_EQ(comm.clears, 0);
    for (std::size_t step = 0; step < 6; ++step) {
        EXPECT_EQ(comm.writes[step], Vector("denso.query." + std::to_string(step + 1))) << step;
    }
    EXPECT_EQ(pump.Now(), 2700u);
    EXPECT_EQ(id.ScannerXH, u"old");

    for (std::size_t step = 0; step < 6; ++step) {
        answers.clear();
        answers[Vector("denso.query." + std::to_string(step + 1))] =
            Vector(step % 2 ? "denso.reply.GT10QU" : "denso.reply.496810");
        id.ScannerXH = u"old";
        EXPECT_TRUE(id.CheckDenso()) << step;
        EXPECT_EQ(id.ScannerXH, u"GT10QU");
    }
    // A reply longer than one read: the model straddles the first two reads.
    answers.clear();
    answers[Vector("denso.query.1")] = Vector("denso.reply.long");
    EXPECT_TRUE(id.CheckDenso());
    answers[Vector("denso.query.1")] = Vector("denso.reply.other");
    EXPECT_FALSE(id.CheckDenso());
}

TEST_F(ScannerIdentificationTest, WriteStrToPortSendsNothingForEmptyTextAndDoesNotClear) {
    EXPECT_EQ(id.WriteStrToPort(u"", 0.3), u"");
    EXPECT_TRUE(comm.Log().empty());
    comm.Queue(Ascii("left over"));
    EXPECT_EQ(id.WriteStrToPort(u"Q", 0), u"left over");
    EXPECT_EQ(comm.Log(), (std::vector<std::string>{"write 51", "read 15 -> 9"}));
}

TEST_F(ScannerIdentificationTest, SymbolCheckAlwaysCopiesTheSymbolWindowsModel) {
    settings.ScannerModel = u"Symbol";
    channel.OpenScannerPort(3, 9600, 8, 0, 0);
    EXPECT_FALSE(id.CheckScanner(u"Symbol"));
    EXPECT_EQ(id.ScannerXH, u"");  // copied even on failure
    link.versionReply = Ascii("NBRPYA");
    EXPECT_TRUE(id.CheckScanner(u"Symbol"));
    EXPECT_EQ(id.ScannerXH, u"DS6607");
}

TEST_F(ScannerIdentificationTest, DispatchByBrandNameFalseForABrandWithoutACheck) {
    answers[kHhpQuery] = Ascii("IT4600-050");
    EXPECT_TRUE(id.CheckScanner(u"HHP"));
    comm.ClearLog();
    for (const char16_t* brand : {u"", u"hhp", u"Zebra"}) {
        EXPECT_FALSE(id.CheckScanner(brand));
    }
    EXPECT_TRUE(comm.Log().empty());
    EXPECT_FALSE(symbol.has_value());
}

}  // namespace
}  // namespace ordane::test
