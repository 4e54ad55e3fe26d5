// Runs Varnel's real sampling tick (SampleStep, with the decoder behind it)
// over a simulated receiver line and judges every confirmed minute against the
// synthesizer's truth.
#pragma once

#include <cstdint>

#include "line_model.h"
#include "reception/reception.h"

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
    uint32_t Early;            // correct confirmations posted before the true edge
};

// Is a confirmation of fields, posted at UTC instant postUtcNs by a receiver
// of the given delay, the true minute? The minute meant is the marker nearest
// to the instant the line edge left the transmitter.
bool ConfirmationCorrect(const TimeFields& fields, int64_t postUtcNs, int64_t delayNs);

// Runs from program start (status 0x10, UK civil time mode) for durationNs of
// line time, or until the first confirmation when stopAtFirst.
RunResult RunDecoder(const LineOptions& line, int64_t durationNs, bool stopAtFirst);
