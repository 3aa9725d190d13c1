// The two device loops' timers: Timer1 polls the scanner every 50 ms, Timer2 the card reader
// every 500 ms. A device start-up holds both and gives them back as it found them.
#pragma once

#include "common/pump.h"

namespace ordane {

// Timer1's id on the main window: the scanner's poll.
inline constexpr int kScannerTimerId = 1;
// Timer2's id on the main window: the card reader's poll.
inline constexpr int kCardReaderTimerId = 2;

struct LoopTimers {
    explicit LoopTimers(TimerHost& host)
        : timer1(host, kScannerTimerId, 50), timer2(host, kCardReaderTimerId, 500) {}

    struct Noted {
        bool timer1;
        bool timer2;
    };
    Noted Stop() {
        const Noted noted{timer1.Enabled(), timer2.Enabled()};
        timer1.SetEnabled(false);
        timer2.SetEnabled(false);
        return noted;
    }
    void Restore(Noted noted) {
        timer1.SetEnabled(noted.timer1);
        timer2.SetEnabled(noted.timer2);
    }

    Timer timer1;
    Timer timer2;
};

}  // namespace ordane
