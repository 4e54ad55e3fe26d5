// Second starts from edge stamps, and their samples; see seconds.h.
#include "seconds.h"

bool PhaseFit(PhaseRecord& p, int64_t rawNs, int64_t* fittedNs)
{
    if (p.Fitted == 0 || p.Misfits >= PHASE_MISFITS_TO_RESTART) {
        p = PhaseRecord{1, rawNs, double(NS_PER_S), 0};
        *fittedNs = rawNs;
        return true;
    }
    const double seconds = double(rawNs - p.StartNs) / p.PeriodNs;
    const int64_t whole = int64_t(seconds + 0.5);
    if (whole < 1)
        return false;  // the same second again
    const int64_t predicted = p.StartNs + int64_t(double(whole) * p.PeriodNs + 0.5);
    const int64_t miss = rawNs - predicted;
    if (miss > PHASE_GATE_NS || miss < -PHASE_GATE_NS) {
        ++p.Misfits;
        return false;
    }
    // The gains of a least-squares line through n points (exact while they
    // grow), held at those of PHASE_MEMORY points after that.
    const double n = double(p.Fitted < PHASE_MEMORY ? p.Fitted + 1 : PHASE_MEMORY);
    const double alpha = 2 * (2 * n - 1) / (n * (n + 1));
    const double beta = 6 / (n * (n + 1));
    p.StartNs = predicted + int64_t(alpha * double(miss));
    p.PeriodNs += beta * double(miss) / double(whole);
    ++p.Fitted;
    p.Misfits = 0;
    *fittedNs = p.StartNs;
    return true;
}

void SecondsReset(SecondsRecord& s)
{
    s = SecondsRecord{};
    s.LastSecond = -1;
}

static int64_t Magnitude(int64_t x) { return x < 0 ? -x : x; }

// Whole seconds nearest to ns.
static int64_t RoundSeconds(int64_t ns)
{
    return ns >= 0 ? (ns + NS_PER_S / 2) / NS_PER_S : -((-ns + NS_PER_S / 2) / NS_PER_S);
}

// The start in hand begins a second: which one, and its sample.
static bool Settle(SecondsRecord& s, SecondSample* out)
{
    s.HaveStart = false;
    int64_t fittedRawNs;
    const bool onLine = PhaseFit(s.Phase, s.Start.RawNs, &fittedRawNs);
    if (!s.MinuteKnown)
        return false;
    const int64_t at = s.Start.MonoNs;
    int64_t second;
    bool fits;
    if (s.LastSecond >= 0) {
        const int64_t since = at - s.LastSecondNs;
        second = s.LastSecond + RoundSeconds(since);
        const int64_t miss = since - (second - s.LastSecond) * NS_PER_S;
        fits = second > s.LastSecond &&
               Magnitude(miss) <= SECOND_TOLERANCE_NS + Magnitude(since) / DRIFT_DIVISOR;
    } else {
        // Nothing matched yet: the marker's span is the reference.
        const int64_t middle = s.MarkerFromNs + (s.MarkerToNs - s.MarkerFromNs) / 2;
        second = RoundSeconds(at - middle);
        const int64_t marker = at - second * NS_PER_S;  // where this start puts the marker
        const int64_t slack = SECOND_TOLERANCE_NS + Magnitude(at - middle) / DRIFT_DIVISOR;
        fits = second >= 0 && marker >= s.MarkerFromNs - slack && marker <= s.MarkerToNs + slack;
    }
    if (!fits || !onLine)
        return false;
    if (second >= 60) {
        // The minute is over; a leap second may end it, so only the decoder
        // can say what comes next.
        s.MinuteKnown = false;
        return false;
    }
    s.LastSecond = int8_t(second);
    s.LastSecondNs = at;
    // The system time where the line puts this start: the edge's own stamp
    // moved by the line's correction (milliseconds, so the two clocks' rates
    // do not matter).
    out->Second = uint8_t(second);
    out->RealNs = s.Start.RealNs + (fittedRawNs - s.Start.RawNs);
    out->OffsetNs = s.MinuteUtcNs + second * NS_PER_S - out->RealNs;
    return true;
}

bool SecondsEdge(SecondsRecord& s, const LineEdge& e, uint8_t offLevel, SecondSample* out)
{
    bool settled = false;
    if (s.HaveStart) {
        // The pulse held long enough, or a change cut it short (a glitch, or
        // changes nobody stamped): only the first starts a second.
        if (e.Missed == 0 && e.MonoNs - s.Start.MonoNs >= PULSE_SURE_NS)
            settled = Settle(s, out);
        else
            s.HaveStart = false;
    }
    const bool quietOn = s.LevelKnown && s.Level != offLevel && e.Missed == 0 &&
                         e.MonoNs - s.LevelSinceNs >= QUIET_ON_NS;
    if (quietOn && e.Level == offLevel) {
        s.HaveStart = true;
        s.Start = e;
    }
    s.LevelKnown = true;
    s.Level = e.Level;
    s.LevelSinceNs = e.MonoNs;
    return settled;
}

bool SecondsSettle(SecondsRecord& s, int64_t nowNs, SecondSample* out)
{
    if (!s.HaveStart || nowNs - s.Start.MonoNs < PULSE_SURE_NS)
        return false;
    return Settle(s, out);
}

void SecondsKnowMinute(SecondsRecord& s, int64_t minuteUtcNs, int64_t fromNs, int64_t toNs)
{
    s.MinuteKnown = true;
    s.MinuteUtcNs = minuteUtcNs;
    s.MarkerFromNs = fromNs;
    s.MarkerToNs = toNs;
    s.LastSecond = -1;
    s.LastSecondNs = 0;
}

int64_t SecondsMarkerNs(const SecondsRecord& s, int64_t fromNs, int64_t toNs)
{
    if (s.HaveStart && s.Start.MonoNs >= fromNs - SECOND_TOLERANCE_NS &&
        s.Start.MonoNs <= toNs + SECOND_TOLERANCE_NS)
        return s.Start.MonoNs;
    return fromNs + (toNs - fromNs) / 2;
}
