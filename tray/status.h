// The hidden window's WM_TIMECODE decisions: set the clock on a confirmed
// minute, classify reception as good, poor or fail, and compose the tray tip.
// Portable: the clock and the locale formatters are reached through Platform.
#pragma once

#include <cstdint>

#include "../reception/platform.h"

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

// ---- The clock guard ----
// A confirmed minute can still be wrong: a noise pulse late in a second taken
// for the minute marker sets the clock up to a few hundred ms early, and a
// wrong minute can match its prediction. The guard follows where confirmed
// minutes land on the monotonic count (their position: the count minus the
// minute in UTC) and lets a minute set the clock only when it lands where the
// recent minutes predict.

// A minute within max(30, min(50, 4 x scatter)) ms of the predicted position
// sets the clock; scatter is the running mean distance of accepted minutes.
constexpr int64_t GUARD_TOLERANCE_MIN_MS = 30;
constexpr int64_t GUARD_TOLERANCE_MAX_MS = 50;
constexpr int64_t GUARD_SCATTER_FACTOR = 4;
constexpr int64_t GUARD_SCATTER_START_US = 10000;
// Gains of the tracking (position 1/8, drift 1/128, scatter 1/16).
constexpr int64_t GUARD_POSITION_GAIN = 8;
constexpr int64_t GUARD_DRIFT_GAIN = 128;
constexpr int64_t GUARD_SCATTER_GAIN = 16;
// The drift estimate is kept within +-500 ppm, far beyond any PC clock.
constexpr int64_t GUARD_DRIFT_LIMIT_PPB = 500000;

// What the guard remembers between confirmed minutes; UI thread only.
struct ClockGuardRecord {
    bool Tracking;            // a position to predict from exists
    int64_t PositionUs;       // predicted position at LastAcceptedMs
    int64_t DriftPpb;         // how fast positions move (monotonic count against
                              // true time), in parts per billion
    int64_t ScatterUs;        // running mean distance of accepted minutes
    uint64_t LastAcceptedMs;  // monotonic time of the last accepted minute
    bool HaveHeld;            // the last confirmed minute was held
    int64_t HeldPositionUs;   // its position
    uint64_t HeldAtMs;        // and monotonic time
    uint8_t HeldInARow;       // held minutes in a row that agreed with each other
};
extern ClockGuardRecord ClockGuard;

// How far the clock reading now is from minute (the confirmed hh:mm:00.000),
// in ms; positive when the clock is ahead. Any field values, no overflow.
int64_t ClockOffsetMs(const ClockTime& now, const ClockTime& minute);

// Milliseconds from 2000-01-01 of a calendar record; any field values.
int64_t ClockTimeMs(const ClockTime& t);

// Whether a confirmed minute may set the clock: its UTC minute (ms since
// 2000), the clock's offset from it, and the monotonic time it is handled.
// Updates guard. True: set the clock; false: hold the minute.
bool GuardAcceptsMinute(ClockGuardRecord& guard, int64_t minuteUtcMs, int64_t clockOffsetMs,
                        uint64_t nowMs);

// The whole WM_TIMECODE decision: sets the clock when the message carries a
// confirmed minute the guard accepts, writes the new tip (TIP_SIZE bytes) and
// returns the icon.
TrayIconKind ReportTimeCode(uint32_t wParam, uint32_t lParam, char* tip);
// The same with another guard record; without one (nullptr) every confirmed
// minute sets the clock, as before the guard (measurements).
TrayIconKind ReportTimeCodeWith(ClockGuardRecord* guard, uint32_t wParam, uint32_t lParam,
                                char* tip);
