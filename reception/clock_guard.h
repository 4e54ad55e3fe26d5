// The clock guard: whether a confirmed minute may set the clock. The sampling
// tick follows the start of every second it sees on the monotonic count and
// stamps each confirmed minute's marker against it; the thread that sets the
// clock judges the minute from that stamp. Portable, shared by every front end.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform.h"
#include "reception.h"

// ---- Tick side: the seconds on the monotonic count -----------------------------
//
// Nearly every second start the decoder detects is a real one, even where
// whole minutes rarely decode, so the phase of the received second on the count
// stays fresh however far apart confirmed minutes are. The tracker numbers the
// seconds it follows; a confirmed minute's marker then has a second number, and
// that number minus the minute's UTC seconds (its position) stays the same from
// one genuine minute to the next until a leap second or a jump of the count.

// A second start moves the phase when it lands within this of the predicted
// start and the start before it did too (noise and static rarely do twice).
constexpr int64_t TRACK_GATE_US = 60000;
// While no start has moved the phase the gate widens by this much per second of
// the count (what any crystal's rate error, unlearnt, can add), up to a limit.
constexpr int64_t TRACK_GATE_WIDEN_US_PER_S = 200;
constexpr int64_t TRACK_GATE_MAX_US = 250000;
// Phase gain: an eighth of each accepted error.
constexpr int64_t TRACK_PHASE_GAIN = 8;
// Starts that must have moved the phase before it is trusted.
constexpr uint16_t TRACK_LOCK_HITS = 8;
// Starts in a row that agree with each other but not with the phase, after
// which they become the phase (the receiver or the count moved).
constexpr uint8_t TRACK_SWITCH_HITS = 10;
// Longer than this without a start that moved the phase, the numbering of
// seconds is no longer trusted: the next start begins it anew (a new epoch).
constexpr uint64_t TRACK_COAST_LIMIT_MS = 20 * 60000;
// The rate of the count is measured over at least this many tracked seconds and
// kept within +-500 ppm of nominal.
constexpr int64_t TRACK_RATE_BASELINE_S = 600;
constexpr int64_t TRACK_PERIOD_NOMINAL_NS = 1000000000;
constexpr int64_t TRACK_PERIOD_LIMIT_NS = 500000;

// The tracker's state; the timer thread's alone.
struct SecondTrackRecord {
    bool Seeded;               // a phase exists
    bool LastInGate;           // the previous start landed within the gate
    int64_t PhaseUs;           // count (us) of the start of second SecondNumber
    int64_t PeriodNs;          // one received second on the count, ns
    int64_t SecondNumber;      // seconds numbered since the epoch began
    uint64_t LastHitMs;        // count of the last start that moved the phase
    uint16_t Hits;             // starts that moved the phase (saturating)
    uint32_t Epoch;            // numbering of seconds; 1 and up once seeded
    bool RateKnown;            // PeriodNs has been measured
    int64_t BasePhaseUs;       // where the rate's baseline starts
    int64_t BaseSecond;
    int64_t CandidatePhaseUs;  // starts that miss the phase but agree together
    uint8_t CandidateHits;
};
extern SecondTrackRecord SecondTrack;

// What the tracker made of one second start.
struct SecondStartFit {
    uint32_t Epoch;        // 0: no trusted phase
    int64_t SecondNumber;  // the tracked second it is the start of (nearest)
    int32_t ErrorUs;       // how far after that second's predicted start it came
};

// One detected second start at count nowMs; constant time, no allocation.
SecondStartFit TrackSecondStart(uint64_t nowMs);

// ---- Tick to clock thread: the confirmed minute's stamp -----------------------

// What the tick saw of the marker of the last confirmed minute. Epoch 0: the
// seconds were not followed steadily enough to judge it.
struct MinuteStamp {
    uint64_t MessageKey;  // wParam | lParam << 32 of the WM_TIMECODE that carried it
    uint64_t MarkerMs;    // count when the tick saw the marker start
    int32_t ErrorUs;      // the marker's start after the tracked second's start
    uint32_t Epoch;
    int64_t SecondNumber;
};

constexpr uint64_t TimeCodeKey(uint32_t wParam, uint32_t lParam)
{
    return uint64_t(wParam) | uint64_t(lParam) << 32;
}

// Written by the tick, read by the clock thread: atomics of the fields' own
// widths under a sequence count (odd while being written).
struct StampExchange {
    std::atomic<uint32_t> Sequence;
    std::atomic<uint64_t> MessageKey;
    std::atomic<uint64_t> MarkerMs;
    std::atomic<int32_t> ErrorUs;
    std::atomic<uint32_t> Epoch;
    std::atomic<int64_t> SecondNumber;
};
static_assert(std::atomic<uint64_t>::is_always_lock_free, "lock-free stamp");
static_assert(std::atomic<int64_t>::is_always_lock_free, "lock-free stamp");
extern StampExchange MinuteStamps;

