// The clock guard's two halves: the sampling tick follows the received second
// on the monotonic count and stamps each confirmed minute's marker; the clock
// thread judges the minute from its stamp.
//
// An earlier guard followed only where confirmed minutes landed on the count.
// Between minutes far apart the count's drift (up to hundreds of ms an hour)
// swamped the tolerance that spikes need, so a receiver that confirms a minute
// now and then never set the clock. The second starts come every second even
// then: their phase says whether a marker is on time, and the seconds counted
// between markers say whether a minute is the one the last minute predicts,
// without any tolerance that grows with the gap.
#include "clock_guard.h"

SecondTrackRecord SecondTrack;
StampExchange MinuteStamps;

// Counts are kept below 2^40 ms (35 years), so every product below stays far
// inside 64 bits.
constexpr uint64_t COUNT_LIMIT_MS = uint64_t(1) << 40;

static int64_t CountUs(uint64_t ms) { return int64_t(ms < COUNT_LIMIT_MS ? ms : COUNT_LIMIT_MS) * 1000; }

static int64_t Magnitude(int64_t x) { return x < 0 ? -x : x; }

static int64_t Clamp(int64_t x, int64_t low, int64_t high) { return x < low ? low : x > high ? high : x; }

static int64_t FloorDiv(int64_t a, int64_t b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); }

// The whole number of periods from fromUs nearest to toUs, and how far toUs is
// from that many periods on.
struct Nearest {
    int64_t Seconds;
    int64_t ErrorUs;
};
static Nearest NearestSecond(int64_t fromUs, int64_t toUs, int64_t periodNs)
{
    const int64_t spanNs = Clamp(toUs - fromUs, -int64_t(COUNT_LIMIT_MS) * 1000, int64_t(COUNT_LIMIT_MS) * 1000) * 1000;
    const int64_t k = FloorDiv(spanNs + periodNs / 2, periodNs);
    return Nearest{k, (spanNs - k * periodNs) / 1000};
}

static void BeginEpoch(SecondTrackRecord& s, int64_t phaseUs, uint64_t nowMs, uint16_t hits)
{
    if (!s.RateKnown)
        s.PeriodNs = TRACK_PERIOD_NOMINAL_NS;
    s.Seeded = true;
    s.LastInGate = true;
    s.PhaseUs = phaseUs;
    s.SecondNumber = 0;
    s.LastHitMs = nowMs;
    s.Hits = hits;
    s.Epoch = s.Epoch + 1 == 0 ? 1 : s.Epoch + 1;
    s.BasePhaseUs = phaseUs;
    s.BaseSecond = 0;
    s.CandidateHits = 0;
}

// The rate of the count, from the phase's progress over a long baseline; a
// quarter of each new measurement is taken, so no single stretch dominates.
static void MeasureRate(SecondTrackRecord& s)
{
    const int64_t seconds = s.SecondNumber - s.BaseSecond;
    if (seconds < TRACK_RATE_BASELINE_S)
        return;
    const int64_t measured = Clamp((s.PhaseUs - s.BasePhaseUs) * 1000 / seconds,
                                   TRACK_PERIOD_NOMINAL_NS - TRACK_PERIOD_LIMIT_NS,
                                   TRACK_PERIOD_NOMINAL_NS + TRACK_PERIOD_LIMIT_NS);
    s.PeriodNs = s.RateKnown ? s.PeriodNs + (measured - s.PeriodNs) / 4 : measured;
    s.RateKnown = true;
    s.BasePhaseUs = s.PhaseUs;
    s.BaseSecond = s.SecondNumber;
}

// A start that misses the phase: does it agree with the ones that missed
// before it? Enough in a row, and they become the phase.
static void FollowCandidate(SecondTrackRecord& s, int64_t nowUs, uint64_t nowMs)
{
    if (s.CandidateHits > 0) {
        const Nearest n = NearestSecond(s.CandidatePhaseUs, nowUs, s.PeriodNs);
        if (n.Seconds >= 1 && Magnitude(n.ErrorUs) <= TRACK_GATE_US) {
            s.CandidatePhaseUs = nowUs - n.ErrorUs + n.ErrorUs / TRACK_PHASE_GAIN;
            if (++s.CandidateHits >= TRACK_SWITCH_HITS)
                BeginEpoch(s, s.CandidatePhaseUs, nowMs, s.CandidateHits);
            return;
        }
    }
    s.CandidatePhaseUs = nowUs;
    s.CandidateHits = 1;
}

