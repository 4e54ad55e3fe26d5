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
// Phase gain: an eighth of each accepted error at first, falling by one step
// per TRACK_GEAR_HITS starts to 1/TRACK_GAIN_MAX (a time constant of minutes),
// so that noise that displaces every start for a minute or two (a pulse at the
// same place of every second, drifting across the start) hardly moves it.
constexpr int64_t TRACK_PHASE_GAIN = 8;
constexpr int64_t TRACK_GAIN_MAX = 512;
constexpr uint16_t TRACK_GEAR_HITS = 16;
// The recent starts (an eighth of each error) further than this from the
// phase: the seconds moved (the count jumped, the receiver changed) and no
// marker is timed. This many starts in a row so, and the gain rises again.
constexpr int64_t TRACK_SPLIT_US = 30000;
constexpr uint16_t TRACK_REGEAR_HITS = 60;
// Starts that must have moved the phase before it is trusted.
constexpr uint16_t TRACK_LOCK_HITS = 8;
// Starts in a row that agree with each other but not with the phase, after
// which they become the phase (the receiver or the count moved)...
constexpr uint8_t TRACK_SWITCH_HITS = 10;
// ... each within this many seconds of the one before (a marker's pulse, seen
// once a minute at the same place, is no second).
constexpr int64_t TRACK_SWITCH_GAP_S = 5;
// Longer than this without a start that moved the phase, the numbering of
// seconds is no longer trusted: starts that agree begin it anew (a new epoch)...
constexpr uint64_t TRACK_COAST_LIMIT_MS = 20 * 60000;
// ... or this long once the count's rate is known (a rate within 20 ppm keeps
// the phase within the widest gate).
constexpr uint64_t TRACK_COAST_KNOWN_MS = 3 * 3600000;
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
    int64_t RecentUs;          // the recent starts' mean error
    uint16_t SplitHits;        // starts in a row with RecentUs over TRACK_SPLIT_US
    uint32_t Epoch;            // numbering of seconds; 1 and up once seeded
    bool RateKnown;            // PeriodNs has been measured
    int64_t BasePhaseUs;       // where the rate's baseline starts
    int64_t BaseSecond;
    int64_t CandidatePhaseUs;  // starts that miss the phase but agree together
    uint8_t CandidateHits;
    bool Pending;              // a start waits to show that its pulse lasts
    uint64_t PendingMs;
    uint8_t PendingLooked;     // samples after it seen so far
    uint8_t PendingPulses;     // ... of which pulses
    bool PendingFirstPulse;    // the first of them was a pulse
    uint64_t PendingLaterMs;   // count at the second of them
};
extern SecondTrackRecord SecondTrack;

// What the tracker made of one second start.
struct SecondStartFit {
    uint32_t Epoch;        // 0: no trusted phase
    int64_t SecondNumber;  // the tracked second it is the start of (nearest)
    int32_t ErrorUs;       // how far after that second's predicted start it came
    int32_t RecentUs;      // where the recent starts came against the phase
};

// A second start moves the phase only when its pulse lasts: of the
// TRACK_PULSE_LOOK samples after it, TRACK_PULSE_NEEDED are pulses.
constexpr uint8_t TRACK_PULSE_LOOK = 3;
constexpr uint8_t TRACK_PULSE_NEEDED = 2;

// One detected second start at count nowMs: where it falls on the seconds
// followed so far. Constant time, no allocation.
SecondStartFit TrackSecondStart(uint64_t nowMs);
// Each sample after a start while SecondTrack.Pending: whether it is a pulse,
// and the count.
void TrackSample(bool pulse, uint64_t nowMs);

// ---- Tick to clock thread: the confirmed minute's stamp -----------------------

