// The decoder run: the real SampleStep reads the simulated line through the
// platform seam's I/O-port stand-in, at the instants the simulated computer's
// timer ticks, and every posted WM_TIMECODE is judged. Each confirmed minute
// is then handled, at once or late, by the real status report once with no
// guard ("before") and once with the clock guard ("after"), and by the rule
// first proposed ("proposed"), each with its own simulated computer clock that
// the clock calls really move.
// The decoder's state is process-wide, so one run at a time per process; the
// report script runs several processes side by side instead of threads.
#include "simulate.h"

#include <algorithm>
#include <cmath>
#include <deque>

#include "config/config.h"
#include "reception/platform.h"

namespace {

constexpr int64_t NS_PER_MS = 1000000;
constexpr int64_t NS_PER_MINUTE = int64_t(60) * 1000000000;

// One simulated computer clock: BaseErrorNs ahead of true time at BaseUtcNs,
// running DriftPpm fast from there.
struct SimClock {
    int64_t BaseErrorNs;
    int64_t BaseUtcNs;
};

LineModel Line;
uint8_t LineLevel;
RunResult* Result;
bool StopRequested;
bool StopAtFirst;
double DriftPpm;
int64_t StartUtcNs;     // true UTC of the start of the run
int64_t NowUtcNs;       // true UTC now: of the tick running, or of the handling
SimClock* Active;       // the clock the platform stand-ins act on
uint32_t ClockCalls;    // clock calls since the side was handed the message
int64_t FirstTargetNs;  // UTC instant the first of them set
uint64_t LateState;     // draws for late handling
double LateChance;
int64_t LateMaxNs;

int64_t PcUtcNs(const SimClock& c, int64_t utcNs)
{
    return utcNs + c.BaseErrorNs + int64_t(std::llround(double(utcNs - c.BaseUtcNs) * DriftPpm * 1e-6));
}

uint32_t ReadSimulatedLine(uint32_t) { return LineLevel ? 0xFF : 0x00; }

bool SimSetClock(const ClockTime& t)
{
    const int64_t target = UtcOfUkClockTime(t, PcUtcNs(*Active, NowUtcNs));
    if (ClockCalls++ == 0)
        FirstTargetNs = target;
    Active->BaseErrorNs = target - NowUtcNs;
    Active->BaseUtcNs = NowUtcNs;
    return true;
}

ClockTime SimReadClock() { return UkClockTime(PcUtcNs(*Active, NowUtcNs)); }

// The count runs on the crystal from the start of the run, whichever thread
// reads it: the tick's instant on the timer thread, the handling's on the
// user-interface thread.
uint64_t SimMonotonicMs()
{
    const double ns = double(NowUtcNs - StartUtcNs) * (1 + DriftPpm * 1e-6);
    return uint64_t(ns / NS_PER_MS);
}

double Unit(uint64_t r) { return double(r >> 11) * (1.0 / 9007199254740992.0); }

int64_t UniformNs(uint64_t& state, int64_t lo, int64_t hi)
{
    if (hi <= lo)
        return lo;
    return lo + int64_t(SynthNextRandom(state) % uint64_t(hi - lo + 1));
}

// The sampling timer on the computer's crystal, with its stalls: tick k falls
// due at crystal time phase + k periods; a tick due during a stall runs when
// the stall ends, with the others due then (the timer catches up).
struct Timer {
    int64_t PeriodNs;
    int64_t PhaseNs;
    uint64_t Next;         // the next tick's number
    double StallsPerHour;
    int64_t StallMinNs, StallMaxNs;
    uint64_t StallState;
    int64_t StallStartNs;  // the current or next stall, stream time
    int64_t StallEndNs;
    int64_t CountedStallNs;  // the start of the last stall counted
};

void NextStall(Timer& t, int64_t fromNs)
{
    if (!(t.StallsPerHour > 0)) {
        t.StallStartNs = t.StallEndNs = INT64_MAX;
        return;
    }
    double u = Unit(SynthNextRandom(t.StallState));
    u = u > 0 ? u : 1e-300;
    const double wait = -3.6e12 / t.StallsPerHour * std::log(u);
    t.StallStartNs = fromNs + (wait > 4e18 ? int64_t(4e18) : int64_t(wait));
    t.StallEndNs = t.StallStartNs + UniformNs(t.StallState, t.StallMinNs, t.StallMaxNs);
}

// Stream time the next tick runs at, and when it fell due.
int64_t NextTick(Timer& t, int64_t* dueNs)
{
    const double crystal = double(t.PhaseNs) + double(t.Next++) * double(t.PeriodNs);
    const int64_t due = int64_t(std::llround(crystal / (1 + DriftPpm * 1e-6)));
    *dueNs = due;
    while (due >= t.StallEndNs)
        NextStall(t, t.StallEndNs);
    if (due < t.StallStartNs)
        return due;
    if (t.CountedStallNs != t.StallStartNs && Result) {
        t.CountedStallNs = t.StallStartNs;  // a stall holds up at least two ticks
        ++Result->Stalls;
    }
    return t.StallEndNs;
}

// A confirmed minute waiting for the user-interface thread.
struct Pending {
    int64_t HandleUtcNs;
    uint32_t WParam, LParam;
    bool Correct;
};
std::deque<Pending> Queue;

// The side's sleep passes on its own clock and count; the line, and the next
// side, go on from the handling (Handle rewinds).
void SimSleepMs(uint32_t ms) { NowUtcNs += int64_t(ms) * NS_PER_MS; }

enum SideKind { SIDE_BEFORE, SIDE_AFTER, SIDE_PROPOSED, SIDE_COUNT };
struct Side {
    SimClock Clock;
    ClockGuardRecord Guard;
    ProposedRecord Proposed;
};
Side Sides[SIDE_COUNT];

// Hands one confirmed minute to one side and records what it did to that
// side's clock.
void Handle(SideKind kind, ClockResult& out, uint32_t wParam, uint32_t lParam, bool correct)
{
    Side& side = Sides[kind];
    Active = &side.Clock;
    ClockCalls = 0;
    // A side that waits to set the clock waits on its own clock and count; the
    // next side, and the line, go on from the post.
    struct Rewind {
        int64_t Post;
        ~Rewind()
        {
            NowUtcNs = Post;
        }
    } rewind{NowUtcNs};
    char tip[TIP_SIZE];
    if (kind == SIDE_PROPOSED) {
        const int64_t offset = ClockOffsetMs(SimReadClock(), UnpackClockTime(wParam, lParam));
        const uint64_t now = SimMonotonicMs();
        if (ProposedAccepts(side.Proposed, offset, now)) {
            ReportTimeCodeWith(nullptr, wParam, lParam, tip);  // sets the clock
            side.Proposed.HaveSetting = true;
            side.Proposed.LastSettingMs = now;
        }
    } else {
        ReportTimeCodeWith(kind == SIDE_AFTER ? &side.Guard : nullptr, wParam, lParam, tip);
    }
    const bool setBefore = out.FirstSettingNs >= 0;
    out.GenuineAfterFirst += setBefore && correct;
    if (ClockCalls == 0) {
        ++out.Held;
        return;
    }
    if (!setBefore)
        out.FirstSettingNs = LineLastSampleNs(Line);
    ++out.Settings;
    if (!correct) {
        ++out.Wrong;
        return;
    }
    const int64_t error = FirstTargetNs - NowUtcNs;
    out.ErrorsUs.push_back(error / 1000);
    const int64_t fromDelivered = error + Line.Options.DelayNs;
    out.Off += fromDelivered > OFF_NS || fromDelivered < -OFF_NS;
}

void JudgeMessage(uintptr_t, uint32_t wParam, uint32_t lParam)
{
    // Messages without a confirmed minute neither set the clock nor change
    // what the rule remembers, so only confirmed ones are handed on.
    if (!(UnpackStatus(lParam) & ST_TIME_VALID))
        return;
    RunResult& r = *Result;
    const int64_t postNs = LineLastSampleNs(Line);
    const int64_t postUtcNs = LineUtcNs(Line, postNs);
    ++r.Confirmed;
    if (r.FirstConfirmNs < 0)
        r.FirstConfirmNs = postNs;
    if (StopAtFirst)
        StopRequested = true;
    const TimeFields got = UnpackTimeCode(wParam, lParam);
    const bool correct = ConfirmationCorrect(got, postUtcNs, Line.Options.DelayNs);
    // The user-interface thread takes it at once or late, in posting order.
    int64_t handleNs = postUtcNs;
    if (LateChance > 0 && Unit(SynthNextRandom(LateState)) < LateChance) {
        handleNs += UniformNs(LateState, 0, LateMaxNs);
        ++r.LateMessages;
    }
    if (!Queue.empty())
        handleNs = std::max(handleNs, Queue.back().HandleUtcNs);
    Queue.push_back(Pending{handleNs, wParam, lParam, correct});
    if (!correct) {
        if (r.Wrong < KEPT_WRONG)
            r.Wrongs[r.Wrong] = {postUtcNs, got, TrueMinute(postUtcNs, Line.Options.DelayNs)};
        ++r.Wrong;
        return;
    }
    if (r.Confirmed - r.Wrong == 2)
        r.SecondGenuineNs = postNs;
    const int64_t late = postUtcNs - SynthFloorDiv(postUtcNs - Line.Options.DelayNs + NS_PER_MINUTE / 2,
                                                   NS_PER_MINUTE) * NS_PER_MINUTE;
    r.LateSumNs += late;
    r.Early += late < -EARLY_NS;
    if (late > r.LateMaxNs)
        r.LateMaxNs = late;
    if (late < r.LateMinNs)
        r.LateMinNs = late;
}

// Hands the queued minutes due by utcNs to the three sides.
void HandleDue(RunResult& r, int64_t utcNs)
{
    while (!Queue.empty() && Queue.front().HandleUtcNs <= utcNs) {
        const Pending p = Queue.front();
        Queue.pop_front();
        NowUtcNs = p.HandleUtcNs;
        Handle(SIDE_BEFORE, r.Before, p.WParam, p.LParam, p.Correct);
        Handle(SIDE_AFTER, r.After, p.WParam, p.LParam, p.Correct);
        Handle(SIDE_PROPOSED, r.Proposed, p.WParam, p.LParam, p.Correct);
    }
}

void SampleClocks(RunResult& r, int64_t utcNs, bool trace)
{
    ClockResult* out[SIDE_COUNT] = {&r.Before, &r.After, &r.Proposed};
    for (int i = 0; i < SIDE_COUNT; ++i) {
        const int64_t error = PcUtcNs(Sides[i].Clock, utcNs) - utcNs;
        out[i]->ClockErrorUs.push_back(error / 1000);
        if (trace)
            out[i]->TraceMs.push_back(error / NS_PER_MS);
    }
}

}  // namespace

