// Every owner of an operating-system handle: one template, one alias per kind of handle. An owner
// closes what it holds when it goes; it can be moved, never copied.
#pragma once

// Winsock 2 before <windows.h>'s own socket declarations (WIN32_LEAN_AND_MEAN keeps them out).
#include <winsock2.h>
#include <windows.h>
#include <wininet.h>

#include <type_traits>
#include <utility>

namespace ordane {

namespace handle_close {

// Wrappers, so that the owner gets one plain function whatever the system function returns or
// how it is imported.
inline void Kernel(HANDLE handle) {
    CloseHandle(handle);
}
inline void Key(HKEY key) {
    RegCloseKey(key);
}
inline void Module(HMODULE module) {
    FreeLibrary(module);
}
inline void GdiObject(HGDIOBJ object) {
    DeleteObject(object);
}
inline void Font(HFONT font) {
    DeleteObject(font);
}
inline void Bitmap(HBITMAP bitmap) {
    DeleteObject(bitmap);
}
inline void MemoryDc(HDC dc) {
    DeleteDC(dc);
}
inline void ScreenDc(HDC dc) {
    ReleaseDC(nullptr, dc);
}
inline void Window(HWND window) {
    DestroyWindow(window);
}
inline void Socket(SOCKET socket) {
    closesocket(socket);
}
inline void Internet(HINTERNET internet) {
    InternetCloseHandle(internet);
}
inline void Local(HLOCAL memory) {
    LocalFree(memory);
}
inline void Find(HANDLE find) {
    FindClose(find);
}

template <typename T, T None>
bool Differs(T value) {
    return value != None;
}

// CreateFile reports failure as INVALID_HANDLE_VALUE, CreateEvent and OpenProcess as NULL.
inline bool KernelSet(HANDLE handle) {
    return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

}  // namespace handle_close

// Owns one handle of type T and closes it with Close when set (IsSet), None meaning "nothing".
template <typename T, auto Close, T None = T{}, auto IsSet = &handle_close::Differs<T, None>>
class Owned {
  public:
    Owned() = default;
    explicit Owned(T value) : value_(value) {}
    ~Owned() { Reset(); }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    Owned(Owned&& other) noexcept : value_(std::exchange(other.value_, None)) {}
    Owned& operator=(Owned&& other) noexcept {
        if (this != &other) {
            Reset(std::exchange(other.value_, None));
        }
        return *this;
    }

    T Get() const { return value_; }
    bool Valid() const { return IsSet(value_); }
    // Takes value and closes what it held. The owner already holds the new value while the old
    // one closes, so a window procedure that sees its own window destroyed sees it gone.
    void Reset(T value = None) {
        const T old = std::exchange(value_, value);
        if (IsSet(old)) {
            Close(old);
        }
    }
    // Hands the handle over without closing it.
    T Release() { return std::exchange(value_, None); }
    // Where a function that returns its handle through a pointer puts it (RegOpenKeyExW,
    // GetNamedSecurityInfoW); what the owner held is closed first. U names the pointed-to type
    // where the function wants a typed one (PACL*, PSECURITY_DESCRIPTOR*, LPWSTR*).
    template <typename U = T>
    U* Receive() {
        Reset();
        if constexpr (std::is_same_v<U, T>) {
            return &value_;
        } else {
            return reinterpret_cast<U*>(&value_);
        }
    }
    // The received handle, typed as the function gave it.
    template <typename U>
    U As() const {
        return static_cast<U>(value_);
    }

  private:
    T value_ = None;
};

// A kernel object: file, port, event, mutex, process, thread, token.
using UniqueHandle = Owned<HANDLE, &handle_close::Kernel, nullptr, &handle_close::KernelSet>;
// An open registry key.
using UniqueRegKey = Owned<HKEY, &handle_close::Key>;
// A loaded library.
using UniqueModule = Owned<HMODULE, &handle_close::Module>;
// GDI objects a window or dialog created for itself.
using UniqueGdiObject = Owned<HGDIOBJ, &handle_close::GdiObject>;
using UniqueFont = Owned<HFONT, &handle_close::Font>;
using UniqueBitmap = Owned<HBITMAP, &handle_close::Bitmap>;
// A memory device context from CreateCompatibleDC.
using UniqueMemoryDc = Owned<HDC, &handle_close::MemoryDc>;
// The whole screen's device context, from GetDC(nullptr).
using UniqueScreenDc = Owned<HDC, &handle_close::ScreenDc>;
// A window this program created and destroys itself.
using UniqueWindow = Owned<HWND, &handle_close::Window>;
// A Winsock socket.
using UniqueSocket = Owned<SOCKET, &handle_close::Socket, INVALID_SOCKET>;
// A WinINet session, connection or request.
using UniqueInternet = Owned<HINTERNET, &handle_close::Internet>;
// Memory the security functions hand out with LocalAlloc (descriptors, ACLs, SID strings).
using LocalMemory = Owned<HLOCAL, &handle_close::Local>;
// A directory search (FindFirstFileW).
using UniqueFind = Owned<HANDLE, &handle_close::Find, nullptr, &handle_close::KernelSet>;

}  // namespace ordane