// What the tick saw of the marker of the last confirmed minute. Epoch 0: the
// seconds were not followed steadily enough to judge it.
struct MinuteStamp {
    uint64_t MessageKey;  // wParam | lParam << 32 of the WM_TIMECODE that carried it
    uint64_t MarkerMs;    // count when the tick saw the marker start
    int32_t ErrorUs;      // the marker's start after the tracked second's start
    uint32_t Epoch;
    int64_t SecondNumber;
    int32_t RecentUs;     // the recent second starts against the phase
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
    std::atomic<int32_t> RecentUs;
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
// which keeps every setting within 50 ms of the delivered edge. The phase and
// the recent starts both predict it; each limit is kept against the stricter,
// so that neither noise that displaces the recent starts nor a phase still
// following seconds that moved can let a setting through.
constexpr int64_t GUARD_EARLY_LIMIT_US = 45000;
constexpr int64_t GUARD_LATE_LIMIT_US = 27000;
// A minute handled later than that (the window's thread held up) is set to
// hh:mm:00 plus the time since its marker's predicted start, as the count
// measures it, within this much: held instead, the clock would drift on until
// the next confirmed minute, which for a weak receiver may be hours away.
constexpr int64_t GUARD_CARRY_LIMIT_US = 1000000;
// A minute whose marker came early (a noise pulse before the real one) is set
// a moment later instead, when its second starts: up to this much later, and
// aiming this much before that start, so that a sleep running over still lands
// within the limits.
constexpr int64_t GUARD_WAIT_LIMIT_US = 700000;
constexpr int64_t GUARD_WAIT_TARGET_US = 10000;
// A clock this close to the minute agrees with it.
constexpr int64_t GUARD_CLOCK_AGREES_MS = 50;
// Across epochs the count since the last minute used says where the next one
// lands, within this margin and the count's possible rate error, as long as
// that stays within GUARD_COUNT_TRUST_MS: then no minute a minute off can pass
// for it. The rate error is any crystal's (the tracker's own limit: ten hours
// of trust) until the minutes the count led to span GUARD_CHAIN_MIN_MS; then
// their own rate, within their timing scatter over that span and the crystal's
// wander with temperature (days of trust).
constexpr int64_t GUARD_COUNT_MARGIN_MS = 1000;
constexpr int64_t GUARD_COUNT_RATE_PPM = 500;
constexpr int64_t GUARD_COUNT_TRUST_MS = 20000;
constexpr int64_t GUARD_CHAIN_MIN_MS = 3600000;
constexpr int64_t GUARD_CHAIN_SCATTER_MS = 100;
constexpr int64_t GUARD_COUNT_WANDER_PPM = 10;
// A minute that moves from the reference by at most this much (a leap second)
// is followed after three agree; one further off (a minute or more: a wrong
// minute, unless the reference was) only when the clock is near it, or when
// the agreeing minutes span GUARD_FAR_RUN_US of the count.
constexpr int64_t GUARD_SMALL_MOVE_S = 2;
constexpr int64_t GUARD_CLOCK_NEAR_MS = 20000;
constexpr int64_t GUARD_FAR_RUN_US = int64_t(2) * 3600 * 1000000;

enum GuardVerdict : uint8_t {
    GUARD_SET_FITS,          // lands where the minute last used predicts (by the
                             // seconds numbered since, or by the count)
    GUARD_SET_CLOCK_AGREES,  // the clock agrees with it
    GUARD_SET_AGREED,        // agrees with the minute or minutes held before it
    GUARD_HOLD_NO_STAMP,     // the tick has no stamp for this message
    GUARD_HOLD_UNSTEADY,     // the seconds before it were not followed steadily
    GUARD_HOLD_EARLY,        // setting now would put the clock early (a noise
                             // pulse taken for the marker)
    GUARD_HOLD_LATE,         // ... late (the marker seen late, or the message
                             // handled late)
    GUARD_HOLD_MOVED,        // not where the minute last used predicts (a wrong
                             // minute, a leap second, a jump of the count)
    GUARD_HOLD_UNPROVEN,     // nothing to compare with and the clock disagrees:
                             // minutes after it must agree with it
    GUARD_HOLD_WEEKDAY,      // its day of the week is not its date's (bits
                             // misread in pairs that kept their parity)
};
inline bool GuardSets(GuardVerdict v) { return v <= GUARD_SET_AGREED; }

struct GuardJudgement {
    GuardVerdict Verdict;
    int32_t SetLateMs;   // how late setting now puts the clock, from the
                         // marker's predicted start (negative: early)
    int64_t MovedS;      // GUARD_HOLD_MOVED: position minus the one last used
    uint32_t WaitMs;     // a set verdict: wait this long first, then ask
                         // GuardStillTimely
    uint32_t CarryMs;    // a set verdict: set the clock this long past
                         // hh:mm:00.000 (a minute handled late)
    int64_t StartUs;     // the marker's second's predicted start on the count
    int32_t RecentUs;    // ... and where the recent starts put it, from there
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
    int64_t HeldStartUs;      // its marker's predicted start (count, us), and
    int64_t HeldUtcMs;        // its UTC start
    int64_t HeldRunStartUs;   // the same of the first of them
    int64_t UsedStartUs;      // the last minute used: its marker's predicted
    int64_t UsedUtcMs;        // start on the count, and its UTC start
    int64_t ChainStartUs;     // the same of the first minute of the chain that
    int64_t ChainUtcMs;       // the count led to it through
};

// The guard's one entry: a confirmed minute (its UTC start, ms since 2000), its
// stamp from the tick (nullptr: none), the clock's reading minus the minute
// now, and the count now. Updates guard; GuardSets(verdict) says set the clock.
// A timely minute sets it where the last minute used predicts it or where the
// clock agrees; others are held until held minutes in a row agree (see
// GUARD_SMALL_MOVE_S; two after start).
GuardJudgement GuardJudgeMinute(ClockGuardRecord& guard, const MinuteStamp* stamp,
                                int64_t minuteUtcMs, int64_t clockOffsetMs, uint64_t nowMs);

// After the wait a set verdict asked for: may the clock be set at count nowMs?
bool GuardStillTimely(const GuardJudgement& judgement, uint64_t nowMs);

// Milliseconds from 2000-01-01 of a calendar record; any field values.
int64_t ClockTimeMs(const ClockTime& t);
// How far the clock reading now is from minute (the confirmed hh:mm:00.000),
// in ms; positive when the clock is ahead. Any field values, no overflow.
int64_t ClockOffsetMs(const ClockTime& now, const ClockTime& minute);
// The UTC start (ms since 2000) of a confirmed minute: in UTC mode its fields
// as decoded; in UK civil time mode less the summer hour where the date puts
// BST in force (where the date cannot tell, in the hour repeated in October,
// where the status says BST). GUARD_NOT_A_MINUTE when its day of the week is
// not its date's (the guard holds it).
constexpr int64_t GUARD_NOT_A_MINUTE = INT64_MIN;
int64_t MinuteUtcMs(const ClockTime& minute, StatusFlags status);