SecondStartFit TrackSecondStart(uint64_t nowMs)
{
    SecondTrackRecord& s = SecondTrack;
    const int64_t nowUs = CountUs(nowMs);
    const uint64_t sinceHitMs = nowMs > s.LastHitMs ? nowMs - s.LastHitMs : 0;
    if (!s.Seeded || sinceHitMs > TRACK_COAST_LIMIT_MS) {
        BeginEpoch(s, nowUs, nowMs, 1);
        return SecondStartFit{0, 0, 0};
    }
    const Nearest n = NearestSecond(s.PhaseUs, nowUs, s.PeriodNs);
    const SecondStartFit fit{s.Hits >= TRACK_LOCK_HITS ? s.Epoch : 0, s.SecondNumber + n.Seconds,
                             int32_t(Clamp(n.ErrorUs, INT32_MIN, INT32_MAX))};
    const int64_t gateUs = Clamp(TRACK_GATE_US + int64_t(sinceHitMs / 1000) * TRACK_GATE_WIDEN_US_PER_S,
                                 0, TRACK_GATE_MAX_US);
    const bool inGate = n.Seconds >= 1 && Magnitude(n.ErrorUs) <= gateUs;
    if (inGate && s.LastInGate) {
        s.PhaseUs = nowUs - n.ErrorUs + n.ErrorUs / TRACK_PHASE_GAIN;
        s.SecondNumber += n.Seconds;
        s.LastHitMs = nowMs;
        s.Hits = uint16_t(s.Hits + (s.Hits < 0xFFFF));
        s.CandidateHits = 0;
        MeasureRate(s);
    } else if (!inGate) {
        FollowCandidate(s, nowUs, nowMs);
    }
    s.LastInGate = inGate;
    return fit;
}

