// The settings dialog window "串口通讯设置": real child controls with fixed IDs that mirror
// the settings form's controls, shown modally over the main window. Every user action is
// handed to FrmSet, which decides; Refresh shows the result.
#pragma once

#include <windows.h>

#include <array>
#include <vector>

#include "common/handle_win32.h"
#include "settings/frm_set.h"
#include "settings/settings_view.h"

namespace ordane {

class SettingsDialogWin32 final : public SettingsView {
  public:
    // Control IDs: Label n = 1000 + n, Check n = 1100 + n, Command n = 1200 + n,
    // Frame n = 1300 + n, the lists 1401 ... 1408 in the order of SettingsList.
    static constexpr int kLabelBase = 1000;
    static constexpr int kCheckBase = 1100;
    static constexpr int kCommandBase = 1200;
    static constexpr int kFrameBase = 1300;
    static constexpr int kListBase = 1401;

    explicit SettingsDialogWin32(HINSTANCE instance);
    ~SettingsDialogWin32() override;
    SettingsDialogWin32(const SettingsDialogWin32&) = delete;
    SettingsDialogWin32& operator=(const SettingsDialogWin32&) = delete;

    // Creates the window, hidden and owned by owner, unless it exists; false when it cannot.
    bool Create(HWND owner);
    // Destroys the window (the program is ending). The form keeps its state.
    void Unload();
    HWND Handle() const { return window_.Get(); }

    // SettingsView
    void Attach(FrmSet& form) override { form_ = &form; }
    void ShowModal(void* owner) override;
    void Hide() override;
    void ShowMessage(const Text& text) override;
    void Refresh() override;

  private:
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    LRESULT HandleMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    void OnCommand(int id, int code);
    void CreateControls();
    // Lays the dialog out again for a DPI; suggested: where Windows wants the window.
    void ApplyDpi(int dpi, const RECT* suggested);
    HWND AddControl(const wchar_t* className, const wchar_t* caption, DWORD style, int id, int left,
                    int top, int width, int height);
    void CentreOver(HWND owner);
    void KeepFocusUsable();
    HWND Item(int id) const { return GetDlgItem(window_.Get(), id); }
    int TwipsToPixels(int twips) const { return MulDiv(twips, dpi_, 1440); }

    HINSTANCE instance_;
    FrmSet* form_ = nullptr;
    UniqueWindow window_;
    UniqueFont font_;
    int dpi_ = 96;
    bool modal_ = false;
    HWND disabledOwner_ = nullptr;
    // The entries each list control holds, so that Refresh refills only what changed.
    std::array<std::vector<Text>, kSettingsListCount> shownEntries_;
};

}  // namespace ordane
