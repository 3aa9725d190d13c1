#include "common/ansi_codec_win32.h"

#include <windows.h>

namespace ordane {

Text AnsiCodecWin32::Decode(std::string_view ansi) const {
    if (ansi.empty()) {
        return Text();
    }
    const int length =
        MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), nullptr, 0);
    Text out(static_cast<std::size_t>(length), u'\0');
    MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()),
                        reinterpret_cast<wchar_t*>(out.data()), length);
    return out;
}

std::string AnsiCodecWin32::Encode(const Text& text) const {
    if (text.empty()) {
        return std::string();
    }
    const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
    const int length = WideCharToMultiByte(CP_ACP, 0, wide, static_cast<int>(text.size()), nullptr,
                                           0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide, static_cast<int>(text.size()), out.data(), length, nullptr,
                        nullptr);
    return out;
}

}  // namespace ordane
