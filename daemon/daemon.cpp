// The daemon's tick: the Windows program's sampling step, decoder and status
// decision (with its clock guard), and beside them the line's edges turned
// into one sample per accepted second. Single-threaded: the Linux glue calls
// everything here from its main loop.
#include "daemon.h"

#include <cstring>

#include "../reception/platform.h"
#include "../reception/reception.h"

DaemonRecord DaemonState;

constexpr int64_t UNIX_MS_AT_2000 = 946684800000;  // 2000-01-01 00:00 UTC
constexpr int64_t HOUR_MS = 3600000;
constexpr int64_t SAMPLE_PERIOD_NS = int64_t(SAMPLE_PERIOD_MS) * NS_PER_MS;

int64_t MinuteUtcNs(uint32_t wParam, uint32_t lParam)
{
    // The guard's own reading (BST by the date, not by the summer bit alone),
    // so that chronyd gets the minute the guard accepted.
    return (MinuteUtcMs(UnpackClockTime(wParam, lParam), UnpackStatus(lParam)) + UNIX_MS_AT_2000) * NS_PER_MS;
}

static int64_t FloorDiv(int64_t a, int64_t b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); }

// A calendar record of ms since 1970 (the civil calendar, no table).
static ClockTime ClockFromUnixMs(int64_t ms)
{
    const int64_t days = FloorDiv(ms, 86400000);
    const int64_t inDay = ms - days * 86400000;
    const int64_t z = days + 719468;  // days from 0000-03-01
    const int64_t era = FloorDiv(z, 146097);
    const int64_t dayOfEra = z - era * 146097;
    const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t mp = (5 * dayOfYear + 2) / 153;
    const int64_t month = mp < 10 ? mp + 3 : mp - 9;
    ClockTime t{};
    t.Year = uint16_t(yearOfEra + era * 400 + (month <= 2));
    t.Month = uint16_t(month);
    t.Day = uint16_t(dayOfYear - (153 * mp + 2) / 5 + 1);
    t.DayOfWeek = uint16_t(FloorDiv(days + 4, 7) * -7 + days + 4);  // 1970-01-01 was a Thursday
    t.Hour = uint16_t(inDay / 3600000);
    t.Minute = uint16_t(inDay / 60000 % 60);
    t.Second = uint16_t(inDay / 1000 % 60);
    t.Milliseconds = uint16_t(inDay % 1000);
    return t;
}

