#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <string>
#include <thread>

#include "app/delivery_win32.h"

namespace ordane {
namespace {

const wchar_t kTargetTitle[] = L"EC79BF23-6763-4120-8143-A5FF53C87FEB";

// A top-level window with edit children, as the business application has.
class TestWindow {
  public:
    TestWindow(const wchar_t* title, int children) {
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = DefWindowProcW;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"OrdaneDeliveryTestWindow";
        RegisterClassW(&windowClass);  // fails harmlessly when already registered
        window_ = CreateWindowExW(0, L"OrdaneDeliveryTestWindow", title, WS_OVERLAPPEDWINDOW, 10,
                                  10, 400, 200, nullptr, nullptr, windowClass.hInstance, nullptr);
        for (int i = 0; i < children; ++i) {
            edits_[i] =
                CreateWindowExW(0, L"EDIT", L"", WS_CHILD | WS_VISIBLE | WS_BORDER, 10, 10 + 40 * i,
                                360, 30, window_, nullptr, windowClass.hInstance, nullptr);
        }
    }
    ~TestWindow() { DestroyWindow(window_); }
    TestWindow(const TestWindow&) = delete;
    TestWindow& operator=(const TestWindow&) = delete;

    HWND Window() const { return window_; }
    HWND Edit(int i) const { return edits_[i]; }

