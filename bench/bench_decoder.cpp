// Cost of the sampling tick's portable body: ns per sample over a realistic
// synthesized hour, and the worst single step, the one at a confirmed minute marker.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "config/config.h"
#include "reception/platform.h"
#include "reception/reception.h"
#include "tools/synth/msf_synth.h"

namespace {

uint8_t Line;  // level the fake I/O port shows on bit 7
uint32_t ReadLine(uint32_t) { return Line ? 0x80 : 0x00; }
uint32_t Posted;  // messages posted, so the poster cannot be optimised away
void CountPost(uintptr_t, uint32_t, uint32_t lParam) { Posted += lParam >> 22 & 1; }

void InstallFakes()
{
    ResetSettings();
    ResetDecoder();
    Posted = 0;
    Platform.ReadIoPort = ReadLine;
    Platform.PostTimeCode = CountPost;
}

// One hour of a typical receiver: carrier-on level 0, 40 ms edge delay, light
// glitch noise and a few short fades, starting mid-minute.
const std::vector<uint8_t>& RealisticHour()
{
    static std::vector<uint8_t> samples = [] {
        SynthStreamOptions o = SynthDefaultStreamOptions();
        o.StartUtcMs = SynthUtcMs(2027, 3, 28, 0, 30, 17);
        o.DurationNs = int64_t(3600) * 1000000000;
        o.DelayNs = 40000000;
        o.Level = 0;
        o.Noise = 0.0005;
        o.DropoutsPerHour = 4;
        o.DropoutMeanNs = int64_t(3) * 1000000000;
        std::vector<uint8_t> out;
        SynthStream stream;
        SynthStreamBegin(stream, o);
        uint8_t sample;
        while (SynthStreamNext(stream, &sample))
            out.push_back(sample);
        return out;
    }();
    return samples;
}

// One iteration is one sample, so the reported time is ns per sample.
void BM_SampleStepStream(benchmark::State& state)
{
    const std::vector<uint8_t>& samples = RealisticHour();
    InstallFakes();
    size_t i = 0;
    for (auto _ : state) {
        Line = samples[i];
        SampleStep(0);
        if (++i == samples.size())
            i = 0;
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
    state.counters["confirmed"] = Posted;
}
BENCHMARK(BM_SampleStepStream);

// The step that lands on a confirmed minute marker: field decoding, parity,
// summer time (UTC conversion when the argument is 1), confirmation, the
// prediction's step and a post. The decoder state just before that sample is
// restored on every iteration; that copy of a few dozen bytes is included.
void BM_SampleStepAtConfirmedMarker(benchmark::State& state)
{
    const uint8_t utc = uint8_t(state.range(0));
    SynthStreamOptions o = SynthDefaultStreamOptions();
    o.StartUtcMs = SynthUtcMs(2027, 7, 31, 23, 57, 5);  // BST: UTC mode steps back over midnight
    o.DurationNs = int64_t(240) * 1000000000;
    std::vector<uint8_t> samples;
    SynthStream stream;
    SynthStreamBegin(stream, o);
    uint8_t sample;
    while (SynthStreamNext(stream, &sample))
        samples.push_back(sample);

    // Find the last confirming sample, then stop one sample before it.
    InstallFakes();
    UTCFlag = utc;
    size_t marker = 0;
    uint32_t before = Posted;
    for (size_t i = 0; i < samples.size(); ++i) {
        Line = samples[i];
        SampleStep(0);
        if (Posted != before)
            marker = i;
        before = Posted;
    }
    if (marker == 0) {
        state.SkipWithError("no confirmed minute in the stream");
        return;
    }
    InstallFakes();
    UTCFlag = utc;
    for (size_t i = 0; i < marker; ++i) {
        Line = samples[i];
        SampleStep(0);
    }
    const DecoderRecord saved = DecoderState;
    const uint32_t postedBefore = Posted;
    Line = samples[marker];
    for (auto _ : state) {
        DecoderState = saved;
        benchmark::ClobberMemory();
        SampleStep(0);
    }
    state.counters["confirmed"] =
        benchmark::Counter(double(Posted - postedBefore), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_SampleStepAtConfirmedMarker)->Arg(0)->Arg(1);

}  // namespace
