// The main window "条码扫描仪/二代证Ordane": status lines and command labels as STATIC
// controls with fixed IDs, two window timers, and the background picture. Every message that
// means something to the program is forwarded to FrmMain.
#pragma once

#include <windows.h>

#include <functional>

#include "app/main_view.h"
#include "common/handle_win32.h"
#include "common/pump.h"

namespace ordane {

class FrmMain;

// Posted by the card reader's worker when a library call returned.
inline constexpr UINT kCardReadMessage = WM_APP + 1;
// Posted by the scanner port's reader thread when the reading's terminator arrived.
inline constexpr UINT kScanTerminatedMessage = WM_APP + 2;
// Posted by the typing worker when a reading was typed.
inline constexpr UINT kTypedMessage = WM_APP + 3;
// Posted by the policy watcher when the policy key changed.
inline constexpr UINT kPolicyChangedMessage = WM_APP + 4;
// The registration request returned.
inline constexpr UINT kRegisteredMessage = WM_APP + 5;

class MainWindow final : public MainView, public TimerHost {
  public:
    explicit MainWindow(HINSTANCE instance);
    ~MainWindow() override;
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;

    // Creates the window hidden. Once the logic is attached, the caller runs the load
    // handler and then shows the window.
    bool Create();
    void Attach(FrmMain& frmMain) { frmMain_ = &frmMain; }
    HWND Handle() const { return hwnd_.Get(); }
    // Other windows that Exit unloads with the main window.
    void SetUnloadOthers(std::function<void()> unloadOthers) {
        unloadOthers_ = std::move(unloadOthers);
    }
    // What the program does last when the session ends (the process ends after it).
    void SetSessionEnded(std::function<void()> ended) { sessionEnded_ = std::move(ended); }

    // MainView
    void SetLabelText(int label, const Text& text) override;
    void SetCommandEnabled(int label, bool enabled) override;
    void ShowWindow(Activation activation) override;
    void HideWindow() override;
    bool IsWindowVisible() override;
    void Beep() override;
    void UnloadAll() override;
    void* OwnerHandle() override { return hwnd_.Get(); }

    // TimerHost
    void StartTimer(int id, std::uint32_t intervalMs) override;
    void StopTimer(int id) override;

  private:
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    LRESULT HandleMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    void CreateControls();
    // Lays the window out again for a DPI; suggested: where Windows wants the window.
    void ApplyDpi(int dpi, const RECT* suggested);
    int TwipsToPixels(int twips) const { return MulDiv(twips, dpi_, 1440); }
    HWND Label(int label) const { return GetDlgItem(hwnd_.Get(), 1000 + label); }
    COLORREF LabelColour(int label) const;
    void PaintBackground(HDC dc);

    HINSTANCE instance_;
    // Taken at WM_NCCREATE; destroyed by UnloadAll or with this object.
    UniqueWindow hwnd_;
    FrmMain* frmMain_ = nullptr;
    UniqueBitmap background_;
    UniqueFont font_;
    int dpi_ = 96;
    bool unloading_ = false;
    std::function<void()> unloadOthers_;
    std::function<void()> sessionEnded_;
};

}  // namespace ordane