ClockOptions DefaultClockOptions()
{
    ClockOptions o{};
    o.DriftPpm = 20;
    o.StartErrorNs = 1500 * NS_PER_MS;
    o.TimerPhaseNs = -1;
    o.StallsPerHour = 0;
    o.StallMinNs = 50 * NS_PER_MS;
    o.StallMaxNs = 500 * NS_PER_MS;
    o.LateChance = 0;
    o.LateMaxNs = 500 * NS_PER_MS;
    return o;
}

bool ProposedAccepts(ProposedRecord& p, int64_t offsetMs, uint64_t nowMs)
{
    constexpr int64_t toleranceMs = 50;
    constexpr uint64_t windowMs = 10 * 60000;
    const bool recent = p.HaveSetting && nowMs - p.LastSettingMs < windowMs;
    const int64_t size = offsetMs < 0 ? -offsetMs : offsetMs;
    const int64_t fromHeld = offsetMs - p.HeldOffsetMs;
    const bool corroborated = p.HaveHeld && (fromHeld < 0 ? -fromHeld : fromHeld) <= toleranceMs;
    if (!recent || size <= toleranceMs || corroborated) {
        p.HaveHeld = false;
        return true;
    }
    p.HaveHeld = true;
    p.HeldOffsetMs = offsetMs;
    return false;
}

