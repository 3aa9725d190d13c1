// A stand-in for the card reader maker's sdtapi.dll, for end-to-end tests of Ordane.exe.
// It exports the six functions Ordane calls, undecorated, __stdcall, with 32-bit statuses.
//
// Control directory: the environment variable ORDANE_FAKE_SDTAPI_DIR, or else the folder this
// DLL was loaded from. Two files live there:
//
// state.ini (read again on every call; absent means all keys absent). Lines "key=value";
// lines starting with "#" or ";", "[section]" lines and lines without "=" are ignored. Spaces
// around the key are ignored; the value is taken as it stands (trailing spaces kept). Write
// it atomically (a new file renamed over the old) so a call never sees half a file.
//
//   card=<text>          a card lies on the reader; its base text given as UTF-8, handed out
//                        as UTF-16LE. "card=hex:<hex digits>" gives the bytes themselves
//                        (any even number, "hex:" alone is a card with an empty text).
//                        Absent or empty: no card.
//   textlen=<n>          the text length SDT_ReadBaseMsg reports, in bytes, instead of the
//                        card's size (the bytes written stay the card's, at most 521).
//   photolen=<n>         the photo length SDT_ReadBaseMsg reports (a lie; 1024 bytes written)
//   samid_unterminated=<n>  SDT_GetSAMIDToStr writes the id repeated to n bytes (at most 200),
//                        without a terminating zero
//   samid=<text>         the security-module id, bytes as they stand in the file (ANSI);
//                        SDT_GetSAMIDToStr writes them and one terminating zero byte, at most
//                        49 bytes of id. Absent: the buffer is left untouched.
//   delay_ms=<n>         every call sleeps this long before it answers.
//   open_status, close_status, find_status, select_status, read_status, samid_status=<n>
//                        the status each function returns. Defaults: open 144, close 144;
//                        with a card find 159, select 144, read 144; without a card find 128,
//                        select 129, read 65; samid 144 when "samid" is set, else 1.
//                        ReadBaseMsg and GetSAMIDToStr fill their buffers only when they
//                        return 144.
//   Statuses are signed 32-bit decimals, lengths, counts and delays unsigned 32-bit ones; a
//   value that is not such a number is not used, and the call's log line ends in
//   "bad-state=<key>".
//
// calls.log: one line appended per call, written and closed before the call returns:
//   SDT_OpenPort port=1002 -> 144
//   SDT_ClosePort port=1002 -> 144
//   SDT_StartFindIDCard port=1002 ifOpen=0 -> 159
//   SDT_SelectIDCard port=1002 ifOpen=0 -> 144
//   SDT_ReadBaseMsg port=1002 textLen=0 photoLen=0 ifOpen=0 -> 144 textLen=256 photoLen=1024
//   SDT_GetSAMIDToStr port=1 ifOpen=1 -> 144 samid=05.01-20101203-0008323712
// (textLen/photoLen before the arrow are the values found on entry, after it the values
// written back.)
//
// Like a reader's library it keeps state between calls: a call with ifOpen=0 needs its port
// opened, a select needs a card found on that port and a read a card selected. A call out of
// turn fills nothing and returns 1, logged with "out-of-turn".
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>

namespace {

constexpr int kOk = 144;
constexpr int kCardFound = 159;
constexpr DWORD kTextCapacity = 521;  // the text buffer the caller lends
constexpr DWORD kPhotoSize = 1024;    // a real reader's photo block, within the 1201 lent
// The most an unterminated id is written: past the 50 bytes the library is lent, within the
// room the program keeps behind them.
constexpr std::size_t kSamIdMost = 200;

std::wstring ControlDir() {
    wchar_t buffer[32768];
    DWORD length = GetEnvironmentVariableW(L"ORDANE_FAKE_SDTAPI_DIR", buffer, 32768);
    if (length > 0 && length < 32768) {
        return std::wstring(buffer, length);
    }
    // The folder of this DLL: the module that holds this very function.
    HMODULE self = nullptr;
    GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCWSTR>(&ControlDir), &self);
    length = GetModuleFileNameW(self, buffer, 32768);
    std::wstring path(buffer, length);
    const std::size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring(L".") : path.substr(0, slash);
}

std::string ReadFileBytes(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return std::string();
    }
    std::string bytes;
    char chunk[4096];
    DWORD read = 0;
    while (ReadFile(file, chunk, sizeof chunk, &read, nullptr) && read > 0) {
        bytes.append(chunk, read);
    }
    CloseHandle(file);
    return bytes;
}

using State = std::map<std::string, std::string>;

