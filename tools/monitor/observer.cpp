// The monitor's timer-thread half: runs Varnel's decoder step on each sample,
// reads what the decoder's state shows afterwards (second starts, the A and B
// bits, carrier-off runs, minute markers, the polarity it learned) and hands
// reports and the sample to the main thread through two lock-free queues.
#include "monitor.h"

#include "config/config.h"
#include "tray/status.h"

ObserverRecord Observer;
ReportQueue Reports;
SampleQueue Samples;

void CapturePost(uintptr_t, uint32_t wParam, uint32_t lParam)
{
    Observer.Posted = true;
    Observer.PostedWParam = wParam;
    Observer.PostedLParam = lParam;
}

void ResetMonitor()
{
    ResetDecoder();
    ResetSecondTracking();
    Observer = ObserverRecord{};
    Observer.FirstWindow = true;
    Observer.Current.Number = NUMBER_UNKNOWN;
    Reports.Written = 0;
    Reports.Read = 0;
    Reports.Lost = 0;
    Samples.Written = 0;
    Samples.Read = 0;
    Samples.Lost = 0;
}

bool PushReport(const MonitorReport& report)
{
    const uint32_t written = Reports.Written.load(std::memory_order_relaxed);
    if (written - Reports.Read.load(std::memory_order_acquire) >= REPORT_QUEUE_SIZE) {
        Reports.Lost.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    Reports.Items[written % REPORT_QUEUE_SIZE] = report;
    Reports.Written.store(written + 1, std::memory_order_release);
    return true;
}

bool PopReport(MonitorReport* report)
{
    const uint32_t read = Reports.Read.load(std::memory_order_relaxed);
    if (read == Reports.Written.load(std::memory_order_acquire))
        return false;
    *report = Reports.Items[read % REPORT_QUEUE_SIZE];
    Reports.Read.store(read + 1, std::memory_order_release);
    return true;
}

bool PushSample(uint8_t bit)
{
    const uint32_t written = Samples.Written.load(std::memory_order_relaxed);
    if (written - Samples.Read.load(std::memory_order_acquire) >= SAMPLE_QUEUE_SIZE) {
        Samples.Lost.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    Samples.Items[written % SAMPLE_QUEUE_SIZE] = bit;
    Samples.Written.store(written + 1, std::memory_order_release);
    return true;
}

uint32_t PopSamples(uint8_t* out, uint32_t max)
{
    const uint32_t read = Samples.Read.load(std::memory_order_relaxed);
    const uint32_t available = Samples.Written.load(std::memory_order_acquire) - read;
    const uint32_t count = available < max ? available : max;
    for (uint32_t i = 0; i < count; ++i)
        out[i] = Samples.Items[(read + i) % SAMPLE_QUEUE_SIZE];
    Samples.Read.store(read + count, std::memory_order_release);
    return count;
}

static MonitorReport NewReport(ReportKind kind)
{
    MonitorReport report{};
    report.Sample = Observer.Sample;
    report.Kind = kind;
    return report;
}

static uint16_t CountUp(uint16_t count) { return count == 0xFFFF ? count : uint16_t(count + 1); }

// The second in progress ended: report it and count it in the minute.
static void FinishSecond()
{
    ObserverRecord& o = Observer;
    o.Current.LengthTicks = o.TicksInSecond;
    MonitorReport report = NewReport(REPORT_SECOND);
    report.Second = o.Current;
    PushReport(report);
    if (o.SecondTainted)
        return;
    o.Seconds = CountUp(o.Seconds);
    if (o.TicksInSecond >= REGULAR_MIN_TICKS && o.TicksInSecond <= REGULAR_MAX_TICKS)
        o.Regular = CountUp(o.Regular);
    else
        o.Irregular = CountUp(o.Irregular);
}

// A second starts at this sample, which is carrier off: its first run.
static void BeginSecond(bool marker)
{
    ObserverRecord& o = Observer;
    uint16_t number = o.Current.Number;
    if (marker)
        number = 0;
    else if (number != NUMBER_UNKNOWN && number < NUMBER_MAX)
        ++number;
    o.Current = SecondReport{};
    o.Current.Number = number;
    o.Current.A = BIT_NOT_SAMPLED;
    o.Current.B = BIT_NOT_SAMPLED;
    o.Current.RunCount = 1;
    o.Current.Runs[0] = 1;
    o.RunIndex = 0;
    o.InRun = true;
    o.TicksInSecond = 0;
    o.SecondOpen = true;
    o.SecondTainted = false;
}

static void FollowRun(bool pulse)
{
    ObserverRecord& o = Observer;
    if (!pulse) {
        o.InRun = false;
        return;
    }
    if (o.InRun) {
        if (o.RunIndex < MAX_RUNS)
            ++o.Current.Runs[o.RunIndex];
        return;
    }
    o.InRun = true;
    if (o.Current.RunCount < MAX_RUNS) {
        o.RunIndex = o.Current.RunCount;
        o.Current.Runs[o.Current.RunCount++] = 1;
    } else {
        o.RunIndex = MAX_RUNS;
        o.Current.MoreRuns = true;
    }
}

// What Varnel's clock guard would do with the confirmed minute just posted,
// were its message handled at once: the monitor's own guard record, the stamp
// the sampling step made, the PC's clock.
static void JudgeAsVarnel(MinuteReport& m)
{
    ObserverRecord& o = Observer;
    MinuteStamp stamp;
    const bool stamped = ReadMinuteStamp(o.PostedWParam, o.PostedLParam, &stamp);
    const ClockTime t = UnpackClockTime(o.PostedWParam, o.PostedLParam);
    m.ClockOffsetMs = ClockOffsetMs(Platform.ReadClock(), t);
    m.Guard = GuardJudgeMinute(o.Guard, stamped ? &stamp : nullptr,
                               MinuteUtcMs(t, UnpackStatus(o.PostedLParam)), m.ClockOffsetMs,
                               stamped ? stamp.MarkerMs : 0);
}

// At a recognised marker, after the decoder step: the minute and its fate.
static void ReportMinute()
{
    ObserverRecord& o = Observer;
    const DecoderRecord& d = DecoderState;
    MonitorReport report = NewReport(REPORT_MINUTE);
    MinuteReport& m = report.Minute;
    m.Fields = d.Decoded;
    m.ParityPassed = ParityGroupsPassed(d);
    m.Summer = (d.BRegister >> 1 & 1) != 0;  // B58
    m.UtcMode = UTCFlag.load(std::memory_order_relaxed) != 0;
    const bool clean = m.ParityPassed == PARITY_ALL;
    const bool possible = FieldsInRange(d.Decoded);
    const bool confirmed = o.Posted && (UnpackStatus(o.PostedLParam) & ST_TIME_VALID) != 0;
    // Bit k of the A register is A(59 - k): before the first marker only the
    // newest ABits of them were sampled.
    if (!o.MarkerEverSeen && o.ABits < 59)
        m.FirstReceived = uint8_t(60 - o.ABits);
    bool unseenGroupFailed = false;
    for (unsigned g = 0; g < 4; ++g)
        unseenGroupFailed |= !(m.ParityPassed >> g & 1) && m.FirstReceived > PARITY_GROUP_FIRST_SECOND[g];
    o.MarkerEverSeen = true;
    if (confirmed) {
        m.Outcome = MINUTE_CONFIRMED;
        JudgeAsVarnel(m);
    } else if (unseenGroupFailed) {
        m.Outcome = MINUTE_PARTIAL;
    } else if (!clean) {
        m.Outcome = MINUTE_PARITY_ERROR;
    } else if (!possible) {
        m.Outcome = MINUTE_IMPOSSIBLE;
    } else if (!o.HaveExpected) {
        m.Outcome = MINUTE_FIRST;
    } else {
        m.Outcome = MINUTE_MISMATCH;
        m.Expected = o.Expected;
    }
    PushReport(report);

    // The decoder's prediction runs on through bad minutes once started.
    o.HaveExpected = o.HaveExpected || (clean && possible);
    o.Expected = d.Predicted;
    o.LastDecodeClean = clean && possible;
    o.LastConfirmed = confirmed;
}

static void CloseMinute(bool markerSeen)
{
    ObserverRecord& o = Observer;
    MonitorReport report = NewReport(REPORT_SUMMARY);
    SummaryReport& s = report.Summary;
    s.Seconds = o.Seconds;
    s.Regular = o.Regular;
    s.Irregular = o.Irregular;
    s.FirstWindow = o.FirstWindow;
    s.MarkerSeen = markerSeen;
    s.DecodeClean = markerSeen && o.LastDecodeClean;
    s.Confirmed = markerSeen && o.LastConfirmed;
    s.Inverted = DecoderState.LevelCounter >= 128;
    s.Learned = o.Learned;
    s.NoPulse = (DecoderState.Status & ST_NO_PULSE) != 0;
    PushReport(report);
    o.WindowStart = o.Sample;
    o.FirstWindow = false;
    o.Learned = false;
    o.Seconds = o.Regular = o.Irregular = 0;
}

static void ReportPosted()
{
    if (!Observer.Posted)
        return;
    MonitorReport report = NewReport(REPORT_MESSAGE);
    report.WParam = Observer.PostedWParam;
    report.LParam = Observer.PostedLParam;
    PushReport(report);
}

void MonitorStep(uint8_t bit)
{
    ObserverRecord& o = Observer;
    ++o.Sample;
    o.Posted = false;
    StepDecoder(bit, 0);
    PushSample(bit);

    const DecoderRecord& d = DecoderState;
    // The decoder's own rule: the level that dominated is carrier on.
    const uint8_t level = d.LevelCounter;
    const bool pulse = bit ? level >= 128 : level <= 127;
    const bool polarityChanged = (level >= 128) != (o.PreviousLevel >= 128);
    // TickCount is 0 after a second start, and also after it wrapped from 255.
    const bool secondStart = d.TickCount == 0 && o.PreviousTick != 255;
    o.PreviousTick = d.TickCount;
    o.PreviousLevel = level;
    if (o.TicksInSecond != UINT32_MAX)
        ++o.TicksInSecond;

    if (polarityChanged) {
        // What came before was read with the other polarity: start counting anew.
        o.Learned = true;
        o.Seconds = o.Regular = o.Irregular = 0;
        o.ABits = 0;
        o.SecondTainted = true;
    }

    bool markerSeen = false;
    if (secondStart) {
        if (o.SecondOpen)
            FinishSecond();
        // The registers hold the whole minute when its identifier ends them.
        markerSeen = d.ARegister[0] == 0x7E;
        if (markerSeen)
            ReportMinute();
        ReportPosted();
        if (markerSeen)
            CloseMinute(true);
        BeginSecond(markerSeen);
    } else {
        if (o.SecondOpen) {
            FollowRun(pulse);
            // The first A and B samples after the second's start are its bits.
            if (d.TickCount == 7 && o.Current.A == BIT_NOT_SAMPLED)
                o.Current.A = d.ARegister[0] & 1;
            if (d.TickCount == 7 && o.ABits < 60)
                ++o.ABits;
            if (d.TickCount == 12 && o.Current.B == BIT_NOT_SAMPLED)
                o.Current.B = d.BRegister & 1;
        }
        if (o.TicksInSecond >= 2 * SAMPLES_PER_SECOND && o.TicksInSecond % SAMPLES_PER_SECOND == 0) {
            MonitorReport report = NewReport(REPORT_SILENCE);
            const uint32_t seconds = o.TicksInSecond / SAMPLES_PER_SECOND;
            report.SilentSeconds = uint16_t(seconds > 0xFFFF ? 0xFFFF : seconds);
            PushReport(report);
        }
        ReportPosted();
    }
    if (!markerSeen &&
        o.Sample - o.WindowStart >= (o.FirstWindow ? FIRST_WINDOW_SAMPLES : WINDOW_SAMPLES))
        CloseMinute(false);
}
