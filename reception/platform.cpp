// The platform table's initial stand-ins: every call fails or does nothing,
// until the Win32 glue (or a test, or a tool) installs real ones.
#include "platform.h"

static bool NoModemStatus(uintptr_t, uint32_t*) { return false; }
static uint32_t NoIoPort(uint32_t) { return 0xFF; }
static void NoPost(uintptr_t, uint32_t, uint32_t) {}
static void NoClose(uintptr_t) {}
static void NoYield() {}
static void NoSleep(uint32_t) {}
static bool NoClock(const ClockTime&) { return false; }
static ClockTime NoClockReading() { return ClockTime{}; }
static uint64_t NoCount() { return 0; }
static int NoFormat(const ClockTime&, const char*, char*, int) { return 0; }

PlatformOps Platform = {NoModemStatus, NoIoPort,       NoPost,  NoClose,  NoYield, NoSleep,
                        NoClock,       NoClockReading, NoCount, NoFormat, NoFormat};
