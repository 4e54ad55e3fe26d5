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

#include "../config/config.h"

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
    s.RecentUs = 0;
    s.SplitHits = 0;
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

// A start that moved the phase, errorUs from where the phase put it. The gain
// falls from 1/TRACK_PHASE_GAIN to 1/TRACK_GAIN_MAX as the starts add up. The
// recent starts' own mean says when the seconds themselves moved (the count
// jumped, the receiver changed): the gain then rises again.
static void FollowStart(SecondTrackRecord& s, int64_t nowUs, int64_t errorUs, int64_t seconds, uint64_t nowMs)
{
    // The gain falls only once the rate is known: a phase that lags a rate
    // error more and more as its gain falls would teach the rate wrong.
    const int64_t gain = s.RateKnown ? Clamp(TRACK_PHASE_GAIN + s.Hits / TRACK_GEAR_HITS, TRACK_PHASE_GAIN,
                                             TRACK_GAIN_MAX)
                                     : TRACK_PHASE_GAIN;
    s.PhaseUs = nowUs - errorUs + errorUs / gain;
    s.SecondNumber += seconds;
    s.LastHitMs = nowMs;
    s.Hits = uint16_t(s.Hits + (s.Hits < 0xFFFF));
    s.CandidateHits = 0;
    s.RecentUs += (errorUs - s.RecentUs) / TRACK_PHASE_GAIN;
    s.SplitHits = Magnitude(s.RecentUs) > TRACK_SPLIT_US ? uint16_t(s.SplitHits + 1) : 0;
    if (s.SplitHits >= TRACK_REGEAR_HITS) {
        s.Hits = TRACK_LOCK_HITS;
        s.SplitHits = 0;
        s.BasePhaseUs = s.PhaseUs;
        s.BaseSecond = s.SecondNumber;
        return;
    }
    MeasureRate(s);
}

// A start that misses the phase: does it agree with the ones that missed
// before it? Enough in a row, and they become the phase.
static void FollowCandidate(SecondTrackRecord& s, int64_t nowUs, uint64_t nowMs)
{
    if (s.CandidateHits > 0) {
        const Nearest n = NearestSecond(s.CandidatePhaseUs, nowUs, s.RateKnown ? s.PeriodNs : TRACK_PERIOD_NOMINAL_NS);
        if (n.Seconds >= 1 && n.Seconds <= TRACK_SWITCH_GAP_S && Magnitude(n.ErrorUs) <= TRACK_GATE_US) {
            s.CandidatePhaseUs = nowUs - n.ErrorUs + n.ErrorUs / TRACK_PHASE_GAIN;
            if (++s.CandidateHits >= TRACK_SWITCH_HITS)
                BeginEpoch(s, s.CandidatePhaseUs, nowMs, s.CandidateHits);
            return;
        }
    }
    s.CandidatePhaseUs = nowUs;
    s.CandidateHits = 1;
}

// How long the numbering of seconds outlasts the last start that moved the
// phase: longer once the count's rate is known.
static uint64_t CoastLimitMs(const SecondTrackRecord& s)
{
    return s.RateKnown ? TRACK_COAST_KNOWN_MS : TRACK_COAST_LIMIT_MS;
}

// A start whose pulse lasted: it may move the phase.
static void TrainOnStart(SecondTrackRecord& s, uint64_t nowMs)
{
    const int64_t nowUs = CountUs(nowMs);
    const uint64_t sinceHitMs = nowMs > s.LastHitMs ? nowMs - s.LastHitMs : 0;
    // No phase, or one followed too long ago to number the seconds by: only
    // starts that agree with each other begin one (a single start may be the
    // marker's pulse seen late, or a burst of static).
    if (!s.Seeded || sinceHitMs > CoastLimitMs(s)) {
        FollowCandidate(s, nowUs, nowMs);
        return;
    }
    const Nearest n = NearestSecond(s.PhaseUs, nowUs, s.PeriodNs);
    const int64_t gateUs = Clamp(TRACK_GATE_US + int64_t(sinceHitMs / 1000) * TRACK_GATE_WIDEN_US_PER_S,
                                 0, TRACK_GATE_MAX_US);
    const bool inGate = n.Seconds >= 1 && Magnitude(n.ErrorUs) <= gateUs;
    if (inGate && s.LastInGate)
        FollowStart(s, nowUs, n.ErrorUs, n.Seconds, nowMs);
    else if (!inGate)
        FollowCandidate(s, nowUs, nowMs);
    s.LastInGate = inGate;
}

