// The whole monitor on the test doubles, as the native tests build it, for the fuzz targets:
// the real main-window logic, settings form, scanner channel and identification exchanges on
// fake ports, a fake card library, registry and clock. The scanner's serial library and the
// delivery are tapped, so a target sees every byte the program reads and every delivery.
#pragma once

#include <functional>

#include "doubles/monitor_doubles.h"
#include "doubles/fake_delivery.h"
#include "doubles/fake_serial_library.h"

namespace ordane::fuzz {

class TapSerialLibrary final : public SerialLibrary {
  public:
    explicit TapSerialLibrary(test::FakeSerialLibrary& lib) : lib_(lib) {}
    std::int32_t OpenPort(std::int32_t port, const LineSettings& line) override {
        return lib_.OpenPort(port, line);
    }
    std::int32_t ClosePort() override { return lib_.ClosePort(); }
    std::int32_t ClearRXBuff() override { return lib_.ClearRXBuff(); }
    std::int32_t WriteData(const std::uint8_t* buff, std::int32_t count) override {
        return lib_.WriteData(buff, count);
    }
    std::int32_t ReadData(std::uint8_t* buff, std::int32_t capacity) override {
        const std::int32_t n = lib_.ReadData(buff, capacity);
        if (n > 0 && onRead) {
            onRead(buff, n);
        }
        return n;
    }
    std::int32_t TakeArrived(std::vector<ArrivedBytes>& out) override {
        const std::size_t before = out.size();
        const std::int32_t n = lib_.TakeArrived(out);
        for (std::size_t i = before; onRead && i < out.size(); ++i) {
            onRead(reinterpret_cast<const std::uint8_t*>(out[i].bytes.data()),
                   static_cast<std::int32_t>(out[i].bytes.size()));
        }
        return n;
    }
    std::function<void(const std::uint8_t*, std::int32_t)> onRead;

  private:
    test::FakeSerialLibrary& lib_;
};

class TapDelivery final : public Delivery {
  public:
    DeliveryOutcome TypeText(const Text& text, bool addEnter) override {
        const DeliveryOutcome outcome = recorded.TypeText(text, addEnter);
        if (onDeliver) {
            onDeliver(false, text);
        }
        return outcome;
    }
    DeliveryOutcome TypeTextPaced(const Text& text, bool addEnter,
                                  std::uint32_t /*keyDelayMs*/) override {
        return TypeText(text, addEnter);
    }
    DeliveryOutcome SetFirstChildText(const Text& windowTitle, const Text& text) override {
        const DeliveryOutcome outcome = recorded.SetFirstChildText(windowTitle, text);
        if (onDeliver) {
            onDeliver(true, text);
        }
        return outcome;
    }
    std::optional<Text> FirstChildText(const Text& windowTitle) override {
        return recorded.FirstChildText(windowTitle);
    }
    bool FocusIsOurs() override { return recorded.FocusIsOurs(); }
    bool FocusRefusesKeys() override { return recorded.FocusRefusesKeys(); }
    std::function<void(bool windowText, const Text&)> onDeliver;
    test::FakeDelivery recorded;
};

struct MonitorWorld : test::MonitorDoubles {
    MonitorWorld() {
        pump.SetTimerHandler([this](int id) { frm.OnTimer(id); });
        symbolLink.Attach(frmSymbol);
        cardWorker.onDone = [this] { frm.OnCardRead(); };
    }
    MonitorWorld(const MonitorWorld&) = delete;
    MonitorWorld& operator=(const MonitorWorld&) = delete;

    TapSerialLibrary scannerPort{commDll};
    TapDelivery delivery;
    Monitor monitor{Platform(scannerPort, delivery, DiagnosticLog::Off())};
    FrmMain& frm = monitor.Main();
    FrmSet& frmSet = monitor.Dialog();
};

}  // namespace ordane::fuzz
