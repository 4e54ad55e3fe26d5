// The decoder run: the real SampleStep reads the simulated line through the
// platform seam's I/O-port stand-in, and every posted WM_TIMECODE is judged.
// The decoder's state is process-wide, so one run at a time per process; the
// report script runs several processes side by side instead of threads.
#include "simulate.h"

#include "config/config.h"
#include "reception/platform.h"

namespace {

LineModel Line;
uint8_t LineLevel;
RunResult* Result;
bool StopRequested;
bool StopAtFirst;

uint32_t ReadSimulatedLine(uint32_t) { return LineLevel ? 0xFF : 0x00; }

void JudgeMessage(uintptr_t, uint32_t wParam, uint32_t lParam)
{
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
    if (!ConfirmationCorrect(got, postUtcNs, Line.Options.DelayNs)) {
        if (r.Wrong < KEPT_WRONG)
            r.Wrongs[r.Wrong] = {postUtcNs, got, TrueMinute(postUtcNs, Line.Options.DelayNs)};
        ++r.Wrong;
        return;
    }
    const int64_t minuteNs = int64_t(60) * 1000000000;
    const int64_t late = postUtcNs - SynthFloorDiv(postUtcNs - Line.Options.DelayNs + minuteNs / 2,
                                                   minuteNs) * minuteNs;
    r.LateSumNs += late;
    r.Early += late < -EARLY_NS;
    if (late > r.LateMaxNs)
        r.LateMaxNs = late;
    if (late < r.LateMinNs)
        r.LateMinNs = late;
}

}  // namespace

TimeFields TrueMinute(int64_t postUtcNs, int64_t delayNs)
{
    const int64_t minuteNs = int64_t(60) * 1000000000;
    const int64_t marker = SynthFloorDiv(postUtcNs - delayNs + minuteNs / 2, minuteNs);
    bool summer = false;
    const SynthFields t = SynthUkFields(marker * 60000, &summer);
    return TimeFields{t.Minute, t.Hour, t.DayOfWeek, t.Day, t.Month, t.Year};
}

bool ConfirmationCorrect(const TimeFields& fields, int64_t postUtcNs, int64_t delayNs)
{
    return fields == TrueMinute(postUtcNs, delayNs);
}

RunResult RunDecoder(const LineOptions& options, int64_t durationNs, bool stopAtFirst)
{
    RunResult r{};
    r.FirstConfirmNs = -1;
    r.LateMinNs = INT64_MAX;
    Result = &r;
    StopRequested = false;
    StopAtFirst = stopAtFirst;

    ResetSettings();  // port 0x201, bit 7, UK civil time
    ResetDecoder();
    Platform.ReadIoPort = ReadSimulatedLine;
    Platform.PostTimeCode = JudgeMessage;
    LineBegin(Line, options);

    const uint64_t count = uint64_t(durationNs / options.PeriodNs);
    for (uint64_t i = 0; i < count && !StopRequested; ++i) {
        LineLevel = LineNext(Line);
        SampleStep(0);
    }
    r.Samples = Line.Index;
    r.Hours = double(Line.Index) * double(options.PeriodNs) / 3.6e12;
    if (r.LateMinNs == INT64_MAX)
        r.LateMinNs = 0;
    Result = nullptr;
    return r;
}
