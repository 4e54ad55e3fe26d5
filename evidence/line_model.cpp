// The impaired receiver line: carrier edges from the synthesizer's minute bits,
// then delay and per-edge jitter, glitches, outages and per-sample flips.
//
// Jitter is drawn from a hash of the seed and the edge, not from a running
// generator, so a second's pulses are the same whenever they are looked at and
// the three-second cache needs no ordering care.
#include "line_model.h"

namespace {

constexpr int64_t NS_PER_MS = 1000000;
constexpr int64_t NS_PER_S = 1000000000;

uint64_t Mix(uint64_t x)
{
    // splitmix64's finaliser: a good 64-bit hash.
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// Uniform in [0, 1).
double Unit(uint64_t r) { return double(r >> 11) * (1.0 / 9007199254740992.0); }

// Uniform integer in [lo, hi].
int64_t Uniform(uint64_t r, int64_t lo, int64_t hi)
{
    if (hi <= lo)
        return lo;
    return lo + int64_t(r % uint64_t(hi - lo + 1));
}

// Exponential waiting time with the given mean, in ns.
int64_t Exponential(uint64_t& state, double meanNs)
{
    double u = Unit(SynthNextRandom(state));
    if (u <= 0)
        u = 1e-300;
    const double wait = -meanNs * __builtin_log(u);
    return wait > 4.0e18 ? int64_t(4.0e18) : int64_t(wait);
}

uint64_t Threshold(double p)
{
    if (!(p > 0))
        return 0;
    if (p >= 1)
        return UINT64_MAX;
    return uint64_t(p * 18446744073709551616.0);
}

const SynthSignal PlainSignal = {0, false, 0};

}  // namespace

LineOptions DefaultLineOptions()
{
    LineOptions o{};
    o.StartUtcMs = SynthUtcMs(2026, 12, 7, 4, 16, 5);
    o.PeriodNs = 20 * NS_PER_MS;
    o.DelayNs = 0;
    o.WidthBiasNs = 0;
    o.JitterNs = 0;
    o.Level = 1;
    o.FlipProbability = 0;
    o.GlitchesPerSecond = 0;
    o.GlitchMinNs = 2 * NS_PER_MS;
    o.GlitchMaxNs = 40 * NS_PER_MS;
    o.OutagesPerHour = 0;
    o.OutageMeanNs = 30 * NS_PER_S;
    o.EverySecond = RepeatingNoise{NS_PER_S, 0, 0, 0};
    o.EveryMinute = RepeatingNoise{60 * NS_PER_S, 0, 0, 0};
    o.KeptPairs = 1;
    o.Seed = 1;
    return o;
}

// Pulses of one signal second in stream time.
static SecondPulses PulsesOf(LineModel& line, int64_t second)
{
    const int64_t markerMs = SynthFloorDiv(second, 60) * 60000;
    if (!line.MinuteValid || line.Minute.MarkerUtcMs != markerMs) {
        line.Minute = SynthEncodeMinute(PlainSignal, markerMs);
        line.MinuteValid = true;
        // A minute kept with the one after it gives a decode and its
        // confirmation. A spoiled one fails all four parity groups, so no
        // single misread bit can make it look clean.
        const double keep = line.Options.KeptPairs;
        const uint64_t key = Mix(line.Options.Seed ^ 0x6B656570ull);  // "keep"
        if (keep < 1 && !(Unit(Mix(key ^ uint64_t(markerMs))) < keep) &&
            !(Unit(Mix(key ^ uint64_t(markerMs + 60000))) < keep))
            line.Minute.B ^= uint64_t(0xF) << 54;
    }
    int16_t start[2], end[2];
    SecondPulses p{};
    p.Second = second;
    p.Count = SynthSecondPulses(line.Minute, unsigned(second - markerMs / 1000), start, end);
    // Stream time of the second's start as the line shows it.
    const int64_t base = (second * 1000000 - line.StartSignalUs) * 1000 + line.Options.DelayNs;
    const int64_t j = line.Options.JitterNs;
    for (unsigned i = 0; i < p.Count; ++i) {
        int64_t s = base + start[i] * NS_PER_MS;
        int64_t e = base + end[i] * NS_PER_MS;
        if (j > 0) {
            const uint64_t key = Mix(line.Options.Seed ^ 0x6A6974ull) ^ (uint64_t(second) << 2);
            s += Uniform(Mix(key + 2 * i), -j, j);
            e += Uniform(Mix(key + 2 * i + 1), -j, j);
        }
        p.Start[i] = s;
        p.End[i] = e + line.Options.WidthBiasNs;  // end <= start: the pulse vanished
    }
    return p;
}

void LineBegin(LineModel& line, const LineOptions& options)
{
    line = LineModel{};
    line.Options = options;
    line.StartSignalUs = options.StartUtcMs * 1000;
    line.FlipState = options.Seed ^ 0x666C6970ull;    // "flip"
    line.GlitchState = options.Seed ^ 0x676C6974ull;  // "glit"
    line.OutageState = options.Seed ^ 0x6F757461ull;  // "outa"
    line.StaticState = options.Seed ^ 0x73746174ull;  // "stat"
    line.FlipThreshold = Threshold(options.FlipProbability);
    for (auto& c : line.Cache)
        c.Second = INT64_MIN;
    line.GlitchStartNs = line.GlitchEndNs = INT64_MAX;
    if (options.GlitchesPerSecond > 0) {
        line.GlitchStartNs = Exponential(line.GlitchState, NS_PER_S / options.GlitchesPerSecond);
        line.GlitchEndNs = line.GlitchStartNs +
                           Uniform(SynthNextRandom(line.GlitchState), options.GlitchMinNs,
                                   options.GlitchMaxNs);
    }
    line.OutageStartNs = line.OutageEndNs = INT64_MAX;
    if (options.OutagesPerHour > 0) {
        line.OutageStartNs = Exponential(line.OutageState, 3600.0 * NS_PER_S / options.OutagesPerHour);
        const int64_t m = options.OutageMeanNs;
        line.OutageEndNs = line.OutageStartNs + Uniform(SynthNextRandom(line.OutageState), m / 2, m + m / 2);
    }
}

int64_t LineLastSampleNs(const LineModel& line) { return line.LastNs; }

bool RepeatingNoiseAt(const RepeatingNoise& n, int64_t startUtcMs, int64_t tNs)
{
    if (n.WidthNs <= 0 || n.PeriodNs <= 0)
        return false;
    // The source's own time: it runs DriftPpm fast from the start of the stream.
    const int64_t drift = int64_t(__builtin_llround(double(tNs) * n.DriftPpm * 1e-6));
    const int64_t at = startUtcMs % (n.PeriodNs / NS_PER_MS) * NS_PER_MS + tNs + drift - n.PlaceNs;
    const int64_t inPeriod = at - SynthFloorDiv(at, n.PeriodNs) * n.PeriodNs;
    return inPeriod < n.WidthNs;
}

uint8_t LineNext(LineModel& line)
{
    return LineSampleAt(line, int64_t(line.Index) * line.Options.PeriodNs);
}

uint8_t LineSampleAt(LineModel& line, int64_t t)
{
    const LineOptions& o = line.Options;
    ++line.Index;
    line.LastNs = t;

    // The second whose nominal span holds t - delay, and its neighbours: jitter
    // can move an edge across the boundary of its second.
    const int64_t signalUs = line.StartSignalUs + SynthFloorDiv(t - o.DelayNs, 1000);
    const int64_t second = SynthFloorDiv(signalUs, 1000000);
    bool off = false;
    for (int64_t s = second - 1; s <= second + 1; ++s) {
        SecondPulses& c = line.Cache[uint64_t(s) % 3];
        if (c.Second != s)
            c = PulsesOf(line, s);
        for (unsigned i = 0; i < c.Count; ++i)
            off |= t >= c.Start[i] && t < c.End[i];
    }
    const uint8_t level = o.Level ? 1 : 0;
    uint8_t bit = off ? uint8_t(level ^ 1) : level;

    // A glitch inverts the line for its whole span.
    while (t >= line.GlitchEndNs) {
        line.GlitchStartNs = line.GlitchEndNs + Exponential(line.GlitchState, NS_PER_S / o.GlitchesPerSecond);
        line.GlitchEndNs = line.GlitchStartNs + Uniform(SynthNextRandom(line.GlitchState),
                                                        o.GlitchMinNs, o.GlitchMaxNs);
    }
    if (t >= line.GlitchStartNs)
        bit ^= 1;
    if (RepeatingNoiseAt(o.EverySecond, o.StartUtcMs, t))
        bit ^= 1;
    if (RepeatingNoiseAt(o.EveryMinute, o.StartUtcMs, t))
        bit ^= 1;

    // During an outage the receiver's AGC turns up static: a random level.
    while (t >= line.OutageEndNs) {
        line.OutageStartNs = line.OutageEndNs +
                             Exponential(line.OutageState, 3600.0 * NS_PER_S / o.OutagesPerHour);
        const int64_t m = o.OutageMeanNs;
        line.OutageEndNs = line.OutageStartNs + Uniform(SynthNextRandom(line.OutageState), m / 2, m + m / 2);
    }
    if (t >= line.OutageStartNs)
        bit = uint8_t(SynthNextRandom(line.StaticState) >> 63);

    // One draw per sample whatever the outcome, so turning the other
    // impairments on does not move the flips.
    if (SynthNextRandom(line.FlipState) < line.FlipThreshold)
        bit ^= 1;
    return bit;
}
