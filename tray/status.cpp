// The WM_TIMECODE decisions, kept apart from the tray calls so that they run in
// native tests: the clock guard, clock setting, classification and the tip text.
//
// The guard is a small tracking filter over the positions of confirmed minutes
// on the monotonic count (count minus the minute's UTC time). A minute that
// lands near the predicted position sets the clock and refines the prediction
// (position, drift of the count, scatter); one that does not is held, and three
// held minutes in a row that agree with each other (a leap second, a jump of
// the count) move the prediction to them. Comparing with the clock instead
// would follow every accepted minute's own jitter and drift with the PC clock
// between minutes; the count is moved by nothing. Before any position is
// known the clock decides: a minute within 50 ms of it is accepted, otherwise
// two minutes in a row must agree. A clock moved by hand is therefore set
// right at the next minute, while a noise pulse taken for the marker or a
// wrong minute never reaches the clock.
//
// Every piece of the tip is appended at the current end of the text. The
// formatters are not trusted: each gets at most the room that is left, and the
// end is found again from the zero within that room, so a formatter that fails,
// or claims more than it was given, can neither overrun the tip nor leave an
// unterminated text.
#include "status.h"

#include <cstring>

#include "../reception/reception.h"

bool TimerPeriodSuitable(uint32_t minPeriod)
{
    return minPeriod != 0 && SAMPLE_PERIOD_MS % minPeriod == 0;
}

ClockTime UnpackClockTime(uint32_t wParam, uint32_t lParam)
{
    const TimeFields f = UnpackTimeCode(wParam, lParam);
    ClockTime t{};
    t.Year = uint16_t(2000 + f.Year);
    t.Month = f.Month;
    t.DayOfWeek = f.DayOfWeek;
    t.Day = f.Day;
    t.Hour = f.Hour;
    t.Minute = f.Minute;
    t.Second = 0;
    t.Milliseconds = 0;
    return t;
}

bool SetClockTwice(const ClockTime& t)
{
    if (!Platform.SetClock(t))
        return false;
    // Only the first result counts; the second call just corrects the hour
    // after a summer-time change.
    Platform.SetClock(t);
    return true;
}

// Length of the text at tip, which always has a zero within TIP_SIZE bytes.
static uint32_t TipLength(const char* tip)
{
    uint32_t n = 0;
    while (n < TIP_SIZE - 1 && tip[n] != '\0')
        ++n;
    return n;
}

// Appends text, cut to the room left.
static void AppendText(char* tip, const char* text)
{
    uint32_t end = TipLength(tip);
    while (end < TIP_SIZE - 1 && *text != '\0')
        tip[end++] = *text++;
    tip[end] = '\0';
}

using FormatFunction = int (*)(const ClockTime&, const char*, char*, int);

// Appends one formatted piece of at most limit bytes (zero included).
static void AppendFormatted(char* tip, FormatFunction format, const ClockTime& t,
                            const char* picture, int limit)
{
    const uint32_t end = TipLength(tip);
    const uint32_t room = TIP_SIZE - end;
    const int size = room < uint32_t(limit) ? int(room) : limit;
    char* out = tip + end;
    const int written = format(t, picture, out, size);
    if (written <= 0 || written > size) {
        // Refused (or an impossible count): the piece adds nothing.
        out[0] = '\0';
        return;
    }
    // Keep what the formatter wrote up to its zero, and no further than its room.
    int n = 0;
    while (n < size - 1 && out[n] != '\0')
        ++n;
    out[n] = '\0';
}

void ComposeTip(char* tip, const char* word, const ClockTime& t, uint8_t status)
{
    tip[0] = '\0';
    AppendText(tip, "MSF status: ");
    AppendText(tip, word);
    AppendText(tip, ". ");
    if (t.Day != 0 && t.Month != 0) {
        AppendFormatted(tip, Platform.FormatDate, t, "ddd dd-MMM-yyyy, ", DATE_PIECE_SIZE);
        AppendFormatted(tip, Platform.FormatTime, t, "HH:mm ", TIME_PIECE_SIZE);
        AppendText(tip, (status & ST_SUMMER_TIME) ? "(BST)" : "(UTC)");
    } else {
        AppendText(tip, "No data received");
    }
}

ClockGuardRecord ClockGuard;

int64_t ClockTimeMs(const ClockTime& t)
{
    // Days from the civil calendar (no table), from 2000-01-01; 16-bit fields
    // keep every step within 32 bits.
    const int32_t month = t.Month;
    const int32_t year = int32_t(t.Year) - (month <= 2);
    const int32_t era = (year >= 0 ? year : year - 399) / 400;
    const int32_t yearOfEra = year - era * 400;
    const int32_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + t.Day - 1;
    const int32_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    const int32_t days = era * 146097 + dayOfEra - 730425;  // 0000-03-01 to 2000-01-01
    const int32_t minutes = t.Hour * 60 + t.Minute;
    return (int64_t(days) * 1440 + minutes) * 60000 + int32_t(t.Second) * 1000 + t.Milliseconds;
}

int64_t ClockOffsetMs(const ClockTime& now, const ClockTime& minute)
{
    return ClockTimeMs(now) - ClockTimeMs(minute);
}

// Monotonic times and spans are kept below 2^40 ms (35 years), so every
// product below stays far inside 64 bits.
constexpr uint64_t GUARD_TIME_LIMIT_MS = uint64_t(1) << 40;

static uint64_t Elapsed(uint64_t from, uint64_t to)
{
    if (to <= from)
        return 0;  // a count that went back (or a stand-in): no time passed
    return to - from < GUARD_TIME_LIMIT_MS ? to - from : GUARD_TIME_LIMIT_MS;
}

