#include "settings/profile_file_win32.h"

#include <windows.h>

#include <vector>

#include "common/ansi_codec_win32.h"
#include "common/wide_win32.h"

namespace ordane {

ProfileFileWin32::ProfileFileWin32(Text path) : path_(std::move(path)) {}

bool ProfileFileWin32::Exists() {
    const DWORD attributes = GetFileAttributesW(Wide(path_));
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool ProfileFileWin32::Empty() {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    return GetFileAttributesExW(Wide(path_), GetFileExInfoStandard, &data) != FALSE &&
           (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && data.nFileSizeHigh == 0 &&
           data.nFileSizeLow == 0;
}

// The wide profile functions take the file name as it is, whatever the folder is called. The
// file stays in the ANSI code page: on a file without a Unicode byte-order mark (and on a new
// one) they convert every value through that code page, as the bytes held here are.
std::string ProfileFileWin32::Read(const std::string& section, const std::string& key,
                                   const std::string& defaultValue) {
    const AnsiCodecWin32 codec;
    const Text wideSection = codec.Decode(section);
    const Text wideKey = codec.Decode(key);
    const Text wideDefault = codec.Decode(defaultValue);
    // A value that fills the buffer (length size - 1) may have been cut: read again, larger.
    std::vector<wchar_t> buffer(256);
    for (;;) {
        const DWORD length =
            GetPrivateProfileStringW(Wide(wideSection), Wide(wideKey), Wide(wideDefault),
                                     buffer.data(), static_cast<DWORD>(buffer.size()), Wide(path_));
        if (length + 1 < buffer.size() || buffer.size() >= (1u << 20)) {
            return codec.Encode(Text(reinterpret_cast<const char16_t*>(buffer.data()), length));
        }
        buffer.resize(buffer.size() * 4);
    }
}

bool ProfileFileWin32::Write(const std::string& section, const std::string& key,
                             const std::string& value) {
    const AnsiCodecWin32 codec;
    return WritePrivateProfileStringW(Wide(codec.Decode(section)), Wide(codec.Decode(key)),
                                      Wide(codec.Decode(value)), Wide(path_)) != FALSE;
}

bool ProfileFileWin32::Remove(const std::string& section, const std::string& key) {
    const AnsiCodecWin32 codec;
    return WritePrivateProfileStringW(Wide(codec.Decode(section)), Wide(codec.Decode(key)), nullptr,
                                      Wide(path_)) != FALSE;
}

}  // namespace ordane