void PublishMinuteStamp(const MinuteStamp& stamp)
{
    StampExchange& x = MinuteStamps;
    const uint32_t sequence = x.Sequence.load(std::memory_order_relaxed);
    x.Sequence.store(sequence + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    x.MessageKey.store(stamp.MessageKey, std::memory_order_relaxed);
    x.MarkerMs.store(stamp.MarkerMs, std::memory_order_relaxed);
    x.ErrorUs.store(stamp.ErrorUs, std::memory_order_relaxed);
    x.Epoch.store(stamp.Epoch, std::memory_order_relaxed);
    x.SecondNumber.store(stamp.SecondNumber, std::memory_order_relaxed);
    x.Sequence.store(sequence + 2, std::memory_order_release);
}

bool ReadMinuteStamp(uint32_t wParam, uint32_t lParam, MinuteStamp* stamp)
{
    const StampExchange& x = MinuteStamps;
    const uint32_t before = x.Sequence.load(std::memory_order_acquire);
    MinuteStamp s;
    s.MessageKey = x.MessageKey.load(std::memory_order_relaxed);
    s.MarkerMs = x.MarkerMs.load(std::memory_order_relaxed);
    s.ErrorUs = x.ErrorUs.load(std::memory_order_relaxed);
    s.Epoch = x.Epoch.load(std::memory_order_relaxed);
    s.SecondNumber = x.SecondNumber.load(std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_acquire);
    // A stamp being rewritten belongs to a later minute: this one has none.
    if ((before & 1) != 0 || x.Sequence.load(std::memory_order_relaxed) != before ||
        s.MessageKey != TimeCodeKey(wParam, lParam))
        return false;
    *stamp = s;
    return true;
}

void ResetSecondTracking()
{
    SecondTrack = SecondTrackRecord{};
    PublishMinuteStamp(MinuteStamp{});
}

static void Anchor(ClockGuardRecord& g, uint32_t epoch, int64_t position)
{
    g.Anchored = true;
    g.AnchorEpoch = epoch;
    g.AnchorPosition = position;
    g.HaveHeld = false;
    g.HeldInARow = 0;
}

GuardJudgement GuardJudgeMinute(ClockGuardRecord& g, const MinuteStamp* stamp, int64_t minuteUtcMs,
                                int64_t clockOffsetMs, uint64_t nowMs)
{
    GuardJudgement j{GUARD_HOLD_NO_STAMP, 0, 0, 0, 0};
    if (stamp == nullptr)
        return j;
    if (stamp->Epoch == 0) {
        j.Verdict = GUARD_HOLD_UNSTEADY;
        return j;
    }
    // The marker's second is the tracked one nearest to it. But a marker that
    // came more than half a second early (a noise pulse taken for it after
    // another in the second before) is nearest to the second before its own:
    // the minute's position then says so, one short of the position the
    // guard compares it with.
    const bool reference = g.Anchored && g.AnchorEpoch == stamp->Epoch;
    int64_t position = stamp->SecondNumber - FloorDiv(minuteUtcMs, 1000);
    j.StartUs = CountUs(stamp->MarkerMs) - stamp->ErrorUs;
    const bool heldHere = g.HaveHeld && g.HeldEpoch == stamp->Epoch;
    const int64_t compared = reference ? g.AnchorPosition : g.HeldPosition;
    if (stamp->ErrorUs > 0 && (reference || heldHere) && position + 1 == compared) {
        ++position;
        j.StartUs += TRACK_PERIOD_NOMINAL_NS / 1000;
    }
    // The clock is set to hh:mm:00.000 now: how late is that against the
    // start of the marker's second as the seconds before it place it? Too
    // early, and it is set when that start comes instead.
    const int64_t setLateUs = CountUs(nowMs) - j.StartUs;
    j.SetLateMs = int32_t(Clamp(setLateUs / 1000, INT32_MIN, INT32_MAX));
    const bool timely = setLateUs >= -GUARD_WAIT_LIMIT_US && setLateUs <= GUARD_LATE_LIMIT_US;
    const GuardVerdict mistimed = setLateUs < 0 ? GUARD_HOLD_EARLY : GUARD_HOLD_LATE;
    if (timely && setLateUs < -GUARD_EARLY_LIMIT_US)
        j.WaitMs = uint32_t((-setLateUs - GUARD_WAIT_TARGET_US) / 1000);

    if (reference && position == g.AnchorPosition) {
        if (!timely) {
            j.Verdict = mistimed;
            return j;
        }
        g.HaveHeld = false;
        g.HeldInARow = 0;
        j.Verdict = GUARD_SET_FITS;
        return j;
    }
    if (!reference && Magnitude(clockOffsetMs) <= GUARD_CLOCK_AGREES_MS && timely) {
        Anchor(g, stamp->Epoch, position);
        j.Verdict = GUARD_SET_CLOCK_AGREES;
        return j;
    }
    // Against a position it takes three minutes in a row: two wrong ones
    // rarely agree, three are not seen. With none, two.
    const bool agrees = heldHere && g.HeldPosition == position;
    const uint8_t agreeingNeeded = reference ? 2 : 1;
    if (agrees && timely && g.HeldInARow + 1 >= agreeingNeeded) {
        Anchor(g, stamp->Epoch, position);
        j.Verdict = GUARD_SET_AGREED;
        return j;
    }
    g.HeldInARow = agrees ? uint8_t(g.HeldInARow + (g.HeldInARow < 0xFF)) : 0;
    g.HaveHeld = true;
    g.HeldEpoch = stamp->Epoch;
    g.HeldPosition = position;
    if (reference) {
        j.Verdict = GUARD_HOLD_MOVED;
        j.MovedS = position - g.AnchorPosition;
    } else {
        j.Verdict = timely ? GUARD_HOLD_UNPROVEN : mistimed;
    }
    return j;
}

bool GuardStillTimely(const GuardJudgement& j, uint64_t nowMs)
{
    const int64_t setLateUs = CountUs(nowMs) - j.StartUs;
    return setLateUs >= -GUARD_EARLY_LIMIT_US && setLateUs <= GUARD_LATE_LIMIT_US;
}

int64_t ClockTimeMs(const ClockTime& t)
{
    // Days from the civil calendar (no table), from 2000-01-01; 16-bit fields
    // keep every step within 32 bits.
    const int32_t month = t.Month;
    const int32_t year = int32_t(t.Year) - (month <= 2);
    const int32_t era = (year >= 0 ? year : year - 399) / 400;
    const int32_t yearOfEra = year - era * 400;
    const int32_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + t.Day - 1;
    const int32_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    const int32_t days = era * 146097 + dayOfEra - 730425;  // 0000-03-01 to 2000-01-01
    const int32_t minutes = t.Hour * 60 + t.Minute;
    return (int64_t(days) * 1440 + minutes) * 60000 + int32_t(t.Second) * 1000 + t.Milliseconds;
}

int64_t ClockOffsetMs(const ClockTime& now, const ClockTime& minute)
{
    return ClockTimeMs(now) - ClockTimeMs(minute);
}

int64_t MinuteUtcMs(const ClockTime& minute, StatusFlags status)
{
    // In UTC mode the decoder has cleared the summer flag.
    return ClockTimeMs(minute) - ((status & ST_SUMMER_TIME) ? 3600000 : 0);
}
