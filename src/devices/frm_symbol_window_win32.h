// The hidden window "Symbol读取窗体" that receives the Symbol link's messages. Its window
// procedure is hooked by a subclass (SymbolWindowHook) while it is loaded, removed when it unloads.
#pragma once

#include <windows.h>

#include <functional>

#include "common/handle_win32.h"
#include "devices/frm_symbol.h"

namespace ordane {

class FrmSymbolWindow {
  public:
    // Takes a link message's bytes out of its wParam into the library buffer; returns n.
    using Unpack = std::function<std::int32_t(UINT msg, WPARAM wParam, LPARAM lParam)>;

    FrmSymbolWindow(HINSTANCE instance, FrmSymbol& frmSymbol, Unpack unpack);
    ~FrmSymbolWindow();
    FrmSymbolWindow(const FrmSymbolWindow&) = delete;
    FrmSymbolWindow& operator=(const FrmSymbolWindow&) = delete;

    // Loads the window (never shown) and installs the hook.
    bool Load();
    void Unload();
    HWND Handle() const { return hwnd_.Get(); }

  private:
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    // A subclass of the window (SetWindowSubclass) whose reference data is this object.
    static LRESULT CALLBACK SymbolWindowHook(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam,
                                             UINT_PTR id, DWORD_PTR self);

    HINSTANCE instance_;
    FrmSymbol& frmSymbol_;
    Unpack unpack_;
    UniqueWindow hwnd_;
};

}  // namespace ordane