// Tick: publishes the stamp of a confirmed minute before its message is posted.
void PublishMinuteStamp(const MinuteStamp& stamp);
// Clock thread: the stamp of the message (wParam, lParam); false when the tick
// has none for it (or is rewriting it for a later minute).
bool ReadMinuteStamp(uint32_t wParam, uint32_t lParam, MinuteStamp* stamp);

// Back to the state at program start: tracker and stamp (tools and tests).
void ResetSecondTracking();

// ---- Clock thread: set or hold ------------------------------------------------

// Setting the clock to hh:mm:00.000 now puts it this far behind the marker's
// start as the seconds predict it (that start is itself 0..20 ms after the
// delivered edge, one sample): accepted from this much early to this much late,
// which keeps every setting within 50 ms of the delivered edge.
constexpr int64_t GUARD_EARLY_LIMIT_US = 45000;
constexpr int64_t GUARD_LATE_LIMIT_US = 27000;
// A minute whose marker came early (a noise pulse before the real one) is set
// a moment later instead, when its second starts: up to this much later, and
// aiming this much before that start, so that a sleep running over still lands
// within the limits.
constexpr int64_t GUARD_WAIT_LIMIT_US = 700000;
constexpr int64_t GUARD_WAIT_TARGET_US = 10000;
// Without a position to compare with, a clock this close to the minute agrees.
constexpr int64_t GUARD_CLOCK_AGREES_MS = 50;

enum GuardVerdict : uint8_t {
    GUARD_SET_FITS,          // lands where the minute last used predicts
    GUARD_SET_CLOCK_AGREES,  // nothing to compare with; the clock agrees with it
    GUARD_SET_AGREED,        // agrees with the minute or minutes held before it
    GUARD_HOLD_NO_STAMP,     // the tick has no stamp for this message
    GUARD_HOLD_UNSTEADY,     // the seconds before it were not followed steadily
    GUARD_HOLD_EARLY,        // setting now would put the clock early (a noise
                             // pulse taken for the marker)
    GUARD_HOLD_LATE,         // ... late (the marker seen late, or the message
                             // handled late)
    GUARD_HOLD_MOVED,        // not the position of the minute last used (a wrong
                             // minute, a leap second, a jump of the count)
    GUARD_HOLD_UNPROVEN,     // nothing to compare with and the clock disagrees:
                             // the next minute must agree with it
};
inline bool GuardSets(GuardVerdict v) { return v <= GUARD_SET_AGREED; }

struct GuardJudgement {
    GuardVerdict Verdict;
    int32_t SetLateMs;   // how late setting now puts the clock, from the
                         // marker's predicted start (negative: early)
    int64_t MovedS;      // GUARD_HOLD_MOVED: position minus the one last used
    uint32_t WaitMs;     // a set verdict: wait this long first, then ask
                         // GuardStillTimely
    int64_t StartUs;     // the marker's second's predicted start on the count
};

// What the guard remembers between confirmed minutes; the clock thread's alone.
struct ClockGuardRecord {
    bool Anchored;            // a minute set the clock in AnchorEpoch
    uint32_t AnchorEpoch;
    int64_t AnchorPosition;   // its position, seconds
    bool HaveHeld;            // the last minute with a position was held
    uint32_t HeldEpoch;
    int64_t HeldPosition;
    uint8_t HeldInARow;       // held minutes before it that agreed, in a row
};

// The guard's one entry: a confirmed minute (its UTC start, ms since 2000), its
// stamp from the tick (nullptr: none), the clock's reading minus the minute
// now, and the count now. Updates guard; GuardSets(verdict) says set the clock.
// Three held minutes in a row that agree move the position (two when there is
// no position to keep, as after start).
GuardJudgement GuardJudgeMinute(ClockGuardRecord& guard, const MinuteStamp* stamp,
                                int64_t minuteUtcMs, int64_t clockOffsetMs, uint64_t nowMs);

// After the wait a set verdict asked for: may the clock be set at count nowMs?
bool GuardStillTimely(const GuardJudgement& judgement, uint64_t nowMs);

// Milliseconds from 2000-01-01 of a calendar record; any field values.
int64_t ClockTimeMs(const ClockTime& t);
// How far the clock reading now is from minute (the confirmed hh:mm:00.000),
// in ms; positive when the clock is ahead. Any field values, no overflow.
int64_t ClockOffsetMs(const ClockTime& now, const ClockTime& minute);
// The UTC start (ms since 2000) of a confirmed minute: its fields as decoded,
// less the summer hour when the status says BST.
int64_t MinuteUtcMs(const ClockTime& minute, StatusFlags status);