static int64_t Magnitude(int64_t x) { return x < 0 ? -x : x; }

static int64_t Clamp(int64_t x, int64_t low, int64_t high) { return x < low ? low : x > high ? high : x; }

// The guard's tolerance now, in us: four times the scatter, within 30..50 ms.
static int64_t ToleranceUs(const ClockGuardRecord& g)
{
    return Clamp(GUARD_SCATTER_FACTOR * g.ScatterUs, GUARD_TOLERANCE_MIN_MS * 1000,
                 GUARD_TOLERANCE_MAX_MS * 1000);
}

// Starts predicting from position (the first one, or after a held run that
// agreed); the drift and scatter learnt so far still hold.
static void Anchor(ClockGuardRecord& g, int64_t positionUs, uint64_t nowMs)
{
    if (!g.Tracking) {
        g.DriftPpb = 0;
        g.ScatterUs = GUARD_SCATTER_START_US;
    }
    g.Tracking = true;
    g.PositionUs = positionUs;
    g.LastAcceptedMs = nowMs;
    g.HaveHeld = false;
    g.HeldInARow = 0;
}

bool GuardAcceptsMinute(ClockGuardRecord& g, int64_t minuteUtcMs, int64_t clockOffsetMs,
                        uint64_t nowMs)
{
    const uint64_t now = nowMs < GUARD_TIME_LIMIT_MS ? nowMs : GUARD_TIME_LIMIT_MS;
    const int64_t positionUs = (int64_t(now) - minuteUtcMs) * 1000;
    uint8_t agreeingNeeded;  // held minutes after the first that must agree
    if (g.Tracking) {
        const uint64_t age = Elapsed(g.LastAcceptedMs, now);
        const int64_t predicted = g.PositionUs + g.DriftPpb * int64_t(age) / 1000000;
        const int64_t miss = positionUs - predicted;
        if (Magnitude(miss) <= ToleranceUs(g)) {
            g.PositionUs = predicted + miss / GUARD_POSITION_GAIN;
            if (age > 0)
                g.DriftPpb = Clamp(g.DriftPpb + miss * 1000000 / (int64_t(age) * GUARD_DRIFT_GAIN),
                                   -GUARD_DRIFT_LIMIT_PPB, GUARD_DRIFT_LIMIT_PPB);
            g.ScatterUs += (Magnitude(miss) - g.ScatterUs) / GUARD_SCATTER_GAIN;
            g.LastAcceptedMs = now;
            g.HaveHeld = false;
            g.HeldInARow = 0;
            return true;
        }
        // Against a known position it takes three minutes in a row: two noise
        // pulses in a row at the same place are rare, three are not seen.
        agreeingNeeded = 2;
    } else {
        if (Magnitude(clockOffsetMs) <= GUARD_TOLERANCE_MAX_MS) {
            Anchor(g, positionUs, now);
            return true;
        }
        agreeingNeeded = 1;
    }
    bool agrees = false;
    if (g.HaveHeld) {
        const uint64_t since = Elapsed(g.HeldAtMs, now);
        const int64_t predicted = g.HeldPositionUs + g.DriftPpb * int64_t(since) / 1000000;
        agrees = Magnitude(positionUs - predicted) <= GUARD_TOLERANCE_MAX_MS * 1000;
    }
    if (agrees && g.HeldInARow + 1 >= agreeingNeeded) {
        Anchor(g, positionUs, now);
        return true;
    }
    g.HeldInARow = agrees ? uint8_t(g.HeldInARow + 1) : 0;
    g.HaveHeld = true;
    g.HeldPositionUs = positionUs;
    g.HeldAtMs = now;
    return false;
}

// A confirmed minute: set the clock unless the guard holds it. True when set.
static bool SetConfirmedMinute(ClockGuardRecord* guard, const ClockTime& t, StatusFlags status)
{
    if (guard != nullptr) {
        // The position is taken in UTC, so the summer-time change is no step;
        // in UTC mode the decoder has cleared the summer flag.
        const int64_t minuteUtcMs = ClockTimeMs(t) - ((status & ST_SUMMER_TIME) ? 3600000 : 0);
        const int64_t offsetMs = ClockOffsetMs(Platform.ReadClock(), t);
        if (!GuardAcceptsMinute(*guard, minuteUtcMs, offsetMs, Platform.MonotonicMs()))
            return false;
    }
    return SetClockTwice(t);
}

TrayIconKind ReportTimeCode(uint32_t wParam, uint32_t lParam, char* tip)
{
    return ReportTimeCodeWith(&ClockGuard, wParam, lParam, tip);
}

TrayIconKind ReportTimeCodeWith(ClockGuardRecord* guard, uint32_t wParam, uint32_t lParam, char* tip)
{
    const ClockTime t = UnpackClockTime(wParam, lParam);
    const StatusFlags status = UnpackStatus(lParam);

    // The valid bit is tested first: a confirmed minute that sets the clock is
    // good even while a failure bit is still raised. A held minute is poor.
    TrayIconKind icon;
    const char* word;
    if ((status & ST_TIME_VALID) && SetConfirmedMinute(guard, t, status)) {
        icon = ICON_GOOD;
        word = "good";
    } else if (status & (ST_NO_PULSE | ST_UNCONFIRMED_LONG)) {
        icon = ICON_FAIL;
        word = "fail";
    } else {
        icon = ICON_POOR;
        word = "poor";
    }
    ComposeTip(tip, word, t, status);
    return icon;
}