State ReadState(const std::wstring& dir) {
    State state;
    const std::string text = ReadFileBytes(dir + L"\\state.ini");
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const std::size_t equals = line.find('=');
        if (line.empty() || line[0] == '#' || line[0] == ';' || line[0] == '[' ||
            equals == std::string::npos) {
            continue;
        }
        std::string key = line.substr(0, equals);
        key.erase(0, key.find_first_not_of(" \t"));
        key.erase(key.find_last_not_of(" \t") + 1);
        state[key] = line.substr(equals + 1);
    }
    return state;
}

// A decimal value of the state within [low, high]; nothing when the key is absent or empty.
// A value that is not such a number is refused, so that a test can never inject something
// other than what it wrote (a 32-bit long would turn 4000000000 into 2147483647).
std::optional<long long> Number(const State& state, const char* key, long long low, long long high,
                                std::string& refused) {
    auto it = state.find(key);
    if (it == state.end() || it->second.empty()) {
        return std::nullopt;
    }
    const char* text = it->second.c_str();
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < low || value > high) {
        refused += std::string(" bad-state=") + key;
        return std::nullopt;
    }
    return value;
}

// The card's base text bytes, or nothing when no card lies on the reader.
std::optional<std::string> Card(const State& state) {
    auto it = state.find("card");
    if (it == state.end() || it->second.empty()) {
        return std::nullopt;
    }
    const std::string& value = it->second;
    if (value.rfind("hex:", 0) == 0) {
        std::string bytes;
        for (std::size_t i = 4; i + 1 < value.size(); i += 2) {
            bytes += static_cast<char>(std::strtol(value.substr(i, 2).c_str(), nullptr, 16));
        }
        return bytes;
    }
    const int units =
        MultiByteToWideChar(CP_UTF8, 0, value.data(), static_cast<int>(value.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, value.data(), static_cast<int>(value.size()), wide.data(),
                        units);
    std::string bytes;
    for (wchar_t unit : wide) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>((unit >> 8) & 0xFF);
    }
    return bytes;
}

// Loads the state, waits the configured delay, and logs the call once it is answered.
class Call {
  public:
    explicit Call(std::string description)
        : dir_(ControlDir()), state_(ReadState(dir_)), line_(std::move(description)) {
        if (auto delay = Length("delay_ms"); delay && *delay > 0) {
            Sleep(static_cast<DWORD>(*delay));
        }
    }
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    const State& state() const { return state_; }

    // A status the test chose, or the library's own.
    int Status(const char* key, int otherwise) {
        return static_cast<int>(
            Number(state_, key, INT32_MIN, INT32_MAX, refused_).value_or(otherwise));
    }
    // A length or count the library reports: any unsigned 32-bit value.
    std::optional<std::uint32_t> Length(const char* key) {
        const auto value = Number(state_, key, 0, UINT32_MAX, refused_);
        return value ? std::optional<std::uint32_t>(static_cast<std::uint32_t>(*value))
                     : std::nullopt;
    }