SecondStartFit TrackSecondStart(uint64_t nowMs)
{
    SecondTrackRecord& s = SecondTrack;
    s.PendingMs = nowMs;
    s.PendingLooked = 0;
    s.PendingPulses = 0;
    s.Pending = true;
    const uint64_t sinceHitMs = nowMs > s.LastHitMs ? nowMs - s.LastHitMs : 0;
    if (!s.Seeded || s.Hits < TRACK_LOCK_HITS || sinceHitMs > CoastLimitMs(s) ||
        Magnitude(s.RecentUs) > TRACK_SPLIT_US)
        return SecondStartFit{0, 0, 0, 0};
    const Nearest n = NearestSecond(s.PhaseUs, CountUs(nowMs), s.PeriodNs);
    return SecondStartFit{s.Epoch, s.SecondNumber + n.Seconds, int32_t(Clamp(n.ErrorUs, INT32_MIN, INT32_MAX)),
                          int32_t(s.RecentUs)};
}

// A start whose next sample is no pulse but the two after it are: either a
// pulse with one sample lost to noise, or noise just before a pulse that began
// two samples later. The seconds followed so far say which.
static uint64_t NearerStartMs(const SecondTrackRecord& s, uint64_t startMs, uint64_t laterMs)
{
    if (!s.Seeded)
        return startMs;
    const int64_t startErrorUs = NearestSecond(s.PhaseUs, CountUs(startMs), s.PeriodNs).ErrorUs;
    const int64_t laterErrorUs = NearestSecond(s.PhaseUs, CountUs(laterMs), s.PeriodNs).ErrorUs;
    return Magnitude(laterErrorUs) < Magnitude(startErrorUs) ? laterMs : startMs;
}

