// The simulated receiver line's changes; see line_edges.h. Two streams of
// toggles, the carrier's pulses and the glitches, merged in time order: a
// glitch inverts the line, so two toggles at the same instant cancel.
#include "line_edges.h"

#include <cmath>

namespace {

uint64_t Mix(uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;  // splitmix64's finaliser
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

double Unit(uint64_t r) { return (double(r >> 11) + 0.5) * (1.0 / 9007199254740992.0); }

// A standard normal draw from two hashes (Box-Muller), cut at 4.
double Normal(uint64_t key)
{
    const double z = std::sqrt(-2.0 * std::log(Unit(Mix(key)))) *
                     std::cos(6.283185307179586 * Unit(Mix(key ^ 0x5DEECE66Dull)));
    return z > 4 ? 4 : z < -4 ? -4 : z;
}

const SynthSignal PlainSignal = {0, false, 0};

// Floor division for negative times.
int64_t FloorDiv(int64_t a, int64_t b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); }

}  // namespace

EdgeLineOptions DefaultEdgeLineOptions()
{
    EdgeLineOptions o{};
    o.GlitchMinNs = 2000000;
    o.GlitchMaxNs = 40000000;
    o.Level = 1;
    o.Seed = 1;
    return o;
}

// Queues the pulse changes of signal second s, in order, none before the
// last one handed on (jitter may not swap a pulse's ends or two pulses).
static void QueueSecond(EdgeLine& line, int64_t s)
{
    const EdgeLineOptions& o = line.Options;
    const int64_t markerMs = FloorDiv(s, 60) * 60000;
    if (!line.MinuteValid || line.Minute.MarkerUtcMs != markerMs) {
        line.Minute = SynthEncodeMinute(PlainSignal, markerMs);
        line.MinuteValid = true;
    }
    int16_t start[2], end[2];
    const uint8_t pulses = SynthSecondPulses(line.Minute, unsigned(s - markerMs / 1000), start, end);
    line.Second = s;
    line.PulseCount = 0;
    line.PulseIndex = 0;
    int64_t last = line.LastPulseNs;
    for (uint8_t i = 0; i < pulses; ++i) {
        const uint64_t key = (uint64_t(s) << 3 | uint64_t(2 * i)) ^ (o.Seed * 0x9E3779B97F4A7C15ull);
        const double jitter = double(o.JitterNs);
        int64_t on = s * 1000000000 + start[i] * 1000000 + o.DelayNs + int64_t(jitter * Normal(key));
        int64_t off = s * 1000000000 + end[i] * 1000000 + o.DelayNs + o.BiasNs +
                      int64_t(jitter * Normal(key + 1));
        if (off <= on)
            continue;  // the pulse vanished
        if (on <= last) {
            if (line.PulseCount > 0 && off > last) {
                // It overlaps the pulse before: the two merge.
                line.Pulse[line.PulseCount - 1] = off;
                last = off;
            }
            continue;
        }
        line.Pulse[line.PulseCount++] = on;
        line.Pulse[line.PulseCount++] = off;
        last = off;
    }
}

static void DrawGlitch(EdgeLine& line, int64_t afterNs)
{
    const EdgeLineOptions& o = line.Options;
    const uint64_t key = Mix(o.Seed ^ 0x676C69746368ull) + line.GlitchIndex++;
    const double wait = -std::log(Unit(Mix(key))) / o.GlitchesPerSecond * 1e9;
    const int64_t span = o.GlitchMaxNs > o.GlitchMinNs ? o.GlitchMaxNs - o.GlitchMinNs : 0;
    line.GlitchNs[0] = afterNs + (wait > 4e18 ? int64_t(4e18) : int64_t(wait)) + 1;
    line.GlitchNs[1] =
        line.GlitchNs[0] + o.GlitchMinNs + int64_t(Mix(key + 1) % uint64_t(span + 1));
    line.GlitchSide = 0;
}

// The next pulse change (past the queued second, the following ones).
static int64_t PeekPulse(EdgeLine& line)
{
    while (line.PulseIndex >= line.PulseCount)
        QueueSecond(line, line.Second + 1);
    return line.Pulse[line.PulseIndex];
}

static int64_t PeekGlitch(const EdgeLine& line)
{
    return line.Options.GlitchesPerSecond > 0 ? line.GlitchNs[line.GlitchSide] : INT64_MAX;
}

static void TakeGlitch(EdgeLine& line)
{
    if (line.GlitchSide == 0)
        line.GlitchSide = 1;
    else
        DrawGlitch(line, line.GlitchNs[1]);
}

static void TakePulse(EdgeLine& line)
{
    line.LastPulseNs = line.Pulse[line.PulseIndex++];
}

void EdgeLineBegin(EdgeLine& line, const EdgeLineOptions& options, int64_t fromNs)
{
    line = EdgeLine{};
    line.Options = options;
    // Two seconds back the carrier is surely on (no pulse lasts that long);
    // run the pulses from there up to fromNs.
    line.LastPulseNs = INT64_MIN;
    QueueSecond(line, FloorDiv(fromNs, 1000000000) - 2);
    bool off = false;
    while (PeekPulse(line) <= fromNs) {
        TakePulse(line);
        off = !off;
    }
    line.Level = uint8_t((options.Level ? 1 : 0) ^ (off ? 1 : 0));
    if (options.GlitchesPerSecond > 0)
        DrawGlitch(line, fromNs);
}

void EdgeLineNext(EdgeLine& line, int64_t* atNs, uint8_t* level)
{
    for (;;) {
        const int64_t pulse = PeekPulse(line);
        const int64_t glitch = PeekGlitch(line);
        if (pulse < glitch) {
            TakePulse(line);
            *atNs = pulse;
            break;
        }
        if (glitch < pulse) {
            TakeGlitch(line);
            *atNs = glitch;
            break;
        }
        TakePulse(line);  // at the same instant the two cancel
        TakeGlitch(line);
    }
    line.Level ^= 1;
    *level = line.Level;
}
