// The Win32 platform table: the input reads of the sampling tick, the clock
// (set, and read with the monotonic count from reception's glue) and the
// locale formatters behind the portable core.
#include "tray_win32.h"

#include <cstdint>

#include "../reception/input_win32.h"
#include "../reception/platform.h"

static SYSTEMTIME ToSystemTime(const ClockTime& t)
{
    SYSTEMTIME s;
    s.wYear = t.Year;
    s.wMonth = t.Month;
    s.wDayOfWeek = t.DayOfWeek;
    s.wDay = t.Day;
    s.wHour = t.Hour;
    s.wMinute = t.Minute;
    s.wSecond = t.Second;
    s.wMilliseconds = t.Milliseconds;
    return s;
}

static bool Win32SetClock(const ClockTime& t)
{
    const SYSTEMTIME s = ToSystemTime(t);
    return SetLocalTime(&s) != FALSE;
}

static int Win32FormatDate(const ClockTime& t, const char* picture, char* out, int size)
{
    const SYSTEMTIME s = ToSystemTime(t);
    return GetDateFormatA(LOCALE_USER_DEFAULT, 0, &s, picture, out, size);
}

static int Win32FormatTime(const ClockTime& t, const char* picture, char* out, int size)
{
    const SYSTEMTIME s = ToSystemTime(t);
    return GetTimeFormatA(LOCALE_USER_DEFAULT, 0, &s, picture, out, size);
}

static void Win32YieldThread() { SwitchToThread(); }

static void Win32SleepMs(uint32_t ms) { Sleep(ms); }

void InstallWin32Platform()
{
    Platform.ReadModemStatus = Win32ReadModemStatus;
    Platform.ReadIoPort = Win32ReadIoPort;
    Platform.PostTimeCode = Win32PostTimeCode;
    Platform.ClosePort = Win32ClosePort;
    Platform.YieldThread = Win32YieldThread;
    Platform.SleepMs = Win32SleepMs;
    Platform.SetClock = Win32SetClock;
    Platform.ReadClock = Win32ReadClock;
    Platform.MonotonicMs = Win32MonotonicMs;
    Platform.FormatDate = Win32FormatDate;
    Platform.FormatTime = Win32FormatTime;
}

void ShowWarning(const char* text) { MessageBoxA(nullptr, text, "VARNEL", MB_OK | MB_ICONWARNING); }