void TrackSample(bool pulse, uint64_t nowMs)
{
    SecondTrackRecord& s = SecondTrack;
    if (!s.Pending)
        return;
    if (++s.PendingLooked == 1)
        s.PendingFirstPulse = pulse;
    else if (s.PendingLooked == 2)
        s.PendingLaterMs = nowMs;
    s.PendingPulses = uint8_t(s.PendingPulses + pulse);
    if (s.PendingPulses >= TRACK_PULSE_NEEDED) {
        s.Pending = false;
        TrainOnStart(s, s.PendingFirstPulse ? s.PendingMs : NearerStartMs(s, s.PendingMs, s.PendingLaterMs));
    } else if (s.PendingLooked - s.PendingPulses > TRACK_PULSE_LOOK - TRACK_PULSE_NEEDED) {
        s.Pending = false;
    }
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
    x.RecentUs.store(stamp.RecentUs, std::memory_order_relaxed);
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
    s.RecentUs = x.RecentUs.load(std::memory_order_relaxed);
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

// The minute sets the clock: it becomes the reference of its epoch, and of
// the count for the epochs after it. A minute the count led to carries on the
// count's chain of minutes, which gives the count's rate; any other begins it.
static void Anchor(ClockGuardRecord& g, uint32_t epoch, int64_t position, int64_t startUs, int64_t minuteUtcMs,
                   bool byCount)
{
    g.Anchored = true;
    g.AnchorEpoch = epoch;
    g.AnchorPosition = position;
    g.HaveHeld = false;
    g.HeldInARow = 0;
    g.UsedStartUs = startUs;
    g.UsedUtcMs = minuteUtcMs;
    if (!byCount) {
        g.ChainStartUs = startUs;
        g.ChainUtcMs = minuteUtcMs;
    }
}

// Whether a minute (its marker's predicted start on the count, its UTC start)
// lands where an earlier one predicts it by the count alone, at any crystal's
// rate error.
static bool CountAgrees(int64_t earlierStartUs, int64_t earlierUtcMs, int64_t startUs, int64_t minuteUtcMs)
{
    if (startUs < earlierStartUs)
        return false;
    const int64_t countMs = Clamp((startUs - earlierStartUs) / 1000, 0, int64_t(COUNT_LIMIT_MS));
    const int64_t allowanceMs = GUARD_COUNT_MARGIN_MS + countMs * GUARD_COUNT_RATE_PPM / 1000000;
    return allowanceMs <= GUARD_COUNT_TRUST_MS && Magnitude(minuteUtcMs - earlierUtcMs - countMs) <= allowanceMs;
}

// Where the minute lands against the last one used, in seconds (0: where it
// predicts): by the numbered seconds within its epoch, by the count across
// epochs while the count's possible rate error keeps that within
// GUARD_COUNT_TRUST_MS. False: nothing to compare with.
static bool MovedFromReference(const ClockGuardRecord& g, const MinuteStamp& stamp, int64_t position,
                               int64_t startUs, int64_t minuteUtcMs, int64_t* movedS)
{
    if (g.Anchored && g.AnchorEpoch == stamp.Epoch) {
        *movedS = position - g.AnchorPosition;
        return true;
    }
    if (!g.Anchored || startUs < g.UsedStartUs)
        return false;
    // The count's rate from the chain of minutes it led to, once they span
    // long enough; any crystal's limit before.
    int64_t ratePpm = 0, uncertainPpm = GUARD_COUNT_RATE_PPM;
    const int64_t chainMs = g.UsedUtcMs - g.ChainUtcMs;
    if (chainMs >= GUARD_CHAIN_MIN_MS) {
        const int64_t limitMs = chainMs / (1000000 / GUARD_COUNT_RATE_PPM);
        ratePpm = Clamp((g.UsedStartUs - g.ChainStartUs) / 1000 - chainMs, -limitMs, limitMs) * 1000 /
                  (chainMs / 1000);
        uncertainPpm = GUARD_COUNT_WANDER_PPM + GUARD_CHAIN_SCATTER_MS * 1000000 / chainMs;
    }
    const int64_t countMs = Clamp((startUs - g.UsedStartUs) / 1000, 0, int64_t(COUNT_LIMIT_MS));
    const int64_t elapsedMs = countMs - countMs * ratePpm / 1000000;
    const int64_t allowanceMs = GUARD_COUNT_MARGIN_MS + countMs * uncertainPpm / 1000000;
    if (allowanceMs > GUARD_COUNT_TRUST_MS)
        return false;
    const int64_t offMs = minuteUtcMs - (g.UsedUtcMs + elapsedMs);
    *movedS = Magnitude(offMs) <= allowanceMs ? 0 : FloorDiv(offMs + 500, 1000);
    return true;
}

// Setting the clock setLateUs after the marker's predicted start: no more than
// earlyLimitUs early and GUARD_LATE_LIMIT_US late against that start and
// against where the recent starts put it.
static bool Timely(const GuardJudgement& j, int64_t setLateUs, int64_t earlyLimitUs)
{
    const int64_t recentUs = j.RecentUs;
    return setLateUs - (recentUs > 0 ? recentUs : 0) >= -earlyLimitUs &&
           setLateUs - (recentUs < 0 ? recentUs : 0) <= GUARD_LATE_LIMIT_US;
}

// A held minute: how many held just before it agree with it (at one position
// of one epoch, or across epochs where the count between them says so), and
// it becomes the last of the run.
static uint8_t HoldInRun(ClockGuardRecord& g, uint32_t epoch, int64_t position, int64_t startUs, int64_t minuteUtcMs)
{
    const bool agrees = g.HaveHeld && (epoch != 0 && g.HeldEpoch == epoch
                                           ? g.HeldPosition == position
                                           : CountAgrees(g.HeldStartUs, g.HeldUtcMs, startUs, minuteUtcMs));
    g.HeldInARow = agrees ? uint8_t(g.HeldInARow + (g.HeldInARow < 0xFF)) : 0;
    if (!agrees)
        g.HeldRunStartUs = startUs;
    g.HaveHeld = true;
    g.HeldEpoch = epoch;
    g.HeldPosition = position;
    g.HeldStartUs = startUs;
    g.HeldUtcMs = minuteUtcMs;
    return g.HeldInARow;
}

GuardJudgement GuardJudgeMinute(ClockGuardRecord& g, const MinuteStamp* stamp, int64_t minuteUtcMs,
                                int64_t clockOffsetMs, uint64_t nowMs)
{
    GuardJudgement j{GUARD_HOLD_NO_STAMP, 0, 0, 0, 0, 0, 0};
    if (minuteUtcMs == GUARD_NOT_A_MINUTE) {
        j.Verdict = GUARD_HOLD_WEEKDAY;
        return j;
    }
    if (stamp == nullptr)
        return j;
    if (stamp->Epoch == 0) {
        // No seconds to time it by; the count still places it within a
        // fraction of a second, for the minutes after it to agree with.
        HoldInRun(g, 0, 0, CountUs(stamp->MarkerMs), minuteUtcMs);
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
    // early, and it is set when that start comes instead; later than the
    // window, and the time since that start is added (whole ms, so that the
    // clock lands just after the start, as a timely setting does).
    j.RecentUs = stamp->RecentUs;
    const int64_t setLateUs = CountUs(nowMs) - j.StartUs;
    j.SetLateMs = int32_t(Clamp(setLateUs / 1000, INT32_MIN, INT32_MAX));
    if (setLateUs - (j.RecentUs < 0 ? j.RecentUs : 0) > GUARD_LATE_LIMIT_US && setLateUs < GUARD_CARRY_LIMIT_US)
        j.CarryMs = uint32_t(setLateUs / 1000);
    const int64_t earlyUs = setLateUs - (j.RecentUs > 0 ? j.RecentUs : 0);
    const bool timely = Timely(j, setLateUs - int64_t(j.CarryMs) * 1000, GUARD_WAIT_LIMIT_US);
    const GuardVerdict mistimed = setLateUs < 0 ? GUARD_HOLD_EARLY : GUARD_HOLD_LATE;
    if (timely && earlyUs < -GUARD_EARLY_LIMIT_US)
        j.WaitMs = uint32_t((-earlyUs - GUARD_WAIT_TARGET_US) / 1000);

    // Where the last minute used predicts it, or where the clock already is.
    int64_t movedS = 0;
    const bool known = MovedFromReference(g, *stamp, position, j.StartUs, minuteUtcMs, &movedS);
    const bool fits = known && movedS == 0;
    if (fits || Magnitude(clockOffsetMs) <= GUARD_CLOCK_AGREES_MS) {
        if (!timely) {
            j.Verdict = mistimed;
            return j;
        }
        Anchor(g, stamp->Epoch, position, j.StartUs, minuteUtcMs, fits);
        j.Verdict = fits ? GUARD_SET_FITS : GUARD_SET_CLOCK_AGREES;
        return j;
    }
    // Anywhere else it takes held minutes in a row that agree. Nothing used
    // yet: the one before it (the second confirmed minute sets the clock). A
    // leap second, a minute the clock is near, a reference the count no longer
    // reaches: the two before it. A minute or more from the reference and from
    // the clock: the two before it and at least GUARD_FAR_RUN_US of the count,
    // for a run of wrong minutes that the decoder's prediction makes agree ends
    // within minutes, and the true minutes do not.
    const uint8_t inARow = HoldInRun(g, stamp->Epoch, position, j.StartUs, minuteUtcMs);
    const bool farMove = known && Magnitude(movedS) > GUARD_SMALL_MOVE_S;
    const bool proven = !g.Anchored ? inARow >= 1
                                    : inARow >= 2 && (!farMove || Magnitude(clockOffsetMs) <= GUARD_CLOCK_NEAR_MS ||
                                                      j.StartUs - g.HeldRunStartUs >= GUARD_FAR_RUN_US);
    if (proven && timely) {
        Anchor(g, stamp->Epoch, position, j.StartUs, minuteUtcMs, false);
        j.Verdict = GUARD_SET_AGREED;
        return j;
    }
    if (known) {
        j.Verdict = GUARD_HOLD_MOVED;
        j.MovedS = movedS;
    } else {
        j.Verdict = timely ? GUARD_HOLD_UNPROVEN : mistimed;
    }
    return j;
}

bool GuardStillTimely(const GuardJudgement& j, uint64_t nowMs)
{
    return Timely(j, CountUs(nowMs) - j.StartUs, GUARD_EARLY_LIMIT_US);
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

// Day of the week of a day counted from 2000-01-01, a Saturday.
static int64_t Weekday(int64_t ms) { return (FloorDiv(ms, 86400000) % 7 + 13) % 7; }

// 01:00 UTC on the last Sunday of a month of 31 days: where UK summer time
// begins (March) and ends (October).
static int64_t LastSundayOneAm(uint16_t year, uint16_t month)
{
    const int64_t lastDayMs = ClockTimeMs(ClockTime{year, month, 0, 31, 1, 0, 0, 0});
    return lastDayMs - Weekday(lastDayMs) * 86400000;
}

static bool UkSummerTimeAt(int64_t utcMs, uint16_t year)
{
    return utcMs >= LastSundayOneAm(year, 3) && utcMs < LastSundayOneAm(year, 10);
}

int64_t MinuteUtcMs(const ClockTime& minute, StatusFlags status)
{
    const int64_t ms = ClockTimeMs(minute);
    if (minute.DayOfWeek != Weekday(ms))
        return GUARD_NOT_A_MINUTE;
    // In UTC mode the decoder has made it UTC already.
    if (UTCFlag.load(std::memory_order_relaxed) != 0)
        return ms;
    // UK civil time: GMT or BST as the date says. The summer bit is in no
    // parity group, so the decoder's flag decides only where the date cannot:
    // in the hour the clocks repeat in October (and the one they skip in March).
    const bool gmtFits = !UkSummerTimeAt(ms, minute.Year);
    const bool bstFits = UkSummerTimeAt(ms - 3600000, minute.Year);
    const bool summer = gmtFits == bstFits ? (status & ST_SUMMER_TIME) != 0 : bstFits;
    return ms - (summer ? 3600000 : 0);
}
