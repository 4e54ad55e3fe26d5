// A receiver's output line as a list of exactly timed changes: the
// synthesizer's MSF minutes with the receiver's delay, per-edge jitter, a
// pulse-width bias and glitches. For the simulated tty (ttysim.cpp), whose
// modem line changes at these instants, and for native tests and benchmarks
// of varneld's core, which see the same edges without a clock.
//
// Times are "truth": ns since 1970 on the UTC scale of the synthesizer (no
// leap second here). Every draw is a hash of the seed and what it belongs to
// (an edge, a glitch), so a line is the same whenever it is looked at.
#pragma once

#include <cstdint>

#include "msf_synth.h"

struct EdgeLineOptions {
    int64_t DelayNs;           // every change comes this late
    int64_t JitterNs;          // sd of each change's own Gaussian jitter (cut at 4 sd)
    int64_t BiasNs;            // carrier-off pulses end this much later (earlier if < 0)
    double GlitchesPerSecond;  // mean rate of spurious inversions (Poisson)
    int64_t GlitchMinNs;       // each lasts uniformly GlitchMinNs..GlitchMaxNs
    int64_t GlitchMaxNs;
    uint8_t Level;             // line level while the carrier is on
    uint64_t Seed;
};

// A clean line: no delay, jitter, bias or glitches (2..40 ms when enabled),
// carrier-on level 1, seed 1.
EdgeLineOptions DefaultEdgeLineOptions();

struct EdgeLine {
    EdgeLineOptions Options;
    int64_t Second;          // the signal second whose pulse changes are queued
    int64_t Pulse[6];        // their times, in order
    uint8_t PulseCount;
    uint8_t PulseIndex;
    int64_t LastPulseNs;     // the last pulse change handed on, to keep order
    uint64_t GlitchIndex;    // glitches drawn so far
    int64_t GlitchNs[2];     // the next glitch's start and end
    uint8_t GlitchSide;      // 0: its start comes next, 1: its end
    SynthMinute Minute;      // bits of the minute last looked up
    bool MinuteValid;
    uint8_t Level;           // the line's level after the last change handed on
};

// Starts the line at truth fromNs: Level is its level then.
void EdgeLineBegin(EdgeLine& line, const EdgeLineOptions& options, int64_t fromNs);
// The next change: its truth time and the level after it (always the other).
void EdgeLineNext(EdgeLine& line, int64_t* atNs, uint8_t* level);