  private:
    HWND window_ = nullptr;
    HWND edits_[2] = {nullptr, nullptr};
};

std::wstring TextOf(HWND window) {
    wchar_t buffer[512] = {};
    GetWindowTextW(window, buffer, 512);
    return buffer;
}

// Dispatches messages until the condition holds or the time is up; sees each message first.
bool PumpUntil(const std::function<bool()>& done, const std::function<void(const MSG&)>& seen,
               DWORD limitMs) {
    const ULONGLONG end = GetTickCount64() + limitMs;
    while (GetTickCount64() < end) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            seen(message);
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        if (done()) {
            return true;
        }
        Sleep(10);
    }
    return done();
}

// KeyMode=keys: ASCII as the layout's real keys (no VK_PACKET), the rest still as packets.
TEST(DeliveryWin32Test, KeysModeTypesAsciiAsRealKeysAndTheTextExactly) {
    TestWindow window(L"Ordane key target", 1);
    ASSERT_NE(window.Edit(0), nullptr) << "no window: is DISPLAY set?";
    ShowWindow(window.Window(), SW_SHOW);
    SetForegroundWindow(window.Window());
    SetFocus(window.Edit(0));
    PumpUntil([] { return false; }, [](const MSG&) {}, 200);

    DeliveryWin32 delivery(DeliveryWin32::kSendTimeoutMs, KeyMode::Keys);
    const std::wstring expected = L"Ab9-_ ;:/@Z华";
    const DeliveryOutcome outcome =
        delivery.TypeText(Text(expected.begin(), expected.end()), false);
    EXPECT_EQ(outcome, (DeliveryOutcome{DeliveryResult::Delivered, 12, 12}));
    int packets = 0;
    int keys = 0;
    PumpUntil([&] { return TextOf(window.Edit(0)) == expected; },
              [&](const MSG& message) {
                  if (message.message == WM_KEYDOWN && message.hwnd == window.Edit(0)) {
                      ++(message.wParam == VK_PACKET ? packets : keys);
                  }
              },
              3000);
    EXPECT_EQ(TextOf(window.Edit(0)), expected);
    EXPECT_EQ(packets, 1);  // 华 only
    EXPECT_GE(keys, 11);    // Shift counts too
}

TEST(DeliveryWin32Test, TypesEveryCharacterLiterallyThenEnter) {
    TestWindow window(L"Ordane typing target", 1);
    ASSERT_NE(window.Edit(0), nullptr) << "no window: is DISPLAY set?";
    ShowWindow(window.Window(), SW_SHOW);
    SetForegroundWindow(window.Window());
    SetFocus(window.Edit(0));
    PumpUntil([] { return false; }, [](const MSG&) {}, 200);
    ASSERT_EQ(GetFocus(), window.Edit(0));

    DeliveryWin32 delivery;
    // The focus is in this program's own window: typing now would press its keys.
    EXPECT_TRUE(delivery.FocusIsOurs());
    // Characters that a key-command service would take as commands, and Chinese text.
    const std::wstring expected = L"12+^%~(){}华旭";
    const DeliveryOutcome outcome = delivery.TypeText(Text(expected.begin(), expected.end()), true);
    EXPECT_EQ(outcome, (DeliveryOutcome{DeliveryResult::Delivered, 13, 13}));
    int returns = 0;
    const bool done =
        PumpUntil([&] { return TextOf(window.Edit(0)) == expected && returns == 1; },
                  [&](const MSG& message) {
                      if (message.message == WM_KEYDOWN && message.wParam == VK_RETURN &&
                          message.hwnd == window.Edit(0)) {
                          ++returns;
                      }
                  },
                  3000);
    EXPECT_TRUE(done);
    EXPECT_EQ(TextOf(window.Edit(0)), expected);
    EXPECT_EQ(returns, 1);

    // A carriage return inside the text is the Enter key too; without addEnter none follows.
    SetWindowTextW(window.Edit(0), L"");
    returns = 0;
    delivery.TypeText(u"A\rB", false);
    PumpUntil([&] { return TextOf(window.Edit(0)) == L"AB" && returns == 1; },
              [&](const MSG& message) {
                  if (message.message == WM_KEYDOWN && message.wParam == VK_RETURN) {
                      ++returns;
                  }
              },
              3000);
    PumpUntil([] { return false; }, [](const MSG&) {}, 200);  // nothing more arrives
    EXPECT_EQ(TextOf(window.Edit(0)), L"AB");
    EXPECT_EQ(returns, 1);
}

TEST(DeliveryWin32Test, SetsTheTextOfTheTargetsFirstChildOnlyAndSaysWhetherItGotThere) {
    TestWindow target(kTargetTitle, 2);
    ASSERT_NE(target.Edit(1), nullptr) << "no window: is DISPLAY set?";
    TestWindow childless(L"Ordane childless 4f1c", 0);
    DeliveryWin32 delivery;
    const Text record = u"SFZXX_2.0|张三|1|01|19900101|北京市东城区|110101199001011234";
    const struct {
        const char* name;
        Text title;
        DeliveryResult result;
    } cases[] = {
        {"the target", Text(kTargetTitle, kTargetTitle + 36), DeliveryResult::Delivered},
        {"no such window", u"no window has this title 4f1c", DeliveryResult::NoTargetWindow},
        {"a window without children", u"Ordane childless 4f1c", DeliveryResult::NoTargetWindow},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(delivery.SetFirstChildText(c.title, record).result, c.result);
    }
    EXPECT_EQ(TextOf(target.Edit(0)), std::wstring(record.begin(), record.end()));
    EXPECT_EQ(TextOf(target.Edit(1)), L"");
    EXPECT_EQ(TextOf(childless.Window()), L"Ordane childless 4f1c");
}

TEST(DeliveryWin32Test, AHungTargetDoesNotHoldTheCallerBeyondTheTimeout) {
    HANDLE created = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    // The target's thread makes its window, then stops answering messages.
    std::thread hung([&] {
        TestWindow target(L"Ordane hung target 4f1c", 1);
        SetEvent(created);
        WaitForSingleObject(release, 10000);
    });
    ASSERT_EQ(WaitForSingleObject(created, 5000), WAIT_OBJECT_0);
    HWND target = FindWindowW(nullptr, L"Ordane hung target 4f1c");
    ASSERT_NE(target, nullptr);
    ASSERT_NE(GetWindow(target, GW_CHILD), nullptr);
    DeliveryWin32 delivery(500);
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(delivery.SetFirstChildText(u"Ordane hung target 4f1c", u"text").result,
              DeliveryResult::TargetTimedOut);
    // It waited for the target (so it found it and its child), and no longer than the bound.
    EXPECT_GE(GetTickCount64() - start, 450u);
    EXPECT_LT(GetTickCount64() - start, 2000u);
    SetEvent(release);
    hung.join();
    CloseHandle(created);
    CloseHandle(release);
}

}  // namespace
}  // namespace ordane
