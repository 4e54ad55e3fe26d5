// Second starts from edge stamps, and their samples; see seconds.h.
#include "seconds.h"

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
    if (!fits)
        return false;
    if (second >= 60) {
        // The minute is over; a leap second may end it, so only the decoder
        // can say what comes next.
        s.MinuteKnown = false;
        return false;
    }
    s.LastSecond = int8_t(second);
    s.LastSecondNs = at;
    out->Second = uint8_t(second);
    out->RealNs = s.Start.RealNs;
    out->OffsetNs = s.MinuteUtcNs + second * NS_PER_S - s.Start.RealNs;
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
