// Tests of the measurement model itself: the line must be the synthesizer's
// signal when unimpaired, each impairment must do only what it says, and the
// judge must tell a true minute from a wrong one. Figures built on a faulty
// model would be dishonest however good the decoder is.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <tuple>
#include <vector>

#include "simulate.h"

namespace {

constexpr int64_t MS = 1000000;

// The synthesizer's stream for the same conditions, for comparison.
SynthStream SynthFor(const LineOptions& o, int64_t durationNs)
{
    SynthStreamOptions s = SynthDefaultStreamOptions();
    s.StartUtcMs = o.StartUtcMs;
    s.DurationNs = durationNs;
    s.PeriodNs = o.PeriodNs;
    s.DelayNs = o.DelayNs;
    s.Level = o.Level;
    SynthStream stream;
    SynthStreamBegin(stream, s);
    return stream;
}

TEST(LineModel, UnimpairedLineIsTheSynthesizersStream)
{
    struct Case {
        int64_t startMs;
        int64_t periodNs;
        int64_t delayNs;
        uint8_t level;
    } cases[] = {
        {SynthUtcMs(2026, 12, 7, 4, 16, 5), 20 * MS, 0, 1},
        {SynthUtcMs(2027, 3, 28, 0, 57, 33) + 417, 20 * MS, 73 * MS, 0},   // into BST
        {SynthUtcMs(2028, 2, 28, 23, 58, 59) + 999, 19600000, 20 * MS, 1},  // leap day
        {SynthUtcMs(2029, 12, 31, 23, 59, 1), 20400000, 100 * MS, 0},        // new year
    };
    for (const Case& c : cases) {
        LineOptions o = DefaultLineOptions();
        o.StartUtcMs = c.startMs;
        o.PeriodNs = c.periodNs;
        o.DelayNs = c.delayNs;
        o.Level = c.level;
        const int64_t duration = int64_t(5) * 60 * 1000 * MS;
        SynthStream synth = SynthFor(o, duration);
        LineModel line;
        LineBegin(line, o);
        uint8_t want;
        uint64_t n = 0;
        while (SynthStreamNext(synth, &want)) {
            ASSERT_EQ(LineNext(line), want) << "sample " << n << " of start " << c.startMs;
            ++n;
        }
        EXPECT_GT(n, 14000u);
    }
}

// Any sample that jitter changes lies within the jitter of a nominal edge.
TEST(LineModel, JitterMovesOnlyTheEdges)
{
    LineOptions clean = DefaultLineOptions();
    clean.PeriodNs = 1 * MS;  // fine sampling shows the edges themselves
    LineOptions jittered = clean;
    jittered.JitterNs = 15 * MS;
    LineModel a, b;
    LineBegin(a, clean);
    LineBegin(b, jittered);
    uint64_t changed = 0;
    uint8_t previous = 1;
    std::vector<int64_t> changes;
    std::vector<int64_t> edges;
    for (int i = 0; i < 600000; ++i) {  // ten minutes
        const uint8_t x = LineNext(a);
        const uint8_t y = LineNext(b);
        const int64_t t = LineLastSampleNs(a);
        if (x != previous)
            edges.push_back(t);
        previous = x;
        if (x != y && t < 599 * 1000 * MS) {  // the stream's last edge is not seen
            changes.push_back(t);
            ++changed;
        }
    }
    ASSERT_GT(changed, 1000u) << "jitter had no effect";
    size_t e = 0;
    for (int64_t t : changes) {
        while (e + 1 < edges.size() && edges[e + 1] <= t)
            ++e;
        int64_t nearest = int64_t(std::llabs(t - edges[e]));
        if (e + 1 < edges.size())
            nearest = std::min<int64_t>(nearest, std::llabs(edges[e + 1] - t));
        ASSERT_LE(nearest, 15 * MS) << "changed sample at " << t;
    }
}

// Glitches come at the asked rate with the asked lengths: the inverted share
// of the samples is rate times mean length.
TEST(LineModel, GlitchesInvertTheirShareOfTheLine)
{
    LineOptions clean = DefaultLineOptions();
    clean.PeriodNs = 1 * MS;
    LineOptions noisy = clean;
    noisy.GlitchesPerSecond = 2;
    LineModel a, b;
    LineBegin(a, clean);
    LineBegin(b, noisy);
    uint64_t inverted = 0, runs = 0;
    bool inRun = false;
    const uint64_t count = 3600 * 1000;  // one hour at 1 ms
    for (uint64_t i = 0; i < count; ++i) {
        const bool differs = LineNext(a) != LineNext(b);
        inverted += differs;
        runs += differs && !inRun;
        inRun = differs;
    }
    // 2 per second of 21 ms mean: 4.2 % of the time, about 7200 glitches
    // (overlapping pulses and edges merge or split a few runs).
    EXPECT_NEAR(double(inverted) / count, 0.042, 0.003);
    EXPECT_NEAR(double(runs), 7200, 500);
}

TEST(LineModel, FlipsInvertTheirShareOfSamples)
{
    LineOptions clean = DefaultLineOptions();
    LineOptions noisy = clean;
    noisy.FlipProbability = 0.03;
    LineModel a, b;
    LineBegin(a, clean);
    LineBegin(b, noisy);
    uint64_t flipped = 0;
    for (int i = 0; i < 180000; ++i)
        flipped += LineNext(a) != LineNext(b);
    EXPECT_NEAR(flipped / 180000.0, 0.03, 0.002);
}

// Outages put static on the line for their share of the time: half of those
// samples differ from the clean line, and only those.
TEST(LineModel, OutagesReplaceTheLineForTheirShareOfTime)
{
    LineOptions clean = DefaultLineOptions();
    LineOptions faded = clean;
    faded.OutagesPerHour = 10;  // 30 s mean: 300 s an hour, 8.3 % of the time
    LineModel a, b;
    LineBegin(a, clean);
    LineBegin(b, faded);
    const uint64_t count = 20 * 180000;  // twenty hours
    uint64_t differing = 0, longestRun = 0, run = 0;
    for (uint64_t i = 0; i < count; ++i) {
        const bool d = LineNext(a) != LineNext(b);
        differing += d;
        run = d ? run + 1 : 0;
        longestRun = std::max(longestRun, run);
    }
    EXPECT_NEAR(double(differing) / count, 0.0417, 0.01);
    // Static, not a stuck line: no long run of inverted samples.
    EXPECT_LT(longestRun, 40u);
}

// Lengths of the carrier-off runs of a line sampled every 1 ms.
std::vector<int64_t> PulseLengthsMs(LineOptions o, int64_t seconds)
{
    o.PeriodNs = 1 * MS;
    LineModel line;
    LineBegin(line, o);
    std::vector<int64_t> lengths;
    int64_t run = 0;
    for (int64_t i = 0; i < seconds * 1000; ++i) {
        const bool off = LineNext(line) != o.Level;
        if (!off && run > 0)
            lengths.push_back(run);
        run = off ? run + 1 : 0;
    }
    return lengths;
}

// The bias lengthens (or shortens) every pulse by itself, delay or not.
TEST(LineModel, WidthBiasChangesEveryPulseByItself)
{
    for (int64_t bias : {int64_t(-30), int64_t(25)}) {
        LineOptions clean = DefaultLineOptions();
        clean.DelayNs = 40 * MS;
        LineOptions biased = clean;
        biased.WidthBiasNs = bias * MS;
        const std::vector<int64_t> a = PulseLengthsMs(clean, 180), b = PulseLengthsMs(biased, 180);
        ASSERT_EQ(a.size(), b.size());
        ASSERT_GT(a.size(), 170u);
        for (size_t i = 0; i < a.size(); ++i)
            ASSERT_EQ(b[i] - a[i], bias) << "pulse " << i;
    }
}

// Locked repeating noise inverts the line exactly at its place of every
// period, and only there; a drifting source moves along.
TEST(LineModel, RepeatingNoiseComesBackAtItsPlace)
{
    const struct {
        bool minute;
        int64_t placeMs, widthMs;
        double ppm;
        int64_t movedMs;  // how far the place has moved after an hour
    } cases[] = {{false, 250, 10, 0, 0}, {true, 59800, 20, 0, 0}, {false, 900, 10, 100, 360}};
    for (const auto& c : cases) {
        LineOptions o = DefaultLineOptions();
        o.StartUtcMs = SynthUtcMs(2027, 1, 4, 10, 0, 0);  // on a minute edge
        RepeatingNoise& n = c.minute ? o.EveryMinute : o.EverySecond;
        n.PlaceNs = c.placeMs * MS;
        n.WidthNs = c.widthMs * MS;
        n.DriftPpm = c.ppm;
        const int64_t period = n.PeriodNs / MS;
        for (int64_t hour : {int64_t(0), int64_t(1)})
            for (int64_t k = 0; k < 3; ++k)
                for (int64_t ms = 0; ms < period; ms += (c.minute ? 10 : 1)) {
                    const int64_t t = (hour * 3600000 + k * period + ms) * MS;
                    const int64_t from = (c.placeMs - hour * c.movedMs) % period;
                    const bool inside = (ms - from + period) % period < c.widthMs;
                    ASSERT_EQ(RepeatingNoiseAt(n, o.StartUtcMs, t), inside) << c.placeMs << " at " << t;
                }
    }
}

// The timer runs on the computer's crystal: over hours its phase against the
// signal sweeps every place in a sample period, at no drift it stays at one.
// A stall holds ticks up and they run at once afterwards: none is lost.
// Late handling sets the clock late by as much, and moves what it reads.
TEST(SimulatedComputer, TimerPhaseStallsAndLateHandling)
{
    LineOptions o = DefaultLineOptions();
    const int64_t hours3 = int64_t(3) * 3600 * 1000 * MS;
    for (double drift : {0.0, 20.0}) {
        ClockOptions c = DefaultClockOptions();
        c.DriftPpm = drift;
        const RunResult r = RunDecoder(o, hours3, false, c);
        const auto range = std::minmax_element(r.Before.ErrorsUs.begin(), r.Before.ErrorsUs.end());
        const int64_t spreadUs = *range.second - *range.first;
        if (drift == 0)
            EXPECT_LT(spreadUs, 1000) << "one phase";
        else
            EXPECT_GT(spreadUs, 18000) << "all phases";
        EXPECT_GE(*range.first, -20000 - 300);  // the clock drifts during the handling
    }
    ClockOptions c = DefaultClockOptions();
    const RunResult steady = RunDecoder(o, hours3, false, c);
    c.StallsPerHour = 30;
    const RunResult stalled = RunDecoder(o, hours3, false, c);
    EXPECT_GT(stalled.Stalls, 60u);
    EXPECT_LT(stalled.Stalls, 120u);
    EXPECT_EQ(stalled.Samples, steady.Samples);
    c.StallsPerHour = 0;
    c.LateChance = 1;
    c.LateMaxNs = 300 * MS;
    const RunResult late = RunDecoder(o, hours3, false, c);
    EXPECT_EQ(late.LateMessages, late.Confirmed);
    const ErrorSummary set = SummarizeErrors(late.Before.ErrorsUs);
    EXPECT_NEAR(set.SignedMeanMs, -160, 25);  // half of 300 ms and half a sample
    for (int64_t e : late.Before.ErrorsUs)
        ASSERT_GE(e, -320000);
}

// Clock errors of hours and months are kept and summed whole: the report's
// statistics once clamped them to +-2147 s and took the magnitude of the
// smallest 32-bit value.
TEST(ErrorStatistics, LargeErrorsAreExact)
{
    const int64_t hour = int64_t(3600) * 1000000, day = 24 * hour;
    const struct {
        std::vector<int64_t> us;
        double mean, magnitude, p99;  // ms
    } cases[] = {
        {{16 * hour}, 16 * 3600e3, 16 * 3600e3, 16 * 3600e3},
        {{-61 * day, -61 * day}, -61 * 86400e3, 61 * 86400e3, 61 * 86400e3},
        {{-3000, 1000, 5000, -7000}, -1, 4, 7},
        {{INT64_MIN / 2, 0}, double(INT64_MIN / 2) / 2000, -double(INT64_MIN / 2) / 2000,
         -double(INT64_MIN / 2) / 1000},
    };
    for (const auto& c : cases) {
        const ErrorSummary s = SummarizeErrors(c.us);
        EXPECT_NEAR(s.SignedMeanMs, c.mean, 1e-6 * std::fabs(c.mean) + 1e-9);
        EXPECT_NEAR(s.MagnitudeMeanMs, c.magnitude, 1e-6 * c.magnitude + 1e-9);
        EXPECT_NEAR(s.MagnitudeP99Ms, c.p99, 1e-6 * c.p99 + 1e-9);
        EXPECT_LE(s.MagnitudeMeanMs, s.MagnitudeP99Ms + 1e-9);
    }
    EXPECT_EQ(WorstSettingUs({-30000, 45000, -44000}, 0), 45000);
    EXPECT_EQ(WorstSettingUs({-30000, 45000, -44000}, -20000), -64000);
    // A clock two months behind that nothing sets stays two months behind.
    LineOptions dead = DefaultLineOptions();
    dead.FlipProbability = 0.5;
    ClockOptions c = DefaultClockOptions();
    c.StartErrorNs = -61 * day * 1000;
    const RunResult r = RunDecoder(dead, 3600 * 1000 * MS, false, c);
    EXPECT_NEAR(double(r.After.ClockErrorUs.back()), double(-61 * day) + 70800, 200);
    EXPECT_LT(SummarizeErrors(r.After.ClockErrorUs).SignedMeanMs, -61 * 86400e3 + 100);
}

TEST(Judge, TrueMinuteAgainstNearMisses)
{
    // 14:07 BST on Friday 20 April 2012 is 13:07 UTC.
    const int64_t marker = SynthUtcMs(2012, 4, 20, 13, 7, 0) * MS;
    const TimeFields right = {7, 14, 5, 20, 4, 12};
    EXPECT_TRUE(ConfirmationCorrect(right, marker + 15 * MS, 0));
    EXPECT_TRUE(ConfirmationCorrect(right, marker + 115 * MS, 100 * MS));
    // Posted 29 s off is still judged against the nearest minute.
    EXPECT_TRUE(ConfirmationCorrect(right, marker + 29000 * MS, 0));

    TimeFields hourOff = right;  // a flipped B58: looks clean, an hour off
    hourOff.Hour = 13;
    EXPECT_FALSE(ConfirmationCorrect(hourOff, marker + 15 * MS, 0));
    TimeFields minuteBehind = right;  // the previous minute confirmed late
    minuteBehind.Minute = 6;
    EXPECT_FALSE(ConfirmationCorrect(minuteBehind, marker + 15 * MS, 0));
    TimeFields dayOff = right;
    dayOff.DayOfWeek = 4;
    EXPECT_FALSE(ConfirmationCorrect(dayOff, marker + 15 * MS, 0));
    // A minute early, posted near the next marker.
    EXPECT_FALSE(ConfirmationCorrect(right, marker + 60000 * MS, 0));
}

// The simulated computer clock reads and takes UK civil time; in the repeated
// autumn hour a setting means the reading nearer the clock's own.
TEST(SimulatedClock, UkCivilTimeBothWays)
{
    const struct {
        int64_t UtcMs;
        ClockTime Local;
    } cases[] = {
        {SynthUtcMs(2026, 12, 7, 4, 16, 5) + 123, {2026, 12, 1, 7, 4, 16, 5, 123}},
        {SynthUtcMs(2027, 7, 1, 12, 0, 0), {2027, 7, 4, 1, 13, 0, 0, 0}},
        {SynthUtcMs(2027, 10, 31, 0, 30, 0), {2027, 10, 0, 31, 1, 30, 0, 0}},  // BST
        {SynthUtcMs(2027, 10, 31, 1, 30, 0), {2027, 10, 0, 31, 1, 30, 0, 0}},  // GMT, same reading
    };
    for (const auto& c : cases) {
        const ClockTime t = UkClockTime(c.UtcMs * MS);
        EXPECT_EQ(std::memcmp(&t, &c.Local, sizeof t), 0) << c.UtcMs;
        // Set from a clock near either reading, it lands on that one.
        EXPECT_EQ(UtcOfUkClockTime(c.Local, c.UtcMs * MS + 20 * 60000 * MS), c.UtcMs * MS);
    }
}

// The clock calls move each side's clock; the guard keeps a clean line's
// settings and holds only the first minute, 1.5 s from a clock that has not
// been set; the count and clock drift as asked.
TEST(SimulatedClock, SettingsMoveTheClockAndDriftDoesTheRest)
{
    for (int64_t delay : {int64_t(0), int64_t(80) * MS}) {
        LineOptions o = DefaultLineOptions();
        o.DelayNs = delay;
        const RunResult r = RunDecoder(o, int64_t(3600) * 1000 * MS, false);
        EXPECT_EQ(r.Before.Settings, r.Confirmed);
        EXPECT_EQ(r.After.Settings + 1, r.Confirmed);
        EXPECT_EQ(r.After.Held, 1u);
        for (const ClockResult* c : {&r.Before, &r.After, &r.Proposed}) {
            EXPECT_EQ(c->Off + c->Wrong, 0u);
            // Left behind true time by the delay and the sampling phase (up
            // to 20 ms), give or take a minute's drift (1.2 ms).
            const int64_t last = c->ClockErrorUs.back();
            EXPECT_LE(last, -delay / 1000 + 1200);
            EXPECT_GE(last, -delay / 1000 - 20000 - 1200);
        }
    }
    LineOptions dead = DefaultLineOptions();
    dead.FlipProbability = 0.5;  // nothing is ever confirmed
    const RunResult r = RunDecoder(dead, int64_t(3600) * 1000 * MS, false);
    EXPECT_EQ(r.Confirmed, 0u);
    // 1.5 s ahead, and 20 ppm of the 59 minutes until the last sample.
    EXPECT_NEAR(r.After.ClockErrorUs.back(), 1500000 + 70800, 100);
}

TEST(RunDecoder, CleanHourConfirmsEveryMinuteOnTime)
{
    for (int64_t delay : {int64_t(0), int64_t(80) * MS}) {
        LineOptions o = DefaultLineOptions();
        o.DelayNs = delay;
        const RunResult r = RunDecoder(o, int64_t(3600) * 1000 * MS, false);
        // The first confirmation comes within three minutes; every minute after.
        EXPECT_GE(r.Confirmed, 57u) << "delay " << delay;
        EXPECT_LE(r.Confirmed, 60u);
        EXPECT_EQ(r.Wrong, 0u);
        // Posted at the first sample showing the marker's pulse.
        EXPECT_GE(r.LateMinNs, delay);
        EXPECT_LE(r.LateMaxNs, delay + 20 * MS);
        EXPECT_GT(r.FirstConfirmNs, 60 * 1000 * MS);
        EXPECT_LT(r.FirstConfirmNs, 180 * 1000 * MS);
    }
}

// Spoiled time codes: how many minutes confirm (on a clean line the chain from
// pair to pair holds too); first settings and the second genuine minute.
TEST(RunDecoder, KeptPairsSetHowOftenMinutesConfirm)
{
    for (const auto& c : {std::make_tuple(1.0, 597u, 600u), std::make_tuple(0.1, 80u, 140u)}) {
        LineOptions o = DefaultLineOptions();
        o.KeptPairs = std::get<0>(c);
        const RunResult r = RunDecoder(o, int64_t(36000) * 1000 * MS, false);  // 10 h
        EXPECT_GE(r.Confirmed, std::get<1>(c));
        EXPECT_LE(r.Confirmed, std::get<2>(c));
        // No guard sets at the first; the guard, 1.5 s from the clock, at the second.
        EXPECT_EQ(r.Before.FirstSettingNs, r.FirstConfirmNs);
        EXPECT_EQ(r.After.FirstSettingNs, r.SecondGenuineNs);
        EXPECT_EQ(r.After.GenuineAfterFirst, r.Confirmed - 2);
    }
}

TEST(RunDecoder, StopsAtTheFirstConfirmation)
{
    LineOptions o = DefaultLineOptions();
    o.Level = 0;
    const RunResult r = RunDecoder(o, int64_t(3600) * 1000 * MS, true);
    EXPECT_EQ(r.Confirmed, 1u);
    // The confirming sample is the last: within one period (the timer's phase).
    EXPECT_NEAR(double(r.FirstConfirmNs), double(r.Samples - 1) * double(o.PeriodNs), double(o.PeriodNs));
}

}  // namespace
