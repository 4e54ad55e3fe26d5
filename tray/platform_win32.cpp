// The Win32 platform table: the input reads of the sampling tick, the clock
// (set and read), the monotonic count and the locale formatters behind the
// portable core.
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

static ClockTime Win32ReadClock()
{
    SYSTEMTIME s;
    GetLocalTime(&s);
    return ClockTime{s.wYear, s.wMonth, s.wDayOfWeek, s.wDay, s.wHour, s.wMinute, s.wSecond,
                     s.wMilliseconds};
}

// The performance counter: 64 bits, present on every NT system, and not moved
// by clock settings. Where the hardware has none (QueryPerformanceFrequency
// fails, only before Windows XP), GetTickCount, widened to 64 bits by counting
// its wraps between calls; a wrap missed in a gap of over 49 days looks to the
// clock guard like a jump of the count, which it follows after three minutes.
// Called on the UI thread only.
static uint64_t Win32MonotonicMs()
{
    LARGE_INTEGER frequency, count;
    if (QueryPerformanceFrequency(&frequency) && frequency.QuadPart > 0 &&
        QueryPerformanceCounter(&count)) {
        const uint64_t f = uint64_t(frequency.QuadPart);
        const uint64_t c = uint64_t(count.QuadPart);
        return c / f * 1000 + c % f * 1000 / f;
    }
    static uint32_t lastTicks;
    static uint64_t wraps;
    const uint32_t ticks = GetTickCount();
    if (ticks < lastTicks)
        ++wraps;
    lastTicks = ticks;
    return wraps << 32 | ticks;
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

void InstallWin32Platform()
{
    Platform.ReadModemStatus = Win32ReadModemStatus;
    Platform.ReadIoPort = Win32ReadIoPort;
    Platform.PostTimeCode = Win32PostTimeCode;
    Platform.ClosePort = Win32ClosePort;
    Platform.YieldThread = Win32YieldThread;
    Platform.SetClock = Win32SetClock;
    Platform.ReadClock = Win32ReadClock;
    Platform.MonotonicMs = Win32MonotonicMs;
    Platform.FormatDate = Win32FormatDate;
    Platform.FormatTime = Win32FormatTime;
}

void ShowWarning(const char* text) { MessageBoxA(nullptr, text, "VARNEL", MB_OK | MB_ICONWARNING); }
