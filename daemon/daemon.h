// varneld's portable core: one 20 ms tick through the same sampling step,
// decoder and clock guard as the Windows program, the edges of the line on
// their way to one sample a second, and the status line in the Windows
// tooltip's words. The Linux glue (main_linux.cpp, line_linux.cpp) gives it
// the line, the clocks and the outputs; tests and benchmarks give it
// simulated ones.
#pragma once

#include <cstdint>

#include "../tray/status.h"
#include "options.h"
#include "seconds.h"

// Where the daemon's results go.
struct DaemonOps {
    // One sample for the time daemon (chrony mode): the system time at a
    // second's edge and the true time minus it.
    void (*SendSample)(int64_t realNs, int64_t offsetNs);
    // Direct mode: sets the real-time clock so that it reads utcNs at the
    // monotonic instant atMonoNs (which has passed); true on success.
    bool (*SetRealTime)(int64_t utcNs, int64_t atMonoNs);
    // A new status line.
    void (*ShowStatus)(const char* line);
};

// Messages the decoder may post in one tick (it posts at most one per step).
constexpr uint32_t PENDING_MESSAGES = 4;

struct DaemonRecord {
    DaemonOps Ops;
    TimeOutMode Mode;
    int64_t DelayNs;           // the receiver's carrier-off delay
    bool EdgesStamped;         // the line's edges come stamped; else the tick makes them
    int64_t ReadMonoNs;        // this tick's line read, monotonic and real time
    int64_t ReadRealNs;
    int64_t PrevReadMonoNs;    // the tick before: what this tick saw changed in between
    int64_t PrevReadRealNs;
    int64_t ReadRawNs;
    int64_t PrevReadRawNs;
    bool HaveBit;              // LastBit holds the bit of the tick before
    uint8_t LastBit;
    uint64_t EdgesDelivered;   // line changes handed over so far, missed ones included
    uint8_t PendingCount;
    uint32_t PendingWParam[PENDING_MESSAGES];
    uint32_t PendingLParam[PENDING_MESSAGES];
    bool MessageSummer;        // the message being handled is in BST, as the guard reads it
    SecondsRecord Seconds;
    char Status[TIP_SIZE];     // the status line shown last
    uint64_t SamplesSent;
    uint64_t MinutesAccepted;
};

extern DaemonRecord DaemonState;

// Starts afresh (decoder, guard, seconds, status) and installs the platform
// calls the core answers itself: the message queue, the clock for the guard,
// the clock setting of each mode and the status line's formatters. The line
// reads are the caller's. Shows the start status.
void DaemonBegin(TimeOutMode mode, int64_t delayNs, bool edgesStamped, const DaemonOps& ops);

// One stamped change of the line, in order, before the tick that follows it.
void DaemonEdge(const LineEdge& edge);

// One 20 ms tick: the line was read (through the platform table) at these
// times (monotonic, real, raw monotonic); edgesCounted is the line's change
// count then (ignored when the tick makes the edges). Steps the decoder,
// handles its messages, sends samples.
void DaemonTick(int64_t monoNs, int64_t realNs, int64_t rawNs, uint64_t edgesCounted);

// The true time (UTC, ns since 1970) of a WM_TIMECODE message's minute.
int64_t MinuteUtcNs(uint32_t wParam, uint32_t lParam);

// The tooltip's pictures ("ddd dd-MMM-yyyy, ", "HH:mm ") in English, as the
// Windows formatters give them for an English locale: the weekday from the
// date itself. Returns the characters written with the zero, 0 when the date
// is impossible or size too small.
int FormatClockEnglish(const ClockTime& t, const char* picture, char* out, int size);
