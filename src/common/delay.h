// The one wait that every device exchange uses. It keeps the window alive: pending messages
// (timer ticks, tray clicks, the Symbol link's data and version messages) are dispatched
// between its 100 ms steps, so handlers run in the middle of whatever waits.
#pragma once

#include "common/pump.h"

namespace ordane {

// Waits n + 1 steps of 100 ms, n = seconds * 10 rounded half to even (0.5 -> 0, 1.5 -> 2,
// 2.5 -> 2), dispatching pending messages after each step. The identification exchanges'
// reply windows are these lengths: Delay 2 is about 2.1 s, Delay 0.2 about 0.3 s.
// A negative n returns at once without dispatching.
void Delay(MessagePump& pump, double seconds);

}  // namespace ordane
