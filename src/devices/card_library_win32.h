// sdtapi.dll loaded at run time, so that a missing library, or one built for another
// processor, ends in a status line instead of a program that does not start.
#pragma once

#include <cstdint>
#include <memory>

#include "common/text.h"
#include "devices/card_library.h"

namespace ordane {

class CardReaderLibraryWin32 final : public CardReaderLibrary {
  public:
    // The library's file name: looked for in programFolder (the executable's), then in the
    // system folder, nowhere else.
    explicit CardReaderLibraryWin32(Text programFolder, Text fileName = u"sdtapi.dll");
    ~CardReaderLibraryWin32() override;
    CardReaderLibraryWin32(const CardReaderLibraryWin32&) = delete;
    CardReaderLibraryWin32& operator=(const CardReaderLibraryWin32&) = delete;

    // Loads the library and resolves all six functions; once that succeeded, later calls
    // return true at once, while a failed load is tried again. Without the library every
    // function below returns kSdtUnavailable and touches none of its buffers.
    bool Load() override;
    std::int32_t SDT_OpenPort(std::int32_t port) override;
    std::int32_t SDT_ClosePort(std::int32_t port) override;
    std::int32_t SDT_StartFindIDCard(std::int32_t port, std::uint8_t* scratch,
                                     std::int32_t ifOpen) override;
    std::int32_t SDT_SelectIDCard(std::int32_t port, std::uint8_t* scratch,
                                  std::int32_t ifOpen) override;
    std::int32_t SDT_ReadBaseMsg(std::int32_t port, std::uint8_t* text, std::uint32_t* textLength,
                                 std::uint8_t* photo, std::uint32_t* photoLength,
                                 std::int32_t ifOpen) override;
    std::int32_t SDT_GetSAMIDToStr(std::int32_t port, char* samId, std::int32_t ifOpen) override;

    // Neither success (144) nor card found (159).
    static constexpr std::int32_t kSdtUnavailable = -1;

  private:
    struct Module;
    Text programFolder_;
    Text fileName_;
    std::unique_ptr<Module> module_;
};

}  // namespace ordane
