// The receiver line the measurements feed to Varnel: the synthesizer's MSF
// minutes, turned into a logic level with the impairments seen on real
// receivers (delay, a pulse-width bias, edge jitter, glitches, interference
// that repeats every second or minute, per-sample flips, outages), read at
// whatever instants the sampling timer gives.
//
// The synthesizer's own stream has delay, period, level, flips and outages but
// no per-edge jitter and no glitches of their own duration, so this model
// builds the carrier from the pulse edges itself. With jitter, glitches and
// flips off it gives exactly the synthesizer's samples (tested).
#pragma once

#include <cstdint>

#include "msf_synth.h"

// Interference that comes back at the same place of every period (a second or
// a minute), as mains-synchronous or switching-supply noise does: the line is
// inverted for WidthNs from PlaceNs into each period. Its source runs DriftPpm
// fast against the signal (0: the same place for ever), from PlaceNs at the
// start of the stream. WidthNs 0: none.
struct RepeatingNoise {
    int64_t PeriodNs;
    int64_t PlaceNs;
    int64_t WidthNs;
    double DriftPpm;
};

struct LineOptions {
    int64_t StartUtcMs;       // the receiver is switched on at this UTC instant
    int64_t PeriodNs;         // sample period of LineNext (20 ms nominal)
    int64_t DelayNs;          // receiver delay of every carrier-off edge
    int64_t WidthBiasNs;      // carrier-on edges come this much later still:
                              // every pulse this much longer (negative: shorter)
    int64_t JitterNs;         // each edge moves by a uniform amount in +-JitterNs
    uint8_t Level;            // line level while the carrier is on
    double FlipProbability;   // chance that one sample is inverted
    double GlitchesPerSecond; // mean rate of spurious toggles (Poisson)
    int64_t GlitchMinNs;      // a glitch lasts uniformly GlitchMinNs..GlitchMaxNs
    int64_t GlitchMaxNs;
    double OutagesPerHour;    // mean rate of signal losses (Poisson); 0: none
    int64_t OutageMeanNs;     // an outage lasts uniformly 0.5..1.5 times this
    RepeatingNoise EverySecond;  // periods of 1 s and 60 s
    RepeatingNoise EveryMinute;
    double KeptPairs;         // chance that a minute keeps its time code, and
                              // the minute before it too: the others fail their
                              // parity (B54..B57 inverted); 1: none fails
    uint64_t Seed;
};

// Clean signal, 20 ms, level 1, glitches 2..40 ms when enabled, outages 30 s,
// no repeating noise (its periods set, widths 0).
LineOptions DefaultLineOptions();

// The pulses (carrier off) of one broadcast second, as line-time intervals in
// ns since the start of the stream, delay and jitter applied.
struct SecondPulses {
    int64_t Second;        // signal second ordinal (UTC seconds since 1970)
    uint8_t Count;         // 1 or 2 intervals
    int64_t Start[2];
    int64_t End[2];
};

struct LineModel {
    LineOptions Options;
    int64_t StartSignalUs;     // signal time at the first sample
    uint64_t Index;            // samples produced so far
    SecondPulses Cache[3];     // the seconds around the current sample
    SynthMinute Minute;        // bits of the minute last looked up
    bool MinuteValid;
    uint64_t FlipState;        // splitmix64 streams, one per impairment
    uint64_t GlitchState;
    uint64_t OutageState;
    uint64_t StaticState;      // the random level during an outage
    uint64_t FlipThreshold;
    int64_t GlitchStartNs;     // the current or next glitch, stream time
    int64_t GlitchEndNs;
    int64_t OutageStartNs;     // the current or next outage, stream time
    int64_t OutageEndNs;
    int64_t LastNs;            // stream time of the last sample
};

void LineBegin(LineModel& line, const LineOptions& options);
// The line at stream time tNs (ns since the start), 0 or 1; tNs never goes
// back between calls (equal is allowed: a burst of late timer ticks).
uint8_t LineSampleAt(LineModel& line, int64_t tNs);
// The next sample of a plain timer: Index times PeriodNs.
uint8_t LineNext(LineModel& line);
// Stream time (ns since the start) of the last sample.
int64_t LineLastSampleNs(const LineModel& line);
// Whether repeating noise covers stream time tNs.
bool RepeatingNoiseAt(const RepeatingNoise& noise, int64_t startUtcMs, int64_t tNs);
// UTC instant in ns of a stream time.
inline int64_t LineUtcNs(const LineModel& line, int64_t streamNs)
{
    return line.Options.StartUtcMs * 1000000 + streamNs;
}