    int Answer(int status, const std::string& details = std::string()) {
        std::string line = line_ + " -> " + std::to_string(status);
        if (!details.empty()) {
            line += " " + details;
        }
        line += refused_;
        line += "\r\n";
        HANDLE log = CreateFileW((dir_ + L"\\calls.log").c_str(), FILE_APPEND_DATA,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (log != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            WriteFile(log, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
            CloseHandle(log);
        }
        return status;
    }

  private:
    std::wstring dir_;
    State state_;
    std::string line_;
    // The keys whose values could not be taken, for the log line.
    std::string refused_;
};

constexpr int kOutOfTurn = 1;
enum class Stage { None, Found, Selected };
std::set<int> g_openPorts;
Stage g_stage = Stage::None;
int g_stagePort = 0;

bool Reachable(int port, int ifOpen) {
    return ifOpen != 0 || g_openPorts.count(port) != 0;
}

bool InTurn(int port, int ifOpen, Stage needed) {
    return Reachable(port, ifOpen) && g_stagePort == port && g_stage == needed;
}

void Advance(int port, bool success, Stage reached) {
    g_stage = success ? reached : Stage::None;
    g_stagePort = port;
}

std::string Port(int port) {
    return " port=" + std::to_string(port);
}

std::string IfOpen(int ifOpen) {
    return " ifOpen=" + std::to_string(ifOpen);
}

// The real library writes into the 8-byte scratch buffer; so does this one, to the byte.
void FillScratch(unsigned char* scratch) {
    if (scratch != nullptr) {
        std::memset(scratch, 0, 8);
    }
}

}  // namespace

extern "C" {

int WINAPI SDT_OpenPort(int port) {
    Call call("SDT_OpenPort" + Port(port));
    const int status = call.Status("open_status", kOk);
    if (status == kOk) {
        g_openPorts.insert(port);
    }
    return call.Answer(status);
}

int WINAPI SDT_ClosePort(int port) {
    Call call("SDT_ClosePort" + Port(port));
    g_openPorts.erase(port);
    g_stage = Stage::None;
    return call.Answer(call.Status("close_status", kOk));
}

int WINAPI SDT_StartFindIDCard(int port, unsigned char* scratch, int ifOpen) {
    Call call("SDT_StartFindIDCard" + Port(port) + IfOpen(ifOpen));
    if (!Reachable(port, ifOpen)) {
        Advance(port, false, Stage::None);
        return call.Answer(kOutOfTurn, "out-of-turn");
    }
    FillScratch(scratch);
    const bool card = Card(call.state()).has_value();
    const int status = call.Status("find_status", card ? kCardFound : 128);
    Advance(port, status == kCardFound, Stage::Found);
    return call.Answer(status);
}

int WINAPI SDT_SelectIDCard(int port, unsigned char* scratch, int ifOpen) {
    Call call("SDT_SelectIDCard" + Port(port) + IfOpen(ifOpen));
    if (!InTurn(port, ifOpen, Stage::Found)) {
        Advance(port, false, Stage::None);
        return call.Answer(kOutOfTurn, "out-of-turn");
    }
    FillScratch(scratch);
    const bool card = Card(call.state()).has_value();
    const int status = call.Status("select_status", card ? kOk : 129);
    Advance(port, status == kOk, Stage::Selected);
    return call.Answer(status);
}

int WINAPI SDT_ReadBaseMsg(int port, unsigned char* text, unsigned int* textLength,
                           unsigned char* photo, unsigned int* photoLength, int ifOpen) {
    Call call("SDT_ReadBaseMsg" + Port(port) +
              " textLen=" + (textLength ? std::to_string(*textLength) : "null") + " photoLen=" +
              (photoLength ? std::to_string(*photoLength) : "null") + IfOpen(ifOpen));
    if (!InTurn(port, ifOpen, Stage::Selected)) {
        return call.Answer(kOutOfTurn, "out-of-turn");
    }
    const auto card = Card(call.state());
    const int status = call.Status("read_status", card ? kOk : 65);
    if (status != kOk || !card) {
        return call.Answer(status);
    }
    const DWORD written = std::min<DWORD>(static_cast<DWORD>(card->size()), kTextCapacity);
    if (text != nullptr) {
        std::memcpy(text, card->data(), written);
    }
    const std::uint32_t reported = call.Length("textlen").value_or(written);
    if (textLength != nullptr) {
        *textLength = reported;
    }
    if (photo != nullptr) {
        std::memset(photo, 0x5A, kPhotoSize);
    }
    const std::uint32_t photoReported = call.Length("photolen").value_or(kPhotoSize);
    if (photoLength != nullptr) {
        *photoLength = photoReported;
    }
    return call.Answer(status, "textLen=" + std::to_string(reported) +
                                   " photoLen=" + std::to_string(photoReported));
}

int WINAPI SDT_GetSAMIDToStr(int port, char* samId, int ifOpen) {
    Call call("SDT_GetSAMIDToStr" + Port(port) + IfOpen(ifOpen));
    auto it = call.state().find("samid");
    const bool known = it != call.state().end();
    const int status = call.Status("samid_status", known ? kOk : 1);
    if (status != kOk || !known) {
        return call.Answer(status);
    }
    // A library that forgets the terminator, or writes more than the 50 bytes it is lent.
    if (const auto unterminated = call.Length("samid_unterminated")) {
        std::string id;
        while (!it->second.empty() && id.size() < static_cast<std::size_t>(*unterminated)) {
            id += it->second;
        }
        id.resize(std::min<std::size_t>(id.size(), static_cast<std::size_t>(*unterminated)));
        if (samId != nullptr) {
            std::memcpy(samId, id.data(), std::min<std::size_t>(id.size(), kSamIdMost));
        }
        return call.Answer(status, "samid=" + id + " unterminated");
    }
    const std::string id = it->second.substr(0, 49);
    if (samId != nullptr) {
        std::memcpy(samId, id.data(), id.size());
        samId[id.size()] = '\0';
    }
    return call.Answer(status, "samid=" + id);
}

}  // extern "C"
