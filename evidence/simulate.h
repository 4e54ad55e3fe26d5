// Runs Varnel's real sampling tick (SampleStep, with the decoder behind it)
// over a simulated receiver line and judges every confirmed minute against the
// synthesizer's truth.
#pragma once

#include <cstdint>

#include "line_model.h"
#include "reception/reception.h"

// One wrong confirmation, kept for the report.
struct WrongConfirmation {
    int64_t PostUtcNs;   // when it was posted
    TimeFields Got;      // what it would have set
    TimeFields Truth;    // the true minute
};
constexpr uint32_t KEPT_WRONG = 8;

// A correct confirmation posted this much before the true edge was started by
// a noise pulse, not by the marker: edge jitter alone cannot move it so far.
constexpr int64_t EARLY_NS = 50000000;

struct RunResult {
    uint64_t Samples;
    double Hours;              // simulated time run
    uint32_t Confirmed;        // WM_TIMECODE messages with ST_TIME_VALID
    uint32_t Wrong;            // ... whose fields differ from the true minute
    int64_t FirstConfirmNs;    // stream time of the first confirmation; -1: none
    // How long after the true minute edge a correct confirmation was posted
    // (the clock is set to hh:mm:00 then, so it ends up this much behind).
    int64_t LateSumNs;
    int64_t LateMaxNs;
    int64_t LateMinNs;
    uint32_t Early;            // correct confirmations posted over EARLY_NS before
                               // the true edge
    WrongConfirmation Wrongs[KEPT_WRONG];  // the first wrong confirmations
};

// Is a confirmation of fields, posted at UTC instant postUtcNs by a receiver
// of the given delay, the true minute? The minute meant is the marker nearest
// to the instant the line edge left the transmitter.
bool ConfirmationCorrect(const TimeFields& fields, int64_t postUtcNs, int64_t delayNs);
// The true minute for a confirmation posted then (the judge's reference).
TimeFields TrueMinute(int64_t postUtcNs, int64_t delayNs);

// Runs from program start (status 0x10, UK civil time mode) for durationNs of
// line time, or until the first confirmation when stopAtFirst.
RunResult RunDecoder(const LineOptions& line, int64_t durationNs, bool stopAtFirst);
