// The card reader maker's library (sdtapi.dll), loaded at run time. Statuses are compared for
// equality only: 144 success, 159 card found.
#pragma once

#include <cstdint>

namespace ordane {

constexpr std::int32_t kSdtOk = 144;
constexpr std::int32_t kSdtCardFound = 159;

class CardReaderLibrary {
  public:
    virtual ~CardReaderLibrary() = default;
    // True when the library and all six functions are available.
    virtual bool Load() = 0;
    virtual std::int32_t SDT_OpenPort(std::int32_t port) = 0;
    virtual std::int32_t SDT_ClosePort(std::int32_t port) = 0;
    virtual std::int32_t SDT_StartFindIDCard(std::int32_t port, std::uint8_t* scratch,
                                             std::int32_t ifOpen) = 0;
    virtual std::int32_t SDT_SelectIDCard(std::int32_t port, std::uint8_t* scratch,
                                          std::int32_t ifOpen) = 0;
    virtual std::int32_t SDT_ReadBaseMsg(std::int32_t port, std::uint8_t* text,
                                         std::uint32_t* textLength, std::uint8_t* photo,
                                         std::uint32_t* photoLength, std::int32_t ifOpen) = 0;
    virtual std::int32_t SDT_GetSAMIDToStr(std::int32_t port, char* samId, std::int32_t ifOpen) = 0;
};

}  // namespace ordane
