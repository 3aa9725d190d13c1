// The card reader library: a card laid on the reader (its base text as bytes and reported
// length), a SAM id, per-function statuses, an optional time each call takes, and every call
// recorded with its port. It keeps the state a library keeps: a call that says the port is
// open (ifOpen 0) fails unless that port was opened, a select needs a card found on that port
// and a read a card selected; out of turn they fail with kOutOfTurn and fill nothing.
#pragma once

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "devices/card_library.h"
#include "doubles/fake_pump.h"

namespace ordane::test {

class FakeCardLibrary final : public CardReaderLibrary {
  public:
    explicit FakeCardLibrary(FakePump* pump = nullptr) : pump_(pump) {}

    bool Load() override {
        ++loads;
        NoteThread();
        return loadable;
    }
    static constexpr std::int32_t kOutOfTurn = 1;

    std::int32_t SDT_OpenPort(std::int32_t port) override {
        if (openStatus == kSdtOk) {
            openPorts_.insert(port);
        }
        return Call("OpenPort", port, openStatus);
    }
    std::int32_t SDT_ClosePort(std::int32_t port) override {
        openPorts_.erase(port);
        stage_ = Stage::None;
        return Call("ClosePort", port, kSdtOk);
    }
    std::int32_t SDT_StartFindIDCard(std::int32_t port, std::uint8_t*,
                                     std::int32_t ifOpen) override {
        const std::int32_t status = !Reachable(port, ifOpen) ? kOutOfTurn
                                    : cardPresent            ? kSdtCardFound
                                                             : 128;
        Advance(port, status == kSdtCardFound, Stage::Found);
        return Call("StartFindIDCard", port, status);
    }
    std::int32_t SDT_SelectIDCard(std::int32_t port, std::uint8_t*, std::int32_t ifOpen) override {
        const std::int32_t status = InTurn(port, ifOpen, Stage::Found) ? selectStatus : kOutOfTurn;
        Advance(port, status == kSdtOk, Stage::Selected);
        return Call("SelectIDCard", port, status);
    }
    std::int32_t SDT_ReadBaseMsg(std::int32_t port, std::uint8_t* text, std::uint32_t* textLength,
                                 std::uint8_t*, std::uint32_t* photoLength,
                                 std::int32_t ifOpen) override {
        if (!InTurn(port, ifOpen, Stage::Selected)) {
            return Call("ReadBaseMsg", port, kOutOfTurn);
        }
        if (!cardText.empty()) {  // an empty vector's data() may be null
            std::memcpy(text, cardText.data(), std::min<std::size_t>(cardText.size(), 521));
        }
        *textLength = cardTextLength;
        *photoLength = 1024;
        return Call("ReadBaseMsg", port, readStatus);
    }
    std::int32_t SDT_GetSAMIDToStr(std::int32_t port, char* buffer, std::int32_t) override {
        if (samIdWritten) {
            std::memcpy(buffer, samId.c_str(), samId.size() + (samIdTerminated ? 1 : 0));
        }
        return Call("GetSAMIDToStr", port, kSdtOk);
    }

    // The base text of a card: UTF-16LE code units.
    void LayCard(const std::u16string& text) {
        cardText.assign(text.size() * 2, 0);
        for (std::size_t i = 0; i < text.size(); ++i) {
            cardText[2 * i] = static_cast<std::uint8_t>(text[i] & 0xFF);
            cardText[2 * i + 1] = static_cast<std::uint8_t>(text[i] >> 8);
        }
        cardTextLength = static_cast<std::uint32_t>(cardText.size());
        cardPresent = true;
    }

    struct CallRecord {
        std::string function;
        std::int32_t port;
    };
    std::vector<CallRecord> calls;
    std::vector<std::string> Functions() const {
        std::vector<std::string> names;
        for (const auto& c : calls) {
            names.push_back(c.function);
        }
        return names;
    }

    bool loadable = true;
    int loads = 0;
    bool cardPresent = false;
    std::vector<std::uint8_t> cardText;
    std::uint32_t cardTextLength = 0;
    std::int32_t openStatus = kSdtOk;
    std::int32_t selectStatus = kSdtOk;
    std::int32_t readStatus = kSdtOk;
    std::string samId = "05.01-20101123-0000021563-2010030040";
    bool samIdWritten = true;
    bool samIdTerminated = true;  // the id is followed by its NUL
    std::uint32_t callMs = 0;     // virtual time each call blocks the thread
    // Set: the library is the worker's own, and a call made elsewhere is counted.
    const bool* onWorker = nullptr;
    int callsOffWorker = 0;

  private:
    enum class Stage { None, Found, Selected };
    bool Reachable(std::int32_t port, std::int32_t ifOpen) const {
        return ifOpen != 0 || openPorts_.count(port) != 0;
    }
    bool InTurn(std::int32_t port, std::int32_t ifOpen, Stage needed) const {
        return Reachable(port, ifOpen) && stagePort_ == port && stage_ == needed;
    }
    void Advance(std::int32_t port, bool success, Stage reached) {
        stage_ = success ? reached : Stage::None;
        stagePort_ = port;
    }

    void NoteThread() {
        if (onWorker != nullptr && !*onWorker) {
            ++callsOffWorker;
        }
    }
    std::int32_t Call(const char* function, std::int32_t port, std::int32_t status) {
        calls.push_back({function, port});
        NoteThread();
        if (pump_ != nullptr && callMs > 0) {
            pump_->Advance(callMs);
        }
        return status;
    }
    FakePump* pump_;
    std::set<std::int32_t> openPorts_;
    Stage stage_ = Stage::None;
    std::int32_t stagePort_ = 0;
};

}  // namespace ordane::test
