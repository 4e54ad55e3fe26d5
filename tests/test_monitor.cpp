// The receiver monitor's portable part: the verdict on a minute, what it
// observes of the decoder on synthesized and crafted streams, its line texts,
// options and queues. (Its port messages and recording header are checked
// end to end under Wine, tests/e2e.)
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/config.h"
#include "decoder_harness.h"
#include "reception/platform.h"
#include "tools/monitor/monitor.h"
#include "tools/synth/msf_synth.h"
#include "tools/timecode_line.h"

namespace {

// The PC's count and clock while a stream plays: the count in samples, the
// clock UK civil time from the stream's start.
int64_t StreamStartMs;
uint64_t SamplesPlayed;
uint64_t StreamCountMs() { return 1000000 + SamplesPlayed * 20; }
ClockTime StreamClock()
{
    const int64_t ms = StreamStartMs + int64_t(SamplesPlayed) * 20;
    bool summer = false;
    const SynthFields f = SynthUkFields(ms, &summer);
    const int64_t inMinute = ms - SynthFloorDiv(ms, 60000) * 60000;
    return ClockTime{uint16_t(2000 + f.Year), f.Month, f.DayOfWeek, f.Day, f.Hour, f.Minute,
                     uint16_t(inMinute / 1000), uint16_t(inMinute % 1000)};
}

const int64_t DefaultStartMs = SynthUtcMs(2026, 12, 7, 4, 16, 5);

// Every report the monitor makes for a replay-format stream that starts at
// startMs (UTC).
std::vector<MonitorReport> Observe(const std::string& stream, int64_t startMs = DefaultStartMs)
{
    const PlatformOps saved = Platform;
    ResetSettings();
    ResetMonitor();
    Platform.PostTimeCode = CapturePost;
    Platform.MonotonicMs = StreamCountMs;
    Platform.ReadClock = StreamClock;
    StreamStartMs = startMs;
    SamplesPlayed = 0;
    std::vector<MonitorReport> reports;
    MonitorReport r;
    uint8_t bits[64];
    for (char c : stream) {
        if (c == 'U' || c == 'L')
            UTCFlag = c == 'U';
        if (c != '0' && c != '1')
            continue;
        MonitorStep(uint8_t(c - '0'));
        ++SamplesPlayed;
        while (PopReport(&r))
            reports.push_back(r);
        PopSamples(bits, sizeof bits);
    }
    Platform = saved;
    ResetSettings();
    return reports;
}

std::vector<MonitorReport> OfKind(const std::vector<MonitorReport>& all, ReportKind kind)
{
    std::vector<MonitorReport> out;
    for (const MonitorReport& r : all)
        if (r.Kind == kind)
            out.push_back(r);
    return out;
}

SynthStreamOptions Stream(int minutes, uint8_t level = 1, double noise = 0, int64_t startMs = DefaultStartMs)
{
    SynthStreamOptions o = SynthDefaultStreamOptions();
    o.StartUtcMs = startMs;
    o.DurationNs = int64_t(minutes) * 60 * 1000000000;
    o.Level = level;
    o.Noise = noise;
    o.Seed = 11;
    return o;
}

TEST(MonitorVerdict, JudgesAMinutesStatistics)
{
    // Seconds, regular, irregular, first window, marker, clean, confirmed,
    // inverted, learned, no pulse.
    const struct {
        SummaryReport Summary;
        Verdict Expected;
    } cases[] = {
        {{60, 60, 0, false, true, true, true, false, false, false}, VERDICT_GOOD},
        {{60, 58, 2, false, true, true, true, false, false, false}, VERDICT_GOOD},   // one noise pulse
        {{60, 57, 3, false, true, true, true, false, false, false}, VERDICT_NOISY},
        {{58, 56, 2, false, true, true, false, false, false, false}, VERDICT_NOISY}, // seconds missing
        {{60, 60, 0, false, true, false, false, false, false, false}, VERDICT_NOISY}, // parity error
        {{62, 62, 0, false, false, false, false, false, false, false}, VERDICT_NOISY}, // marker missed
        {{60, 60, 0, false, true, true, true, true, false, false}, VERDICT_INVERTED},
        {{57, 57, 0, true, true, true, false, true, true, false}, VERDICT_INVERTED},  // learned at start
        {{12, 12, 0, true, false, false, false, false, false, false}, VERDICT_GOOD},  // part minute, no marker
        {{12, 9, 3, true, true, false, false, false, false, false}, VERDICT_NOISY},
        {{0, 0, 0, false, false, false, false, false, false, true}, VERDICT_NO_PULSES},
        {{3, 0, 3, true, false, false, false, true, true, true}, VERDICT_NO_PULSES},  // line stuck, then silent
        {{40, 38, 2, false, false, false, false, false, false, true}, VERDICT_NO_PULSES},  // lost at the end
    };
    for (const auto& c : cases)
        EXPECT_EQ(JudgeMinute(c.Summary), c.Expected)
            << c.Summary.Seconds << " seconds, " << c.Summary.Regular << " regular";
    EXPECT_STREQ(VerdictText(VERDICT_GOOD), "good signal");
    EXPECT_STREQ(VerdictText(VERDICT_NOISY), "noisy: try turning the aerial");
    EXPECT_STREQ(VerdictText(VERDICT_NO_PULSES), "no pulses: check wiring or bit");
    EXPECT_STREQ(VerdictText(VERDICT_INVERTED), "inverted line: fine, learned");
}

TEST(MonitorObserver, StreamsGiveTheirVerdictsAndOutcomes)
{
    const std::string clean = SynthString(Stream(4));
    SynthStreamOptions flipped = Stream(4);
    flipped.FlipCount = 1;
    flipped.Flips[0] = {false, 47, 3};  // a minute bit of the third minute
    std::string loss = SynthString(Stream(2));
    AppendLevel(loss, 1, 130 * SAMPLES_PER_SECOND);  // carrier on for good: no pulses
    const int64_t lateStart = SynthUtcMs(2026, 12, 7, 4, 16, 40);
    const struct {
        const char* Name;
        std::string Samples;
        std::vector<Verdict> Verdicts;
        std::vector<MinuteOutcome> Outcomes;
        int64_t StartMs = DefaultStartMs;
        std::vector<uint8_t> FirstReceived = {6, 0, 0, 0};
    } cases[] = {
        {"clean", clean, {VERDICT_GOOD, VERDICT_GOOD, VERDICT_GOOD, VERDICT_GOOD},
         {MINUTE_FIRST, MINUTE_CONFIRMED, MINUTE_CONFIRMED, MINUTE_CONFIRMED}},
        {"UTC mode", "U" + clean, {VERDICT_GOOD, VERDICT_GOOD, VERDICT_GOOD, VERDICT_GOOD},
         {MINUTE_FIRST, MINUTE_CONFIRMED, MINUTE_CONFIRMED, MINUTE_CONFIRMED}},
        // Bits read before the polarity was learned do not count as received.
        {"carrier-on level 0", SynthString(Stream(4, 0)),
         {VERDICT_INVERTED, VERDICT_INVERTED, VERDICT_INVERTED, VERDICT_INVERTED},
         {MINUTE_FIRST, MINUTE_CONFIRMED, MINUTE_CONFIRMED, MINUTE_CONFIRMED}, DefaultStartMs, {9, 0, 0, 0}},
        {"one flipped bit", SynthString(flipped), {VERDICT_GOOD, VERDICT_GOOD, VERDICT_NOISY, VERDICT_GOOD},
         {MINUTE_FIRST, MINUTE_CONFIRMED, MINUTE_PARITY_ERROR, MINUTE_CONFIRMED}},
        {"noise", SynthString(Stream(3, 1, 0.03)), {VERDICT_NOISY, VERDICT_NOISY}, {}},
        {"loss", loss, {VERDICT_GOOD, VERDICT_GOOD, VERDICT_NO_PULSES, VERDICT_NO_PULSES},
         {MINUTE_FIRST, MINUTE_CONFIRMED}, DefaultStartMs, {6, 0}},
        // Started at second 40: the first minute's early groups were never seen.
        {"late start", SynthString(Stream(4, 1, 0, lateStart)),
         {VERDICT_GOOD, VERDICT_GOOD, VERDICT_GOOD, VERDICT_GOOD},
         {MINUTE_PARTIAL, MINUTE_FIRST, MINUTE_CONFIRMED, MINUTE_CONFIRMED}, lateStart, {41, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        const std::vector<MonitorReport> all = Observe(c.Samples, c.StartMs);
        std::vector<Verdict> verdicts;
        for (const MonitorReport& r : OfKind(all, REPORT_SUMMARY))
            verdicts.push_back(JudgeMinute(r.Summary));
        EXPECT_EQ(verdicts, c.Verdicts) << c.Name;
        std::vector<MinuteOutcome> outcomes;
        std::vector<uint8_t> firstReceived;
        bool first = true;
        for (const MonitorReport& r : OfKind(all, REPORT_MINUTE)) {
            outcomes.push_back(r.Minute.Outcome);
            firstReceived.push_back(r.Minute.FirstReceived);
            if (r.Minute.Outcome != MINUTE_CONFIRMED)
                continue;
            // On a clean line with the PC's clock right, Varnel's guard sets
            // the clock at the first confirmed minute and every one after.
            EXPECT_EQ(r.Minute.Guard.Verdict, first ? GUARD_SET_CLOCK_AGREES : GUARD_SET_FITS) << c.Name;
            first = false;
        }
        if (c.Name != std::string("noise")) {
            EXPECT_EQ(outcomes, c.Outcomes) << c.Name;
            EXPECT_EQ(firstReceived, c.FirstReceived) << c.Name;
        }
    }
    // After the loss: one line for each further second without a second start.
    const std::vector<MonitorReport> silence = OfKind(Observe(loss), REPORT_SILENCE);
    ASSERT_GE(silence.size(), 120u);
    for (size_t i = 0; i < silence.size(); ++i)
        EXPECT_EQ(silence[i].SilentSeconds, i + 2);
}

TEST(MonitorObserver, SecondsShowTheMinutesBits)
{
    // 04:17 on Monday 7 December 2026, crafted, then the next minute's marker.
    const CraftedMinute minute = CraftMinute({17, 4, 1, 7, 12, 26}, false);
    std::string s;
    AppendLevel(s, 1, 20);
    AppendMinute(s, minute, 1);
    AppendMinute(s, minute, 1);
    AppendLevel(s, 0, 5);  // the next marker's start ends second 59
    const std::vector<MonitorReport> seconds = OfKind(Observe(s), REPORT_SECOND);
    // The second minute's 60 seconds, numbered from its marker.
    ASSERT_GE(seconds.size(), 60u);
    const size_t first = seconds.size() - 60;
    for (unsigned p = 0; p < 60; ++p) {
        const SecondReport& r = seconds[first + p].Second;
        const unsigned a = p == 0 ? 1 : unsigned(minute.A >> p & 1);
        const unsigned b = p == 0 ? 1 : unsigned(minute.B >> p & 1);
        const std::vector<uint32_t> runs =
            p == 0 ? std::vector<uint32_t>{25}
                   : a ? std::vector<uint32_t>{b ? 15u : 10u} : b ? std::vector<uint32_t>{5, 5}
                                                                  : std::vector<uint32_t>{5};
        EXPECT_EQ(r.Number, p);
        EXPECT_EQ(r.LengthTicks, 50u) << p;
        EXPECT_EQ(r.A, a) << p;
        EXPECT_EQ(r.B, b) << p;
        EXPECT_EQ(std::vector<uint32_t>(r.Runs, r.Runs + r.RunCount), runs) << p;
    }
    EXPECT_EQ(seconds.front().Second.Number, NUMBER_UNKNOWN);
}

TEST(MonitorObserver, MessagesAreTheSamplingSteps)
{
    // Noise and a UTC switch: every message, at the same sample, as Varnel's
    // own tick posts it.
    const std::string s = SynthString(Stream(5, 1, 0.004)) + "U" + SynthString(Stream(3, 0, 0.01));
    std::vector<RefMessage> seen;
    for (const MonitorReport& r : OfKind(Observe(s), REPORT_MESSAGE))
        seen.push_back({r.Sample, r.WParam, r.LParam});
    const std::vector<RefMessage> expected = ProductRun(s);
    EXPECT_GT(expected.size(), 10u);
    EXPECT_EQ(seen, expected);
}

MonitorReport Made(ReportKind kind, const SecondReport& s = {}, const MinuteReport& m = {},
                   const SummaryReport& summary = {})
{
    MonitorReport r{};
    r.Kind = kind;
    r.Second = s;
    r.Minute = m;
    r.Summary = summary;
    r.SilentSeconds = 3;
    r.Sample = 5751;
    r.WParam = 0x07010412;
    r.LParam = 0x00401A0C;
    return r;
}

GuardJudgement Judged(GuardVerdict verdict, int32_t setLateMs = 0, int64_t movedS = 0, uint32_t waitMs = 0,
                      uint32_t carryMs = 0)
{
    return GuardJudgement{verdict, setLateMs, movedS, waitMs, carryMs, 0, 0};
}

TEST(MonitorTexts, ReportLines)
{
    const TimeFields t0418 = {18, 4, 1, 7, 12, 26};
    const MinuteReport confirmed = {t0418, {}, PARITY_ALL, false, false, MINUTE_CONFIRMED, ALL_RECEIVED, {}, 0};
    auto confirmedWith = [&](GuardJudgement j, int64_t clockOffsetMs = 0) {
        MinuteReport m = confirmed;
        m.Guard = j;
        m.ClockOffsetMs = clockOffsetMs;
        return Made(REPORT_MINUTE, {}, m);
    };
    const char* const markerLine =
        "minute marker: 26-12-07 Mon 04:18 GMT, parity: year ok, month+day ok, weekday ok, hour+minute ok\n";
    const struct {
        MonitorReport Report;
        const char* Text;
        const char* Marked;
    } cases[] = {
        {Made(REPORT_SECOND, {23, 50, 0, 1, 2, false, {5, 5}}),
         "second  23  off 100+100 ms             A=0 B=1   1000 ms  regular\n", ""},
        {Made(REPORT_SECOND, {NUMBER_UNKNOWN, 62, 1, BIT_NOT_SAMPLED, 6, true, {10, 1, 1, 1, 1, 1}}),
         "second  --  off 200+20+20+20+20+20+... ms A=1 B=-   1240 ms  irregular\n", "irregular"},
        {Made(REPORT_SILENCE), "second  --  no second start for 3 s\n", ""},
        {confirmedWith(Judged(GUARD_SET_FITS)),
         "  confirmed: Varnel's guard would set the clock to 04:18:00 (GMT): it follows from the minute last used\n",
         "confirmed"},
        {confirmedWith(Judged(GUARD_SET_AGREED, -230, 0, 220)),
         "  confirmed: Varnel's guard would set the clock to 04:18:00 (GMT) 230 ms after its marker, when its "
         "second starts: the minutes held before it agree\n",
         "confirmed"},
        {confirmedWith(Judged(GUARD_HOLD_UNPROVEN), -3012),
         "  confirmed, but Varnel's guard would hold it: the clock is 3.012 s off, so minutes after it must agree\n",
         "confirmed"},
        {confirmedWith(Judged(GUARD_SET_FITS, 347, 0, 0, 347)),
         "  confirmed: Varnel's guard would set the clock to 04:18:00.347 (GMT), handled 347 ms after its second's "
         "start: it follows from the minute last used\n",
         "confirmed"},
        {confirmedWith(Judged(GUARD_HOLD_LATE, 1060)),
         "  confirmed, but Varnel's guard would hold it: it was handled 1060 ms after its second's start\n",
         "confirmed"},
        {confirmedWith(Judged(GUARD_HOLD_MOVED, 0, -60)),
         "  confirmed, but Varnel's guard would hold it: it is -60 s from where the minute last used puts it\n",
         "confirmed"},
        {Made(REPORT_MINUTE, {}, {{18, 5, 1, 7, 12, 26}, t0418, PARITY_ALL, true, false, MINUTE_MISMATCH, 0, {}, 0}),
         "minute marker: 26-12-07 Mon 05:18 BST, parity: year ok, month+day ok, weekday ok, hour+minute ok\n"
         "  not confirmed (expected 26-12-07 Mon 04:18): Varnel leaves the clock alone\n",
         "not confirmed"},
        {Made(REPORT_MINUTE, {}, {t0418, {}, uint8_t(PARITY_ALL & ~PARITY_TIME), false, true, MINUTE_PARITY_ERROR, 0, {}, 0}),
         "minute marker: 26-12-07 Mon 04:18 UTC, parity: year ok, month+day ok, weekday ok, hour+minute FAILED\n"
         "  not confirmed (parity error): Varnel leaves the clock alone\n",
         "not confirmed"},
        // The part-minute before the first marker: groups never seen are not
        // called failed.
        {Made(REPORT_MINUTE, {}, {{18, 0, 0, 0, 0, 0}, {}, PARITY_WEEKDAY, false, false, MINUTE_PARTIAL, 36, {}, 0}),
         "minute marker: 00-00-00 Sun 00:18 GMT, bits of seconds 1 to 35 not received, parity: year not received, "
         "month+day not received, weekday ok, hour+minute FAILED\n"
         "  not confirmed (the monitor started during this minute): Varnel leaves the clock alone\n",
         "not confirmed"},
        {Made(REPORT_MESSAGE), "5751 07010412 00401A0C  26-12-07 Mon 04:18  TIME_VALID\n", ""},
        {Made(REPORT_SUMMARY, {}, {}, {60, 60, 0, false, true, true, true, false, false, false}),
         "minute summary: 60/60 seconds regular, confirmed: good signal\n", "good signal"},
        {Made(REPORT_SUMMARY, {}, {}, {23, 21, 2, true, true, false, false, false, false, false}),
         "part-minute summary: 21/23 seconds regular, not confirmed: good signal\n", "good signal"},
        {Made(REPORT_SUMMARY, {}, {}, {0, 0, 0, false, false, false, false, false, false, true}),
         "minute summary: no minute marker, 0/60 seconds regular, not confirmed: no pulses: check wiring or bit\n",
         "no pulses: check wiring or bit"},
    };
    for (const auto& c : cases) {
        ReportText text;
        FormatReport(c.Report, &text);
        // Confirmed minutes: the marker line as above, then the guard's word.
        const bool guarded = c.Report.Kind == REPORT_MINUTE && c.Report.Minute.Outcome == MINUTE_CONFIRMED;
        EXPECT_EQ(std::string(text.Text, text.Length), guarded ? markerLine + std::string(c.Text) : c.Text);
        EXPECT_EQ(std::string(text.Text + text.MarkFrom, text.MarkTo - text.MarkFrom), c.Marked) << c.Text;
    }
}

TEST(MonitorOptions, Parse)
{
    const struct {
        std::vector<const char*> Args;
        bool Ok;
        uint32_t Port;  // 0: not given
        int Bit;        // -1: not given
        uint64_t Samples;
        const char* Error;
    } cases[] = {
        {{}, true, 0, -1, 0, ""},
        {{"--port", "201", "--bit", "7"}, true, 0x201, 7, 0, ""},
        {{"--port", "COM3"}, true, 3, -1, 0, ""},
        {{"--port=com9:", "--bit=4"}, true, 9, 4, 0, ""},
        {{"--port", "0x378", "--duration", "3m"}, true, 0x378, -1, 9000, ""},
        {{"--duration", "90"}, true, 0, -1, 4500, ""},
        {{"--port", "5"}, false, 0, -1, 0, "--port 5: give COM1 to COM9, or an I/O port address in hex (201, 379)"},
        {{"--port", "COM10"}, false, 0, -1, 0, "--port COM10: give COM1 to COM9, or an I/O port address in hex (201, 379)"},
        {{"--port", "12345"}, false, 0, -1, 0, "--port 12345: give COM1 to COM9, or an I/O port address in hex (201, 379)"},
        {{"--bit", "8"}, false, 0, -1, 0, "--bit 8: give a bit number from 0 to 7"},
        {{"--duration", "0"}, false, 0, -1, 0, "--duration 0: give seconds, or a number with s, m or h (90s, 10m, 2h)"},
        {{"--duration", "5d"}, false, 0, -1, 0, "--duration 5d: give seconds, or a number with s, m or h (90s, 10m, 2h)"},
        {{"--record"}, false, 0, -1, 0, "--record needs a value (try --help)"},
        {{"--verbose"}, false, 0, -1, 0, "unknown option '--verbose' (try --help)"},
    };
    for (const auto& c : cases) {
        std::vector<const char*> argv = {"varnel-monitor"};
        argv.insert(argv.end(), c.Args.begin(), c.Args.end());
        MonitorOptions o;
        char error[200];
        EXPECT_EQ(ParseMonitorOptions(int(argv.size()), argv.data(), &o, error, sizeof error), c.Ok) << error;
        EXPECT_STREQ(error, c.Error);
        if (!c.Ok)
            continue;
        EXPECT_EQ(o.HavePort ? o.Port : 0, c.Port);
        EXPECT_EQ(o.HaveBit ? int(o.Bit) : -1, c.Bit);
        EXPECT_EQ(o.DurationSamples, c.Samples);
    }
}

TEST(MonitorQueues, AFullQueueDropsTheNewestAndCountsThem)
{
    ResetMonitor();
    MonitorReport r{};
    for (r.Sample = 0; r.Sample < REPORT_QUEUE_SIZE + 3; ++r.Sample)
        EXPECT_EQ(PushReport(r), r.Sample < REPORT_QUEUE_SIZE);
    EXPECT_EQ(Reports.Lost.load(), 3u);
    for (uint64_t i = 0; i < REPORT_QUEUE_SIZE; ++i)
        EXPECT_TRUE(PopReport(&r) && r.Sample == i);
    EXPECT_FALSE(PopReport(&r));
    for (uint32_t i = 0; i < SAMPLE_QUEUE_SIZE + 5; ++i)
        EXPECT_EQ(PushSample(uint8_t(i & 1)), i < SAMPLE_QUEUE_SIZE);
    std::vector<uint8_t> out(SAMPLE_QUEUE_SIZE + 10);
    EXPECT_EQ(PopSamples(out.data(), uint32_t(out.size())), SAMPLE_QUEUE_SIZE);
    EXPECT_EQ(Samples.Lost.load(), 5u);
    ResetMonitor();
}

}  // namespace
