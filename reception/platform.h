// The seam between the portable core and the operating system: one table of
// plain function pointers, filled once at start-up by the Win32 glue, and by
// tests and tools with their own stand-ins.
#pragma once

#include <cstdint>

// A calendar record as the system clock takes it (16-bit fields, local time).
struct ClockTime {
    uint16_t Year;       // full year, e.g. 2026
    uint16_t Month;      // 1..12
    uint16_t DayOfWeek;  // 0 = Sunday
    uint16_t Day;
    uint16_t Hour;
    uint16_t Minute;
    uint16_t Second;
    uint16_t Milliseconds;
};

struct PlatformOps {
    // Modem status word of an open serial handle; false when the read fails.
    bool (*ReadModemStatus)(uintptr_t handle, uint32_t* status);
    // Value read from an I/O port through Inp32; only the low byte is used.
    uint32_t (*ReadIoPort)(uint32_t port);
    // Posts WM_TIMECODE with its two parameters to window; never blocks.
    void (*PostTimeCode)(uintptr_t window, uint32_t wParam, uint32_t lParam);
    // Closes a serial handle.
    void (*ClosePort)(uintptr_t handle);
    // Gives the rest of this thread's time slice to another ready thread.
    void (*YieldThread)();
    // Suspends this thread for about ms milliseconds (the clock thread, when a
    // minute is to be set a moment later).
    void (*SleepMs)(uint32_t ms);
    // Sets the local clock; true on success.
    bool (*SetClock)(const ClockTime& time);
    // The local clock's reading now, in the record SetClock takes.
    ClockTime (*ReadClock)();
    // Milliseconds on a count that only goes forward, is not moved by clock
    // settings and does not wrap while the program runs.
    uint64_t (*MonotonicMs)();
    // Formats the date (or the time) of t with a picture for the user's
    // locale into out (size bytes); returns the characters written including
    // the terminating zero, 0 on failure, like the system's formatters.
    int (*FormatDate)(const ClockTime& t, const char* picture, char* out, int size);
    int (*FormatTime)(const ClockTime& t, const char* picture, char* out, int size);
};

// Starts with stand-ins that fail every call (reads fail, nothing is posted,
// the clock is never set, reads as all zeros and the count stands at 0).
extern PlatformOps Platform;
