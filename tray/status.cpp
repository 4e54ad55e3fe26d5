// The WM_TIMECODE decisions, kept apart from the tray calls so that they run in
// native tests: the clock guard's verdict (reception/clock_guard.h), clock
// setting, classification and the tip text.
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

// A confirmed minute: set the clock unless the guard holds it. True when set.
static bool SetConfirmedMinute(ClockGuardRecord* guard, uint32_t wParam, uint32_t lParam,
                               const ClockTime& t, GuardJudgement* judgement)
{
    if (guard != nullptr) {
        // The minute is taken in UTC, so the summer-time change is no step.
        MinuteStamp stamp;
        const bool stamped = ReadMinuteStamp(wParam, lParam, &stamp);
        const int64_t offsetMs = ClockOffsetMs(Platform.ReadClock(), t);
        const GuardJudgement j = GuardJudgeMinute(*guard, stamped ? &stamp : nullptr,
                                                  MinuteUtcMs(t, UnpackStatus(lParam)), offsetMs,
                                                  Platform.MonotonicMs());
        if (judgement != nullptr)
            *judgement = j;
        if (!GuardSets(j.Verdict))
            return false;
        // A marker taken early: the clock is set when its second starts.
        if (j.WaitMs > 0) {
            Platform.SleepMs(j.WaitMs);
            if (!GuardStillTimely(j, Platform.MonotonicMs())) {
                if (judgement != nullptr)
                    judgement->Verdict = GUARD_HOLD_LATE;
                return false;
            }
        }
        // Handled late: the time since the marker's second began goes on.
        if (j.CarryMs > 0) {
            ClockTime carried = t;
            carried.Second = uint16_t(j.CarryMs / 1000);
            carried.Milliseconds = uint16_t(j.CarryMs % 1000);
            return SetClockTwice(carried);
        }
    }
    return SetClockTwice(t);
}

TrayIconKind ReportTimeCode(uint32_t wParam, uint32_t lParam, char* tip)
{
    return ReportTimeCodeWith(&ClockGuard, wParam, lParam, tip);
}

TrayIconKind ReportTimeCodeWith(ClockGuardRecord* guard, uint32_t wParam, uint32_t lParam, char* tip,
                                GuardJudgement* judgement)
{
    const ClockTime t = UnpackClockTime(wParam, lParam);
    const StatusFlags status = UnpackStatus(lParam);

    // The valid bit is tested first: a confirmed minute that sets the clock is
    // good even while a failure bit is still raised. A held minute is poor.
    TrayIconKind icon;
    const char* word;
    if ((status & ST_TIME_VALID) && SetConfirmedMinute(guard, wParam, lParam, t, judgement)) {
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