ClockTime UkClockTime(int64_t utcNs)
{
    const int64_t ms = SynthFloorDiv(utcNs, NS_PER_MS);
    bool summer = false;
    const SynthFields f = SynthUkFields(ms, &summer);
    const int64_t inMinute = ms - SynthFloorDiv(ms, 60000) * 60000;
    return ClockTime{uint16_t(2000 + f.Year), f.Month, f.DayOfWeek, f.Day, f.Hour, f.Minute,
                     uint16_t(inMinute / 1000), uint16_t(inMinute % 1000)};
}

int64_t UtcOfUkClockTime(const ClockTime& t, int64_t pcUtcNs)
{
    const int64_t asGmt = SynthUtcMs(t.Year, t.Month, t.Day, t.Hour, t.Minute, t.Second) + t.Milliseconds;
    const int64_t asBst = asGmt - 3600000;
    const bool gmtValid = !SynthBstInForce(asGmt);
    const bool bstValid = SynthBstInForce(asBst);
    const int64_t pcMs = SynthFloorDiv(pcUtcNs, NS_PER_MS);
    int64_t ms;
    if (gmtValid != bstValid)
        ms = gmtValid ? asGmt : asBst;
    else  // the repeated hour (both readings) or the skipped one (neither)
        ms = std::llabs(asGmt - pcMs) <= std::llabs(asBst - pcMs) ? asGmt : asBst;
    return ms * NS_PER_MS;
}

TimeFields TrueMinute(int64_t postUtcNs, int64_t delayNs)
{
    const int64_t marker = SynthFloorDiv(postUtcNs - delayNs + NS_PER_MINUTE / 2, NS_PER_MINUTE);
    bool summer = false;
    const SynthFields t = SynthUkFields(marker * 60000, &summer);
    return TimeFields{t.Minute, t.Hour, t.DayOfWeek, t.Day, t.Month, t.Year};
}

bool ConfirmationCorrect(const TimeFields& fields, int64_t postUtcNs, int64_t delayNs)
{
    return fields == TrueMinute(postUtcNs, delayNs);
}

