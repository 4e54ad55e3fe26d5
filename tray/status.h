// The hidden window's WM_TIMECODE decisions: set the clock on a confirmed
// minute, classify reception as good, poor or fail, and compose the tray tip.
// Portable: the clock and the locale formatters are reached through Platform.
#pragma once

#include <cstdint>

#include "../reception/clock_guard.h"
#include "../reception/platform.h"
#include "../reception/reception.h"

// The tray record's tip field: 64 bytes including the terminating zero.
constexpr uint32_t TIP_SIZE = 64;

// Tip shown from the icon's creation until the first WM_TIMECODE.
constexpr char START_TIP[] = "MSF status: wait.  No data received";

// Which of the four loaded icons the tray shows; also their load order.
enum TrayIconKind : uint8_t { ICON_FAIL = 0, ICON_POOR = 1, ICON_GOOD = 2, ICON_APP = 3 };
constexpr uint32_t TRAY_ICON_COUNT = 4;

// Largest buffers the formatters are offered, terminating zero included.
constexpr int DATE_PIECE_SIZE = 20;  // "ddd dd-MMM-yyyy, "
constexpr int TIME_PIECE_SIZE = 10;  // "HH:mm "

// The sampling period of the multimedia timer.
constexpr uint32_t SAMPLE_PERIOD_MS = 20;

// Whether a timer service whose smallest period is minPeriod ms can tick at
// exactly SAMPLE_PERIOD_MS; a smallest period of 0 is no usable timer.
bool TimerPeriodSuitable(uint32_t minPeriod);

// The clock record of a WM_TIMECODE message: year 2000 + the two-digit year,
// seconds and milliseconds 0.
ClockTime UnpackClockTime(uint32_t wParam, uint32_t lParam);

// Sets the local clock to t and, after a successful call, sets it once more:
// the system converts the first call with the summer-time rule in force before
// it, so the first minute after a change could otherwise be an hour off.
// The first call's result is the answer.
bool SetClockTwice(const ClockTime& t);

// Writes the tip for a status word ("good", "poor", "fail") and a message's
// fields into tip (TIP_SIZE bytes); never writes past it.
void ComposeTip(char* tip, const char* word, const ClockTime& t, uint8_t status);

// ---- The clock guard (reception/clock_guard.h) ----

// The guard the window's messages go through.
extern ClockGuardRecord ClockGuard;

// The whole WM_TIMECODE decision: sets the clock when the message carries a
// confirmed minute the guard accepts, writes the new tip (TIP_SIZE bytes) and
// returns the icon.
TrayIconKind ReportTimeCode(uint32_t wParam, uint32_t lParam, char* tip);
// The same with another guard record; without one (nullptr) every confirmed
// minute sets the clock, as before the guard (measurements). judgement, when
// given, receives the guard's verdict on a confirmed minute.
TrayIconKind ReportTimeCodeWith(ClockGuardRecord* guard, uint32_t wParam, uint32_t lParam,
                                char* tip, GuardJudgement* judgement = nullptr);
