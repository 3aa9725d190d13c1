// ReadSetting on a settings file serving any value, or none, for each key, then the user's
// changes and OK. An accepted file gives a model within its lists, shown by the controls;
// whatever OK writes reads back, in a fresh form, as the settings OK left.
#include <fuzzer/FuzzedDataProvider.h>

#include <set>
#include <string>

#include "doubles/fake_codec.h"
#include "doubles/fake_port_probe.h"
#include "doubles/fake_profile.h"
#include "doubles/fake_registry.h"
#include "doubles/fake_settings_view.h"
#include "fuzz/check.h"
#include "settings/frm_set.h"

using ordane::FrmSet;
using ordane::SettingsList;
using ordane::Text;

namespace {

const char* const kKeys[] = {"UsePort2", "Port2",  "CardReader", "UsePort1", "Port",   "BaudRate",
                             "Bits",     "Parity", "StopBits",   "AddEnter", "Scanner"};
const char* const kLikely[] = {"0",
                               "1",
                               "2",
                               "3",
                               "7",
                               "9",
                               "16",
                               "17",
                               "10",
                               "HHP",
                               "Symbol",
                               "NewLand",
                               "\xBB\xAA\xD0\xF1",
                               "\xBB\xAA\xCA\xD3",
                               "",
                               " 1",
                               "1x",
                               "2147483647",
                               "2147483648",
                               "-1",
                               "0003"};

struct Form {
    explicit Form(ordane::test::FakeProfile& file, std::set<int> ports)
        : profile(file), probe(std::move(ports)) {}
    ordane::test::FakeProfile& profile;
    ordane::test::FakePortProbe probe;
    ordane::test::FakeRegistry registry;
    ordane::test::FakeCodec codec;
    ordane::test::FakeSettingsView view;
    FrmSet set{profile, probe, registry, codec, view, u"C:\\Ordane", u"Ordane"};
};

void CheckShown(const FrmSet& f) {
    for (int l = 0; l < ordane::kSettingsListCount; ++l) {
        const auto& list = f.List(static_cast<SettingsList>(l));
        FUZZ_CHECK(list.ListIndex >= -1 && list.ListIndex < list.ListCount(), "selection in list");
    }
    FUZZ_CHECK(
        f.Values().usePort1 == u"0" || f.Values().usePort1 == u"1" || f.Values().usePort1 == u"2",
        "usePort1 flag");
    FUZZ_CHECK(
        f.Values().usePort2 == u"0" || f.Values().usePort2 == u"1" || f.Values().usePort2 == u"2",
        "usePort2 flag");
    FUZZ_CHECK(
        f.Check(4) == f.Values().usePort1[0] - u'0' && f.Check(3) == f.Values().usePort2[0] - u'0',
        "the use boxes show the flags");
    if (f.Values().usePort1 == u"1") {
        FUZZ_CHECK(f.List(SettingsList::cbPort).SelectedText() ==
                       u"COM" + ordane::ToDecimal(f.Values().Port),
                   "the scanner port is shown");
        FUZZ_CHECK(f.List(SettingsList::cbBaudRate).SelectedText() ==
                       ordane::ToDecimal(f.Values().BaudRate),
                   "the speed is shown");
        FUZZ_CHECK(f.List(SettingsList::cbByteSize).SelectedText() ==
                       ordane::ToDecimal(f.Values().ByteSize),
                   "the byte size is shown");
        FUZZ_CHECK(
            f.Values().Parity == f.List(SettingsList::cbParity).ListIndex && f.Values().Parity >= 0,
            "parity is shown");
        FUZZ_CHECK(f.Values().StopBits == f.List(SettingsList::cbStopBits).ListIndex &&
                       f.Values().StopBits >= 0,
                   "stop bits are shown");
        FUZZ_CHECK(f.Values().AddEnter == (f.Check(1) == ordane::kCheckChecked), "Enter box");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    ordane::fuzz::CountInput();
    ordane::test::FakeProfile file;
    file.SetEmptySection("BCINFO");
    for (const char* key : kKeys) {
        switch (in.ConsumeIntegralInRange(0, 2)) {
            case 0:
                break;  // absent
            case 1:
                file.Set(
                    "BCINFO", key,
                    kLikely[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kLikely) - 1)]);
                break;
            default:
                file.Set("BCINFO", key, in.ConsumeRandomLengthString(24));
                break;
        }
    }
    std::set<int> ports;
    const auto mask = in.ConsumeIntegral<std::uint16_t>();
    for (int n = 1; n <= 16; ++n) {
        if (mask & (1u << (n - 1))) {
            ports.insert(n);
        }
    }

    Form first(file, ports);
    FrmSet& f = first.set;
    if (!f.ReadSetting()) {
        return 0;
    }
    CheckShown(f);

    f.Initialze();
    while (in.remaining_bytes() > 1) {
        if (in.ConsumeBool()) {
            f.OnListSelect(static_cast<SettingsList>(in.ConsumeIntegralInRange(0, 7)),
                           in.ConsumeIntegralInRange(0, 18));  // a user picks an entry
        } else {
            f.OnCheckClick(in.ConsumeIntegralInRange(0, 5));
        }
    }
    f.Command1_Click();
    if (!f.ModalResult) {
        return 0;  // refused with a message: nothing to read back
    }

    ordane::fuzz::CountOracleRun();
    Form second(file, ports);
    FrmSet& g = second.set;
    FUZZ_CHECK(g.ReadSetting(), "what OK wrote reads back");
    CheckShown(g);
    const ordane::Settings& saved = f.Values();
    const ordane::Settings& read = g.Values();
    FUZZ_CHECK(read.usePort1 == saved.usePort1 && read.usePort2 == saved.usePort2,
               "use flags read back");
    if (saved.usePort1 == u"1") {
        FUZZ_CHECK(read.Port == saved.Port && read.BaudRate == saved.BaudRate &&
                       read.ByteSize == saved.ByteSize && read.Parity == saved.Parity &&
                       read.StopBits == saved.StopBits && read.AddEnter == saved.AddEnter,
                   "scanner line settings read back");
        FUZZ_CHECK(read.ScannerModel == saved.ScannerModel, "scanner brand reads back");
    }
    if (saved.usePort2 == u"1") {
        FUZZ_CHECK(read.Port2 == saved.Port2 && read.CardReaderModel == saved.CardReaderModel,
                   "card reader settings read back");
    }
    return 0;
}
