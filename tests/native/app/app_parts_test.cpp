// The main window's parts each on a few doubles: the reading router, the status lines and the
// registration report. Rules that span parts are tested on the whole monitor.
#include <gtest/gtest.h>

#include "app/reading_router.h"
#include "app/registration_report.h"
#include "app/status_lines.h"
#include "app/status_texts.h"
#include "doubles/fake_codec.h"
#include "doubles/fake_delivery.h"
#include "doubles/fake_http_client.h"
#include "doubles/fake_main_view.h"
#include "doubles/fake_pump.h"
#include "doubles/fake_readings.h"
#include "doubles/fake_registry.h"
#include "doubles/fake_worker.h"

namespace ordane::test {
namespace {

// ---- Reading router: delivery, codec, the window (through the lines) and the clock ----

struct RouteCase {
    const char* brand;
    const char* reading;
    bool windowText;  // else typed
};

class ReadingRouterTest : public ::testing::Test {
  protected:
    FakePump pump;
    FakeMainView view;
    FakeCodec codec;
    FakeDelivery delivery;
    StatusLines lines{view, view, pump, nullptr};
    Settings settings;
    ReadingRouter router{ReadingRouterDeps{delivery,
                                           codec,
                                           settings,
                                           pump,
                                           DiagnosticLog::Off(),
                                           lines,
                                           nullptr,
                                           ScanEncoding::CodePage,
                                           nullptr,
                                           0,
                                           {}}};