static const char WEEKDAYS[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
static const char MONTHS[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

int FormatClockEnglish(const ClockTime& t, const char* picture, char* out, int size)
{
    if (t.Month < 1 || t.Month > 12 || t.Day < 1 || t.Day > 31 || t.Hour > 23 || t.Minute > 59 ||
        size <= 0)
        return 0;
    const int64_t days = FloorDiv(ClockTimeMs(t), 86400000);  // from 2000-01-01, a Saturday
    char text[64];
    int n = 0;
    auto put = [&](const char* piece) {
        while (*piece != '\0' && n < int(sizeof text) - 1)
            text[n++] = *piece++;
    };
    auto two = [&](unsigned v) {
        const char digits[3] = {char('0' + v / 10 % 10), char('0' + v % 10), '\0'};
        put(digits);
    };
    for (const char* p = picture; *p != '\0';) {
        if (std::strncmp(p, "ddd", 3) == 0) {
            put(WEEKDAYS[(days % 7 + 7 + 6) % 7]);
            p += 3;
        } else if (std::strncmp(p, "dd", 2) == 0) {
            two(t.Day);
            p += 2;
        } else if (std::strncmp(p, "MMM", 3) == 0) {
            put(MONTHS[t.Month - 1]);
            p += 3;
        } else if (std::strncmp(p, "yyyy", 4) == 0) {
            two(t.Year / 100);
            two(t.Year % 100);
            p += 4;
        } else if (std::strncmp(p, "HH", 2) == 0) {
            two(t.Hour);
            p += 2;
        } else if (std::strncmp(p, "mm", 2) == 0) {
            two(t.Minute);
            p += 2;
        } else {
            const char one[2] = {*p++, '\0'};
            put(one);
        }
    }
    if (n + 1 > size)
        return 0;
    std::memcpy(out, text, size_t(n));
    out[n] = '\0';
    return n + 1;
}

// ---- The platform calls the core answers itself ----

static void QueueTimeCode(uintptr_t, uint32_t wParam, uint32_t lParam)
{
    DaemonRecord& d = DaemonState;
    if (d.PendingCount < PENDING_MESSAGES) {
        d.PendingWParam[d.PendingCount] = wParam;
        d.PendingLParam[d.PendingCount] = lParam;
        ++d.PendingCount;
    }
}

// The clock the guard compares with, read in the message's own scale: UTC,
// or UK civil time while the message carries BST.
static ClockTime ReadClockNow()
{
    const DaemonRecord& d = DaemonState;
    return ClockFromUnixMs(FloorDiv(d.ReadRealNs, NS_PER_MS) + (d.MessageSummer ? HOUR_MS : 0));
}

static uint64_t MonotonicNowMs()
{
    return DaemonState.ReadMonoNs > 0 ? uint64_t(DaemonState.ReadMonoNs / NS_PER_MS) : 0;
}

// chrony mode: accepting the minute is all; chronyd steers the clock. Direct
// mode: the clock is set to the minute as of its marker's edge, so the time
// since the edge (and the receiver's delay) is not lost as on Windows.
static bool SetClockForMode(const ClockTime& t)
{
    const DaemonRecord& d = DaemonState;
    if (d.Mode == MODE_CHRONY)
        return true;
    // The minute alone: the time since its marker comes from the edge.
    const ClockTime minute{t.Year, t.Month, t.DayOfWeek, t.Day, t.Hour, t.Minute, 0, 0};
    const int64_t utcNs =
        (ClockTimeMs(minute) + UNIX_MS_AT_2000 - (d.MessageSummer ? HOUR_MS : 0)) * NS_PER_MS;
    return d.Ops.SetRealTime(utcNs + d.DelayNs,
                             SecondsMarkerNs(d.Seconds, d.PrevReadMonoNs, d.ReadMonoNs));
}

static void ShowStatus(const char* line)
{
    DaemonRecord& d = DaemonState;
    if (std::strncmp(line, d.Status, TIP_SIZE) == 0)
        return;
    std::strncpy(d.Status, line, TIP_SIZE - 1);
    d.Status[TIP_SIZE - 1] = '\0';
    d.Ops.ShowStatus(d.Status);
}

void DaemonBegin(TimeOutMode mode, int64_t delayNs, bool edgesStamped, const DaemonOps& ops)
{
    DaemonRecord& d = DaemonState;
    d = DaemonRecord{};
    d.Ops = ops;
    d.Mode = mode;
    d.DelayNs = delayNs;
    d.EdgesStamped = edgesStamped;
    SecondsReset(d.Seconds);
    ResetDecoder();
    ClockGuard = ClockGuardRecord{};
    Platform.PostTimeCode = QueueTimeCode;
    Platform.SetClock = SetClockForMode;
    Platform.ReadClock = ReadClockNow;
    Platform.MonotonicMs = MonotonicNowMs;
    Platform.FormatDate = FormatClockEnglish;
    Platform.FormatTime = FormatClockEnglish;
    ShowStatus(START_TIP);
}

static void Send(const SecondSample& sample)
{
    DaemonRecord& d = DaemonState;
    if (d.Mode != MODE_CHRONY)
        return;
    d.Ops.SendSample(sample.RealNs, sample.OffsetNs);
    ++d.SamplesSent;
}

static uint8_t CarrierOffLevel() { return DecoderState.LevelCounter >= 128 ? 1 : 0; }

void DaemonEdge(const LineEdge& edge)
{
    DaemonRecord& d = DaemonState;
    d.EdgesDelivered += 1 + uint64_t(edge.Missed);
    SecondSample sample;
    if (SecondsEdge(d.Seconds, edge, CarrierOffLevel(), &sample))
        Send(sample);
}

// One message of the decoder: the status line, and for a confirmed minute
// the guard's verdict. This is the daemon's one call into the clock guard.
static void HandleTimeCode(uint32_t wParam, uint32_t lParam)
{
    DaemonRecord& d = DaemonState;
    // BST as the guard reads it: by the date, the summer bit deciding only in
    // the hour repeated in October (the bit is in no parity group).
    const ClockTime t = UnpackClockTime(wParam, lParam);
    const int64_t utcMs = MinuteUtcMs(t, UnpackStatus(lParam));
    d.MessageSummer = utcMs != GUARD_NOT_A_MINUTE && utcMs != ClockTimeMs(t);
    char tip[TIP_SIZE];
    const TrayIconKind icon = ReportTimeCode(wParam, lParam, tip);
    if (icon == ICON_GOOD && (UnpackStatus(lParam) & ST_TIME_VALID)) {
        // Its marker's edge came between the last two reads of the line.
        SecondsKnowMinute(d.Seconds, MinuteUtcNs(wParam, lParam) + d.DelayNs, d.PrevReadMonoNs,
                          d.ReadMonoNs);
        ++d.MinutesAccepted;
    }
    ShowStatus(tip);
}

// One grid instant with the line's bit read then; every change up to then has
// been handed to DaemonEdge (a stamped line's replay waits for that).
static void Tick(uint8_t bit, int64_t monoNs, int64_t realNs, int64_t rawNs)
{
    DaemonRecord& d = DaemonState;
    d.PrevReadMonoNs = d.ReadMonoNs != 0 ? d.ReadMonoNs : monoNs - SAMPLE_PERIOD_NS;
    d.PrevReadRealNs = d.ReadRealNs != 0 ? d.ReadRealNs : realNs - SAMPLE_PERIOD_NS;
    d.PrevReadRawNs = d.ReadRawNs != 0 ? d.ReadRawNs : rawNs - SAMPLE_PERIOD_NS;
    d.ReadMonoNs = monoNs;
    d.ReadRealNs = realNs;
    d.ReadRawNs = rawNs;

    if (!d.EdgesStamped && d.HaveBit && bit != d.LastBit) {
        // A line only sampled: its change lies somewhere between the reads.
        const LineEdge edge{d.PrevReadMonoNs + (monoNs - d.PrevReadMonoNs) / 2,
                            d.PrevReadRealNs + (realNs - d.PrevReadRealNs) / 2,
                            d.PrevReadRawNs + (rawNs - d.PrevReadRawNs) / 2, bit, 0};
        DaemonEdge(edge);
    }
    d.HaveBit = true;
    d.LastBit = bit;

    d.PendingCount = 0;
    StepDecoder(bit, 0);
    for (uint8_t i = 0; i < d.PendingCount; ++i)
        HandleTimeCode(d.PendingWParam[i], d.PendingLParam[i]);

    SecondSample sample;
    if (SecondsSettle(d.Seconds, monoNs, &sample))
        Send(sample);
}

void DaemonTick(int64_t monoNs, int64_t realNs, int64_t rawNs) { Tick(ReadSampleBit(), monoNs, realNs, rawNs); }

void DaemonGridBegin(int64_t monoNs, uint8_t level)
{
    DaemonRecord& d = DaemonState;
    d.GridNs = monoNs;
    d.GridLevel = level;
    d.StoredFirst = 0;
    d.StoredCount = 0;
}

void DaemonStoreEdges(bool (*take)(LineEdge*))
{
    DaemonRecord& d = DaemonState;
    while (d.StoredCount < STORED_EDGES &&
           take(&d.Stored[(d.StoredFirst + d.StoredCount) % STORED_EDGES]))
        ++d.StoredCount;
}

void DaemonReplay(int64_t countedAtNs, uint64_t counted, int64_t realMinusMonoNs, int64_t rawMinusMonoNs)
{
    DaemonRecord& d = DaemonState;
    uint64_t inHand = d.EdgesDelivered;
    for (uint32_t i = 0; i < d.StoredCount; ++i)
        inHand += 1 + uint64_t(d.Stored[(d.StoredFirst + i) % STORED_EDGES].Missed);
    int64_t untilNs = countedAtNs;
    if (counted > inHand) {
        // One is on its way from the edge thread, stamped after every stored one.
        const int64_t lastNs =
            d.StoredCount > 0 ? d.Stored[(d.StoredFirst + d.StoredCount - 1) % STORED_EDGES].MonoNs : INT64_MIN;
        untilNs = lastNs > countedAtNs - STAMP_WAIT_NS ? lastNs : countedAtNs - STAMP_WAIT_NS;
    }
    if (untilNs - d.GridNs > REPLAY_LIMIT_NS)
        d.GridNs += (untilNs - d.GridNs - REPLAY_LIMIT_NS) / SAMPLE_PERIOD_NS * SAMPLE_PERIOD_NS;
    for (; d.GridNs <= untilNs; d.GridNs += SAMPLE_PERIOD_NS) {
        while (d.StoredCount > 0 && d.Stored[d.StoredFirst].MonoNs <= d.GridNs) {
            const LineEdge& edge = d.Stored[d.StoredFirst];
            d.GridLevel = edge.Level;
            DaemonEdge(edge);
            d.StoredFirst = (d.StoredFirst + 1) % STORED_EDGES;
            --d.StoredCount;
        }
        Tick(d.GridLevel, d.GridNs, d.GridNs + realMinusMonoNs, d.GridNs + rawMinusMonoNs);
    }
}
