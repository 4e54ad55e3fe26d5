// From the stamped edges of the receiver's line to one sample per second for
// a time daemon: which carrier-off edges start a second, and which second of
// the minute the decoder confirmed (and the clock guard accepted) each one is.
// Portable: the Linux glue stamps the edges, this only reads the stamps.
//
// A second starts with a carrier-off edge after a quiet carrier-on (no change
// for QUIET_ON_NS) that is followed by a quiet carrier-off (PULSE_SURE_NS):
// a glitch near the edge makes the second's start doubtful and it is left
// out, never measured from the glitch. The accepted minute tells where its
// marker's edge lies (between the two line reads of the tick that saw it);
// each later start is second k of that minute when it lies k seconds after
// the last second matched, within SECOND_TOLERANCE_NS and the drift any
// clock can have. Only seconds 0..59 of an accepted minute give a sample: the
// next minute, and a leap second at the end of this one, wait for the decoder.
#pragma once

#include <cstdint>

constexpr int64_t NS_PER_MS = 1000000;
constexpr int64_t NS_PER_S = 1000000000;

// Carrier on, unchanged, before a second's start: the longest pulse of a
// second ends 500 ms before the next starts (the marker's), A and B gaps are
// 100 ms long.
constexpr int64_t QUIET_ON_NS = 300 * NS_PER_MS;
// Carrier off, unchanged, after it: every second's first pulse lasts 100 ms.
constexpr int64_t PULSE_SURE_NS = 50 * NS_PER_MS;
// How far a start may lie from where the seconds before it put it.
constexpr int64_t SECOND_TOLERANCE_NS = 20 * NS_PER_MS;
// Plus this share of the time since: 500 ppm, more than any computer's clock drifts.
constexpr int64_t DRIFT_DIVISOR = 2000;

// The fit's memory: least squares over every start at first, then an
// alpha-beta filter that weighs about this many seconds.
constexpr uint32_t PHASE_MEMORY = 1600;
// A start this far from the fitted line is not fitted (nor sent); this many
// in a row start the fit afresh (the receiver moved, the computer slept).
constexpr int64_t PHASE_GATE_NS = 15 * NS_PER_MS;
constexpr uint8_t PHASE_MISFITS_TO_RESTART = 8;

// One change of the line as the edge thread stamped it.
struct LineEdge {
    int64_t MonoNs;  // monotonic clock at the change
    int64_t RealNs;  // real-time (system) clock at the change
    int64_t RawNs;   // raw monotonic clock (never steered) at the change
    uint8_t Level;   // the line's level after it, as the decoder reads the bit
    uint8_t Missed;  // changes counted before this one that were never stamped
};

// What one second gives the time daemon: the system time at its edge and the
// true time minus that.
struct SecondSample {
    int64_t RealNs;
    int64_t OffsetNs;
    uint8_t Second;  // 0..59 within the accepted minute
};

// The seconds' line on the raw clock.
struct PhaseRecord {
    uint32_t Fitted;     // starts fitted so far (0: no line yet)
    int64_t StartNs;     // the line at the last start fitted, raw clock
    double PeriodNs;     // a second on the raw clock, ns
    uint8_t Misfits;     // starts in a row that did not fit
};

// Fits a clean second start at raw time rawNs. True with *fittedNs, the
// line's time of this start; false when it lies off the line.
bool PhaseFit(PhaseRecord& phase, int64_t rawNs, int64_t* fittedNs);

struct SecondsRecord {
    PhaseRecord Phase;
    bool LevelKnown;         // an edge has been seen
    uint8_t Level;           // the line's level after the last edge
    int64_t LevelSinceNs;    // monotonic time of the last edge
    bool HaveStart;          // Start may begin a second, if the pulse holds
    LineEdge Start;
    bool MinuteKnown;        // an accepted minute is in progress
    int64_t MinuteUtcNs;     // true time (receiver delay added) of its marker's edge
    int64_t MarkerFromNs;    // monotonic span in which that edge lies
    int64_t MarkerToNs;
    int8_t LastSecond;       // last second matched to an edge, -1 for none yet
    int64_t LastSecondNs;    // its edge, monotonic
};

void SecondsReset(SecondsRecord& seconds);

// The next edge, in order. offLevel is the carrier-off level the decoder has
// learnt. True when it settled a second: *out is its sample.
bool SecondsEdge(SecondsRecord& seconds, const LineEdge& edge, uint8_t offLevel,
                 SecondSample* out);

// Time passes without a change: call when every counted change of the line
// has been handed to SecondsEdge. True when it settled a second.
bool SecondsSettle(SecondsRecord& seconds, int64_t nowNs, SecondSample* out);

// The decoder confirmed, and the guard accepted, the minute whose marker is
// at minuteUtcNs (true time, delay added); its edge lies in fromNs..toNs.
void SecondsKnowMinute(SecondsRecord& seconds, int64_t minuteUtcNs, int64_t fromNs, int64_t toNs);

// The monotonic time of the marker's edge as well as it is known now: the
// start in hand when it lies in fromNs..toNs, else the middle of the span.
int64_t SecondsMarkerNs(const SecondsRecord& seconds, int64_t fromNs, int64_t toNs);
