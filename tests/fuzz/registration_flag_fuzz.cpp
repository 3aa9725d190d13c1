// The registration flag on any registry data: the id is reported only while the flag's text
// (up to a terminating NUL) is not "1", only when there is an id, and the flag is written
// "1" exactly when the server accepted; once accepted, never reported again.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>

#include "fuzz/check.h"
#include "fuzz/monitor_world.h"

namespace {
const char kKey[] = "Software\\CardReader";
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    ordane::fuzz::MonitorWorld world;
    const bool noRights = in.ConsumeBool();  // the machine hive cannot be opened
    world.registry.SetOpenFails(noRights);
    if (in.ConsumeBool()) {
        world.registry.SetValue(kKey, "upload", in.ConsumeRandomLengthString(12));
    }
    for (int round = 0; round < 3 && in.remaining_bytes() > 0; ++round) {
        const ordane::Text id = ordane::FromAscii(in.ConsumeRandomLengthString(8));
        const bool answers = in.ConsumeBool();
        const std::string body = in.ConsumeRandomLengthString(10);
        world.httpClient.reply = answers ? std::optional<std::string>(body) : std::nullopt;

        const auto flag = world.registry.Value(kKey, "upload");
        const bool set = flag && flag->substr(0, flag->find('\0')) == "1";
        const std::size_t requests = world.httpClient.urls.size();
        world.frm.Registration().Uploaded(id);

        const bool asks = !noRights && !set && !id.empty();
        FUZZ_CHECK(world.httpClient.urls.size() == requests + (asks ? 1 : 0),
                   "reported only without the flag and with an id");
        const bool accepted =
            asks && answers && (body.rfind("SUCCESS", 0) == 0 || body.rfind("EXIST", 0) == 0);
        const auto after = world.registry.Value(kKey, "upload");
        if (accepted) {
            FUZZ_CHECK(after && *after == "1", "the flag is written once the server accepted");
        } else {
            FUZZ_CHECK(after == flag, "the flag is left alone otherwise");
        }
    }
    return 0;
}
