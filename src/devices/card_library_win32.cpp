#include "devices/card_library_win32.h"

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/handle_win32.h"
#include "common/wide_win32.h"

namespace ordane {

namespace {

// The library's exports, all __stdcall with 32-bit statuses.
using OpenPortFn = int(WINAPI*)(int port);
using ClosePortFn = int(WINAPI*)(int port);
using FindCardFn = int(WINAPI*)(int port, unsigned char* scratch, int ifOpen);
using ReadBaseMsgFn = int(WINAPI*)(int port, unsigned char* text, unsigned int* textLength,
                                   unsigned char* photo, unsigned int* photoLength, int ifOpen);
using GetSamIdFn = int(WINAPI*)(int port, char* samId, int ifOpen);

// Undecorated first; then the forms a __stdcall export keeps when the library was built
// without stripping the decoration ("_Name@N", "Name@N", N the bytes of arguments).
template <typename Fn>
bool Resolve(HMODULE module, const char* name, int argumentBytes, Fn& function) {
    const std::string plain(name);
    const std::string decorated = plain + "@" + std::to_string(argumentBytes);
    for (const std::string& candidate : {plain, "_" + decorated, decorated}) {
        if (FARPROC address = GetProcAddress(module, candidate.c_str())) {
            static_assert(sizeof address == sizeof function);
            std::memcpy(&function, &address, sizeof function);
            return true;
        }
    }
    return false;
}

// The libraries it needs are looked for beside it, in the program's folder (a maker may put
// sdtapi.dll in the system folder and its helpers beside the program) and in the system
// folder only. Systems without those search flags (Windows 7 before KB2533623) refuse them as
// an invalid parameter; there the file's own folder still comes first.
HMODULE LoadFromFolder(const Text& fullPath) {
    HMODULE handle =
        LoadLibraryExW(Wide(fullPath), nullptr,
                       LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_APPLICATION_DIR |
                           LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (handle == nullptr && GetLastError() == ERROR_INVALID_PARAMETER) {
        handle = LoadLibraryExW(Wide(fullPath), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    }
    return handle;
}

}  // namespace

// Freed with the object, which main_win32 never lets go while a call may still be inside it.
struct CardReaderLibraryWin32::Module {
    UniqueModule handle;
    OpenPortFn openPort = nullptr;
    ClosePortFn closePort = nullptr;
    FindCardFn startFind = nullptr;
    FindCardFn selectCard = nullptr;
    ReadBaseMsgFn readBaseMsg = nullptr;
    GetSamIdFn getSamId = nullptr;
};

CardReaderLibraryWin32::CardReaderLibraryWin32(Text programFolder, Text fileName)
    : programFolder_(std::move(programFolder)), fileName_(std::move(fileName)) {}

CardReaderLibraryWin32::~CardReaderLibraryWin32() = default;

bool CardReaderLibraryWin32::Load() {
    if (module_ != nullptr) {
        return true;
    }
    // A damaged or foreign file must end in a status line, not in a system message box.
    DWORD previousMode = 0;
    SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previousMode);
    // Only by full path, from the executable's folder and then the system folder: a copy in
    // the current folder or along PATH is never run.
    std::vector<Text> folders{programFolder_};
    wchar_t system[MAX_PATH];
    const UINT systemLength = GetSystemDirectoryW(system, MAX_PATH);
    if (systemLength > 0 && systemLength < MAX_PATH) {
        folders.emplace_back(reinterpret_cast<const char16_t*>(system), systemLength);
    }
    HMODULE handle = nullptr;
    for (const Text& folder : folders) {
        if (!folder.empty() && handle == nullptr) {
            handle = LoadFromFolder(folder + u"\\" + fileName_);
        }
    }
    SetThreadErrorMode(previousMode, nullptr);
    if (handle == nullptr) {
        return false;
    }
    auto module = std::make_unique<Module>();
    module->handle.Reset(handle);
    if (!Resolve(handle, "SDT_OpenPort", 4, module->openPort) ||
        !Resolve(handle, "SDT_ClosePort", 4, module->closePort) ||
        !Resolve(handle, "SDT_StartFindIDCard", 12, module->startFind) ||
        !Resolve(handle, "SDT_SelectIDCard", 12, module->selectCard) ||
        !Resolve(handle, "SDT_ReadBaseMsg", 24, module->readBaseMsg) ||
        !Resolve(handle, "SDT_GetSAMIDToStr", 12, module->getSamId)) {
        return false;
    }
    module_ = std::move(module);
    return true;
}

std::int32_t CardReaderLibraryWin32::SDT_OpenPort(std::int32_t port) {
    return module_ != nullptr ? module_->openPort(port) : kSdtUnavailable;
}

std::int32_t CardReaderLibraryWin32::SDT_ClosePort(std::int32_t port) {
    return module_ != nullptr ? module_->closePort(port) : kSdtUnavailable;
}

std::int32_t CardReaderLibraryWin32::SDT_StartFindIDCard(std::int32_t port, std::uint8_t* scratch,
                                                         std::int32_t ifOpen) {
    return module_ != nullptr ? module_->startFind(port, scratch, ifOpen) : kSdtUnavailable;
}

std::int32_t CardReaderLibraryWin32::SDT_SelectIDCard(std::int32_t port, std::uint8_t* scratch,
                                                      std::int32_t ifOpen) {
    return module_ != nullptr ? module_->selectCard(port, scratch, ifOpen) : kSdtUnavailable;
}

std::int32_t CardReaderLibraryWin32::SDT_ReadBaseMsg(std::int32_t port, std::uint8_t* text,
                                                     std::uint32_t* textLength, std::uint8_t* photo,
                                                     std::uint32_t* photoLength,
                                                     std::int32_t ifOpen) {
    if (module_ == nullptr) {
        return kSdtUnavailable;
    }
    static_assert(sizeof(unsigned int) == sizeof(std::uint32_t));
    return module_->readBaseMsg(port, text, reinterpret_cast<unsigned int*>(textLength), photo,
                                reinterpret_cast<unsigned int*>(photoLength), ifOpen);
}

std::int32_t CardReaderLibraryWin32::SDT_GetSAMIDToStr(std::int32_t port, char* samId,
                                                       std::int32_t ifOpen) {
    return module_ != nullptr ? module_->getSamId(port, samId, ifOpen) : kSdtUnavailable;
}

}  // namespace ordane