    void Scan(const std::string& bytes) {
        router.Scan(CollectedReading{bytes, pump.TickCount(), bytes.size()});
    }
};

class ReadingRouteTest : public ReadingRouterTest,
                         public ::testing::WithParamInterface<RouteCase> {};

TEST_P(ReadingRouteTest, AReadingGoesWhereItsBrandAndMarkerSay) {
    settings.ScannerModel = FromUtf8(GetParam().brand);
    Scan(GetParam().reading);
    const Text text = FromUtf8(GetParam().reading);
    if (GetParam().windowText) {
        EXPECT_EQ(delivery.received, std::vector<Text>{text});
        EXPECT_TRUE(delivery.typed.empty());
    } else {
        ASSERT_EQ(delivery.typed.size(), 1u);
        EXPECT_EQ(delivery.typed[0].text, text);
        EXPECT_TRUE(delivery.received.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Routes, ReadingRouteTest,
                         ::testing::Values(RouteCase{"HHP", "6901234567892", false},
                                           RouteCase{"NewLand", "HGFOZ_123",
                                                     true},  // unmarked, as NewLand sends it
                                           RouteCase{"Denso", "HGFOZ_123", false}));

TEST_F(ReadingRouterTest, KeysWaitWhileTheFocusIsOursAndAreToldLostAfterTheHold) {
    delivery.focusIsOurs = true;
    router.Scan(CollectedReading{"111", 0, 3});
    router.Scan(CollectedReading{"222", 0, 3});
    router.TypeHeld();
    EXPECT_TRUE(delivery.typed.empty());
    delivery.focusIsOurs = false;
    router.TypeHeld();
    ASSERT_EQ(delivery.typed.size(), 2u);
    EXPECT_EQ(delivery.typed[0].text, u"111");  // in the order scanned

    delivery.focusIsOurs = true;
    router.Scan(CollectedReading{"333", pump.TickCount(), 3});
    pump.Advance(ReadingRouter::kHoldMs + 1);
    router.TypeHeld();
    EXPECT_EQ(delivery.typed.size(), 2u);
    EXPECT_FALSE(view.notifications.empty());  // told, never silently dropped
}

// ---- Status lines: the window, its tray icon, the pages and the clock ----

struct HideCase {
    bool iconPresent;
    bool failing;
    bool asked;
    bool hidden;
};

TEST(StatusLinesTest, TheWindowHidesOnlyWithATrayIconAndNoFailureUnlessAsked) {
    for (const HideCase c :
         {HideCase{true, false, false, true}, HideCase{false, false, true, false},
          HideCase{true, true, false, false}, HideCase{true, true, true, true}}) {
        FakePump pump;
        FakeMainView view;
        view.iconPresent = c.iconPresent;
        StatusLines lines{view, view, pump, nullptr};
        lines.SetFailing(StatusLine::Reader, c.failing);
        lines.HideToTray(c.asked);
        EXPECT_EQ(!view.visible, c.hidden) << c.iconPresent << c.failing << c.asked;
    }
}

TEST(StatusLinesTest, AFailureIsShownWithoutTheFocusOnceTypedKeysHadTimeToArrive) {
    FakePump pump;
    FakeMainView view;
    view.visible = false;
    StatusLines lines{view, view, pump, nullptr};
    lines.KeysTyped(100);
    lines.ShowFailure();
    pump.Advance(599);
    lines.ShowPendingFailure();
    EXPECT_FALSE(view.visible);
    pump.Advance(2);
    lines.ShowPendingFailure();
    ASSERT_EQ(view.shows, std::vector<Activation>{Activation::Keep});
}

TEST(StatusLinesTest, PagesGetLastingStatesAndTheModelWithoutItsPrefix) {
    FakePump pump;
    FakeMainView view;
    FakeReadings pages;
    StatusLines lines{view, view, pump, &pages};
    lines.Show(StatusLine::Scanner, status::kScannerWaiting);
    lines.Show(StatusLine::Scanner, status::kScannerReading);  // comes and goes with each scan
    lines.Show(StatusLine::ScannerModel, Text(status::kModelPrefix) + u"IT4600");
    lines.SetState(StatusLine::Scanner, DeviceState::Ready);
    lines.SetState(StatusLine::Scanner, DeviceState::Ready);
    ASSERT_EQ(pages.statuses.size(), 3u);
    EXPECT_EQ(pages.statuses.back().scanner,
              (DeviceStatus{status::kScannerWaiting, u"IT4600", DeviceState::Ready}));
}

// ---- Registration report: the registry's flag, the server and the worker ----

class RegistrationReportTest : public ::testing::Test {
  protected:
    FakePump pump;
    FakeCodec codec;
    FakeRegistry registry;
    FakeHttpClient httpClient;
    Http http1{httpClient, codec, "127.0.0.1:18471"};
    FakeWorker worker{pump};
    RegistrationReport report{registry, http1, DiagnosticLog::Off(), &worker};

    RegistrationReportTest() {
        worker.onDone = [this] { report.Collect(); };
    }
    std::optional<std::string> Flag() const {
        return registry.Value("Software\\CardReader", "upload");
    }
};

TEST_F(RegistrationReportTest, FlagValuesDecideWhetherTheReportIsSent) {
    registry.SetValue("Software\\CardReader", "upload", std::string("1\0", 2));
    report.Uploaded(u"ID");
    pump.RunFor(1);  // its outcome comes from the worker
    EXPECT_TRUE(httpClient.urls.empty());
    registry.SetValue("Software\\CardReader", "upload", "0");
    httpClient.reply = std::string("EXIST");
    report.Uploaded(u"ID");
    pump.RunFor(1);
    EXPECT_EQ(httpClient.urls.size(), 1u);
    EXPECT_EQ(Flag(), std::optional<std::string>("1"));
}

TEST_F(RegistrationReportTest, FailedReportWritesNothingAndTheNextStartTriesAgain) {
    httpClient.reply.reset();
    report.Uploaded(u"ID");
    pump.RunFor(1);
    EXPECT_EQ(Flag(), std::nullopt);
    httpClient.reply = std::string("SUCCESS");
    report.Uploaded(u"ID");
    pump.RunFor(1);
    EXPECT_EQ(httpClient.urls.size(), 2u);
    EXPECT_EQ(Flag(), std::optional<std::string>("1"));
}

TEST_F(RegistrationReportTest, NoRightToTheMachineHiveSkipsTheReportSilently) {
    registry.SetOpenFails(true);
    report.Uploaded(u"ID");
    EXPECT_TRUE(httpClient.urls.empty());
}

}  // namespace
}  // namespace ordane::test
