// Runs Varnel's real sampling tick (SampleStep, with the decoder behind it)
// over a simulated receiver line, hands every message to the real status
// report with a simulated computer clock, and judges every confirmed minute and
// every clock setting against the synthesizer's truth.
#pragma once

#include <cstdint>
#include <vector>

#include "line_model.h"
#include "reception/reception.h"
#include "tray/status.h"

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
// A clock setting further than this from the minute edge as the receiver
// delivers it (the true edge plus the receiver's constant delay) is "off".
constexpr int64_t OFF_NS = 50000000;

// The simulated computer. One crystal runs DriftPpm fast and drives its clock,
// its monotonic count and its sampling timer: the clock starts StartErrorNs
// ahead of true time and a clock setting moves it to the time asked for; the
// count runs from the start of the run; the timer ticks every period of the
// line options on that crystal, from TimerPhaseNs into the first period.
//
// Stalls: the timer's thread is held up StallsPerHour times an hour (Poisson),
// each time for StallMinNs..StallMaxNs (uniform). The multimedia timer keeps
// its schedule: the ticks that fell due meanwhile all run at once when the
// thread is free again, each reading the line then.
//
// Late handling: with chance LateChance each WM_TIMECODE is handled up to
// LateMaxNs (uniform) after it was posted, the rest at once; the user-interface
// thread then reads the clock and the count at that later moment.
struct ClockOptions {
    double DriftPpm;
    int64_t StartErrorNs;
    int64_t TimerPhaseNs;  // negative: drawn from the line's seed
    double StallsPerHour;
    int64_t StallMinNs;
    int64_t StallMaxNs;
    double LateChance;
    int64_t LateMaxNs;
};
// 20 ppm fast, 1.5 s ahead at the start, a seeded timer phase, no stalls, every
// message handled at once.
ClockOptions DefaultClockOptions();

// What one way of handling the messages did to its own simulated clock.
// "Before" sets the clock at every confirmed minute (no guard), "after" is
// Varnel's clock guard, "proposed" the simpler rule first proposed for it
// (kept for comparison, see ProposedAccepts).
struct ClockResult {
    uint32_t Settings;        // successful clock settings (first call of each pair)
    uint32_t Held;            // confirmed minutes that did not set the clock
    uint32_t Wrong;           // settings to a minute other than the true one
    uint32_t Off;             // settings of the true minute more than OFF_NS from
                              // the delivered edge
    std::vector<int64_t> ErrorsUs;      // each correct setting: the time set minus
                                        // true time, in us (negative: set late)
    std::vector<int64_t> ClockErrorUs;  // the clock minus true time, every
                                        // simulated minute
    std::vector<int64_t> TraceMs;       // the same in ms, kept when asked for
    int64_t FirstSettingNs;   // stream time of the first setting; -1: none
    uint32_t GenuineAfterFirst;  // correct confirmed minutes after it
};

// Signed mean, mean magnitude and 99th percentile of the magnitude of errors
// in us, in ms; zeros when empty. 64-bit throughout: any error a run can make.
struct ErrorSummary {
    double SignedMeanMs;
    double MagnitudeMeanMs;
    double MagnitudeP99Ms;
};
ErrorSummary SummarizeErrors(const std::vector<int64_t>& errorsUs);
// The setting furthest from an edge offsetUs after the true one (signed, us;
// 0 when there were none): the receiver's delay for the edge it delivers, 0
// for the true edge.
int64_t WorstSettingUs(const std::vector<int64_t>& errorsUs, int64_t offsetUs);

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
    uint32_t Stalls;           // timer stalls
    uint32_t LateMessages;     // confirmed minutes handled late
    WrongConfirmation Wrongs[KEPT_WRONG];  // the first wrong confirmations
    int64_t SecondGenuineNs;   // stream time of the second correct confirmation; -1: none
    ClockResult Before, After, Proposed;
};

// The rule first proposed, measured beside the guard: the clock's offset from
// the minute; within 10 minutes of a successful setting an offset over 50 ms
// holds the minute unless the previous confirmed minute was held with an
// offset within 50 ms of it; with no successful setting in the last 10
// minutes every minute sets the clock.
struct ProposedRecord {
    bool HaveSetting;
    uint64_t LastSettingMs;
    bool HaveHeld;
    int64_t HeldOffsetMs;
};
bool ProposedAccepts(ProposedRecord& record, int64_t offsetMs, uint64_t nowMs);

// Is a confirmation of fields, posted at UTC instant postUtcNs by a receiver
// of the given delay, the true minute? The minute meant is the marker nearest
// to the instant the line edge left the transmitter.
bool ConfirmationCorrect(const TimeFields& fields, int64_t postUtcNs, int64_t delayNs);
// The true minute for a confirmation posted then (the judge's reference).
TimeFields TrueMinute(int64_t postUtcNs, int64_t delayNs);

// The simulated clock's local (UK civil) reading at a UTC instant, and the
// UTC instant a local time set at about pcUtcNs means (in the repeated
// autumn hour, the reading nearer the clock's own).
ClockTime UkClockTime(int64_t utcNs);
int64_t UtcOfUkClockTime(const ClockTime& t, int64_t pcUtcNs);

// Runs from program start (status 0x10, UK civil time mode) for durationNs of
// line time, or until the first confirmation when stopAtFirst. trace: keep the
// clock error of each simulated minute.
RunResult RunDecoder(const LineOptions& line, int64_t durationNs, bool stopAtFirst,
                     const ClockOptions& clock = DefaultClockOptions(), bool trace = false);

// Percentile p (0..100) of values, nearest rank; 0 when empty.
double Percentile(std::vector<int64_t> values, double p);
