#include "common/delay.h"

#include <cmath>
#include <limits>

namespace ordane {

namespace {
constexpr std::uint32_t kStepMs = 100;
}  // namespace

void Delay(MessagePump& pump, double seconds) {
    // Banker's rounding (the default rounding mode) gives the step counts the exchanges'
    // reply windows were measured with: 0.5 -> 0, 1.5 -> 2, 2.5 -> 2.
    const double steps = std::nearbyint(seconds * 10.0);
    if (!(steps >= 0.0)) {  // negative, or not a number
        return;
    }
    const auto last = static_cast<std::int64_t>(
        std::fmin(steps, static_cast<double>(std::numeric_limits<std::int32_t>::max())));
    for (std::int64_t i = 0; i <= last; ++i) {
        pump.Sleep(kStepMs);
        pump.DoEvents();
    }
}

}  // namespace ordane
