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

// A line whose every change comes stamped need not be read every 20 ms: the
// daemon wakes every REPLAY_PERIOD_NS and replays the 20 ms grid since, each
// instant's level the one after the last change stamped before it. Changes
// wait here for their instant; a change counted but not yet stamped holds the
// replay back at most STAMP_WAIT_NS; a daemon held up longer than
// REPLAY_LIMIT_NS loses the ticks before that, as the Windows timer would.
constexpr uint32_t STORED_EDGES = 64;
constexpr int64_t REPLAY_PERIOD_NS = NS_PER_S;
constexpr int64_t STAMP_WAIT_NS = 100 * NS_PER_MS;
constexpr int64_t REPLAY_LIMIT_NS = 2 * NS_PER_S;

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
    int64_t GridNs;            // stamped lines: the next grid instant, monotonic
    uint8_t GridLevel;         // ... and the line's level before it
    LineEdge Stored[STORED_EDGES];  // changes not yet replayed, oldest at StoredFirst
    uint32_t StoredFirst;
    uint32_t StoredCount;
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

// One 20 ms tick of a line read on the tick (an I/O port): the line was read
// (through the platform table) at these times (monotonic, real, raw
// monotonic). Steps the decoder, handles its messages, sends samples.
void DaemonTick(int64_t monoNs, int64_t realNs, int64_t rawNs);

// A stamped line: the grid begins at monoNs, the line then at level.
void DaemonGridBegin(int64_t monoNs, uint8_t level);
// Stores the stamped changes take gives, in order, while there is room.
void DaemonStoreEdges(bool (*take)(LineEdge*));
// Replays the grid up to countedAtNs (monotonic), when the line's change count
// was counted: up to there when every counted change is stored, else up to
// the last change stored (the next may still be on its way). The real-time
// and raw clocks are the monotonic one plus these offsets.
void DaemonReplay(int64_t countedAtNs, uint64_t counted, int64_t realMinusMonoNs, int64_t rawMinusMonoNs);

// The true time (UTC, ns since 1970) of a WM_TIMECODE message's minute.
int64_t MinuteUtcNs(uint32_t wParam, uint32_t lParam);

// The tooltip's pictures ("ddd dd-MMM-yyyy, ", "HH:mm ") in English, as the
// Windows formatters give them for an English locale: the weekday from the
// date itself. Returns the characters written with the zero, 0 when the date
// is impossible or size too small.
int FormatClockEnglish(const ClockTime& t, const char* picture, char* out, int size);
