// libFuzzer target for the tray tip: ReportTimeCode with arbitrary messages,
// clock results and locale formatters that return anything (failures, counts
// larger than their room, text without a terminating zero).
// Invariants: the tip is zero-terminated within its 64 bytes and nothing past
// them is written; it starts with "MSF status: " and the word is the one the
// classification rule gives (good / fail / poor, a minute the guard holds
// being no setting), followed by ". ".
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "reception/platform.h"
#include "reception/reception.h"
#include "tray/status.h"

// The fuzzer's bytes, consumed by the stand-ins as they are called.
static const uint8_t* Data;
static size_t Left;

static uint8_t Take()
{
    if (Left == 0)
        return 0;
    --Left;
    return *Data++;
}

static bool ClockAnswer;

static bool FuzzSetClock(const ClockTime&) { return ClockAnswer; }

// A clock that agrees with the message, and a fresh guard for every input: the
// guard then lets every confirmed minute through whose weekday is its date's.
static ClockTime Reading;
static ClockTime FuzzReadClock() { return Reading; }

// Writes up to size bytes of fuzzer text (maybe without a zero) and returns a
// count that may be anything: 0, negative, within the room or far beyond it.
static int FuzzFormat(const ClockTime&, const char*, char* out, int size)
{
    const uint8_t fill = Take();
    const int n = fill % (size + 1);
    for (int i = 0; i < n; ++i)
        out[i] = char(Take() | 1);  // never a zero: the composer must find the end itself
    if (n < size && (fill & 0x80))
        out[n] = '\0';
    return int(int8_t(Take()));
}

static void Check(bool ok, const char* what, const char* tip)
{
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s (tip \"%.64s\")\n", what, tip);
        std::abort();
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 9)
        return 0;
    uint32_t wParam, lParam;
    std::memcpy(&wParam, data, 4);
    std::memcpy(&lParam, data + 4, 4);
    ClockAnswer = data[8] & 1;
    Data = data + 9;
    Left = size - 9;
    Platform.SetClock = FuzzSetClock;
    Platform.ReadClock = FuzzReadClock;
    Reading = UnpackClockTime(wParam, lParam);
    // A fresh guard, a clock that agrees and a steady stamp: the guard lets a
    // confirmed minute through.
    ClockGuard = ClockGuardRecord{};
    PublishMinuteStamp(MinuteStamp{TimeCodeKey(wParam, lParam), 0, 0, 1, 0, 0});
    Platform.FormatDate = FuzzFormat;
    Platform.FormatTime = FuzzFormat;

    // The tip sits in a block of exactly TIP_SIZE bytes filled with non-zero
    // garbage, so a missing terminator or a write past it cannot hide.
    char* tip = static_cast<char*>(std::malloc(TIP_SIZE));
    std::memset(tip, 'Z', TIP_SIZE);
    const TrayIconKind icon = ReportTimeCode(wParam, lParam, tip);

    Check(std::memchr(tip, '\0', TIP_SIZE) != nullptr, "no zero within 64 bytes", tip);
    const char prefix[] = "MSF status: ";
    Check(std::strncmp(tip, prefix, sizeof prefix - 1) == 0, "prefix missing", tip);

    const StatusFlags status = UnpackStatus(lParam);
    const char* word;
    TrayIconKind want;
    // The guard holds a minute whose day of the week is not its date's.
    const bool realMinute = MinuteUtcMs(UnpackClockTime(wParam, lParam), status) != GUARD_NOT_A_MINUTE;
    if ((status & ST_TIME_VALID) && ClockAnswer && realMinute) {
        word = "good. ";
        want = ICON_GOOD;
    } else if (status & (ST_NO_PULSE | ST_UNCONFIRMED_LONG)) {
        word = "fail. ";
        want = ICON_FAIL;
    } else {
        word = "poor. ";
        want = ICON_POOR;
    }
    Check(icon == want, "icon differs from the classification", tip);
    Check(std::strncmp(tip + sizeof prefix - 1, word, std::strlen(word)) == 0,
          "status word differs from the classification", tip);

    // The fixed tails survive whatever the formatters did: 18 + 19 + 9 + 5 < 64.
    const size_t length = std::strlen(tip);
    const TimeFields f = UnpackTimeCode(wParam, lParam);
    const char* tail = (f.Day == 0 || f.Month == 0) ? "No data received"
                       : (status & ST_SUMMER_TIME) ? "(BST)"
                                                   : "(UTC)";
    Check(length >= std::strlen(tail) &&
              std::strcmp(tip + length - std::strlen(tail), tail) == 0,
          "tip does not end with its fixed tail", tip);

    std::free(tip);
    return 0;
}
