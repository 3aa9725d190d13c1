// The oracle of a fuzz target: a broken property stops the run as a crash, so libFuzzer keeps
// the input that broke it.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition, what)                                                        \
    do {                                                                                   \
        if (!(condition)) {                                                                \
            std::fprintf(stderr, "oracle failed: %s (%s:%d)\n", what, __FILE__, __LINE__); \
            std::abort();                                                                  \
        }                                                                                  \
    } while (0)

namespace ordane::fuzz {

// A target whose oracle only runs for some inputs counts them: a fuzzing run of many inputs in
// which none reached the oracle has checked nothing, and fails as a broken oracle does when it
// ends. (Replaying one saved input is no such run.)
inline std::size_t g_inputs = 0;
inline std::size_t g_oracleRuns = 0;

inline void ReportOracleRuns() {
    if (g_inputs <= 1) {
        return;
    }
    std::fprintf(stderr, "oracle ran %zu times over %zu inputs\n", g_oracleRuns, g_inputs);
    if (g_oracleRuns == 0) {
        std::fprintf(stderr, "oracle failed: no input reached the oracle\n");
        std::_Exit(1);
    }
}

// At the start of each input.
inline void CountInput() {
    static const bool registered = std::atexit(ReportOracleRuns) == 0;
    (void)registered;
    ++g_inputs;
}

// Where the oracle checks an input.
inline void CountOracleRun() {
    ++g_oracleRuns;
}

}  // namespace ordane::fuzz