RunResult RunDecoder(const LineOptions& options, int64_t durationNs, bool stopAtFirst,
                     const ClockOptions& clock, bool trace)
{
    RunResult r{};
    r.FirstConfirmNs = -1;
    r.SecondGenuineNs = -1;
    r.Before.FirstSettingNs = r.After.FirstSettingNs = r.Proposed.FirstSettingNs = -1;
    r.LateMinNs = INT64_MAX;
    Result = &r;
    StopRequested = false;
    StopAtFirst = stopAtFirst;
    DriftPpm = clock.DriftPpm;
    LateChance = clock.LateChance;
    LateMaxNs = clock.LateMaxNs;
    LateState = options.Seed ^ 0x6C617465ull;  // "late"
    Queue.clear();

    ResetSettings();  // port 0x201, bit 7, UK civil time
    ResetDecoder();
    ResetSecondTracking();
    Platform.ReadIoPort = ReadSimulatedLine;
    Platform.PostTimeCode = JudgeMessage;
    Platform.SetClock = SimSetClock;
    Platform.ReadClock = SimReadClock;
    Platform.MonotonicMs = SimMonotonicMs;
    Platform.SleepMs = SimSleepMs;
    LineBegin(Line, options);
    StartUtcNs = LineUtcNs(Line, 0);
    for (Side& side : Sides) {
        side = Side{};
        side.Clock = SimClock{clock.StartErrorNs, StartUtcNs};
    }

    Timer timer{};
    timer.PeriodNs = options.PeriodNs;
    uint64_t phaseState = options.Seed ^ 0x70686173ull;  // "phas"
    timer.PhaseNs = clock.TimerPhaseNs >= 0 ? clock.TimerPhaseNs % options.PeriodNs
                                            : UniformNs(phaseState, 0, options.PeriodNs - 1);
    timer.StallsPerHour = clock.StallsPerHour;
    timer.StallMinNs = clock.StallMinNs;
    timer.StallMaxNs = clock.StallMaxNs;
    timer.StallState = options.Seed ^ 0x7374616Cull;  // "stal"
    timer.CountedStallNs = -1;
    NextStall(timer, 0);

    int64_t nextMinuteNs = 0;
    int64_t lastNs = 0;
    while (!StopRequested) {
        int64_t due = 0;
        const int64_t t = NextTick(timer, &due);
        if (due >= durationNs)
            break;
        HandleDue(r, LineUtcNs(Line, t));
        if (t >= nextMinuteNs) {
            SampleClocks(r, LineUtcNs(Line, t), trace);
            nextMinuteNs += NS_PER_MINUTE;
        }
        LineLevel = LineSampleAt(Line, t);
        NowUtcNs = LineUtcNs(Line, t);
        SampleStep(0);
        lastNs = t;
    }
    HandleDue(r, LineUtcNs(Line, lastNs));  // what was posted by the last tick
    r.Samples = Line.Index;
    r.Hours = double(lastNs) / 3.6e12;
    if (r.LateMinNs == INT64_MAX)
        r.LateMinNs = 0;
    Queue.clear();
    Result = nullptr;
    Active = nullptr;
    return r;
}

double Percentile(std::vector<int64_t> values, double p)
{
    if (values.empty())
        return 0;
    size_t rank = size_t(std::ceil(p / 100.0 * double(values.size())));
    rank = rank == 0 ? 0 : rank - 1;
    rank = std::min(rank, values.size() - 1);
    std::nth_element(values.begin(), values.begin() + long(rank), values.end());
    return double(values[rank]);
}

ErrorSummary SummarizeErrors(const std::vector<int64_t>& errorsUs)
{
    ErrorSummary s{};
    if (errorsUs.empty())
        return s;
    // Sums in long double: a year of minutes of errors of months stays exact
    // enough, and no magnitude is taken of the most negative value.
    long double sum = 0, magnitudeSum = 0;
    std::vector<int64_t> magnitudes;
    magnitudes.reserve(errorsUs.size());
    for (int64_t e : errorsUs) {
        sum += e;
        const int64_t m = e < 0 ? (e == INT64_MIN ? INT64_MAX : -e) : e;
        magnitudeSum += m;
        magnitudes.push_back(m);
    }
    const long double n = (long double)(errorsUs.size());
    s.SignedMeanMs = double(sum / n / 1000);
    s.MagnitudeMeanMs = double(magnitudeSum / n / 1000);
    s.MagnitudeP99Ms = Percentile(std::move(magnitudes), 99) / 1000;
    return s;
}

int64_t WorstSettingUs(const std::vector<int64_t>& errorsUs, int64_t offsetUs)
{
    int64_t worst = 0;
    for (int64_t e : errorsUs) {
        const int64_t x = e + offsetUs;
        if ((x < 0 ? -x : x) > (worst < 0 ? -worst : worst))
            worst = x;
    }
    return worst;
}
