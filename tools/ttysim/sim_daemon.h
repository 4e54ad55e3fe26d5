// varneld's portable core run on a simulated line and simulated clocks,
// hours in seconds: every tick, or every wake with the edges stamped since,
// as the Linux glue hands them over, with the truth of each edge known. For
// the native tests and the soak of tests/linux/bench.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "daemon/options.h"
#include "line_edges.h"

struct SimDaemonOptions {
    EdgeLineOptions Line;
    int64_t StartNs;          // truth (UTC ns) when the daemon starts
    int64_t DurationNs;
    int64_t ClockBehindNs;    // the system clock reads truth minus this
    double ClockPpm;          // and runs this fast (both clocks)
    int64_t StampLatencyNs;   // the edge thread stamps each change this late
    int64_t TickLateMaxNs;    // each tick (or wake) runs up to this late (uniform draw)
    TimeOutMode Mode;
    int64_t DelaySettingNs;   // varneld's Delay setting
    uint8_t UTCFlag;
    bool EdgesStamped;        // false: an I/O port, the tick makes the edges
    uint64_t Seed;
};
SimDaemonOptions DefaultSimDaemonOptions();

// A sample as chronyd would get it, judged against the truth: what it
// claims the true time is at its stamp, minus the truth then. The line's
// jitter and the stamp's latency are in it; the line's delay is not when
// the Delay setting matches it.
struct SimSample {
    int64_t ErrorNs;
    uint8_t Second;
};

struct SimDaemonResult {
    std::vector<SimSample> Samples;
    std::vector<std::string> Status;     // every status line, in order
    std::vector<int64_t> ClockErrorsNs;  // direct mode: each setting minus the truth
    uint64_t MinutesAccepted;
    int64_t FirstAcceptedNs;             // truth of the first accepted minute, 0 if none
    uint64_t WrongSeconds;               // samples more than 0.5 s off: a wrong second
};

SimDaemonResult RunSimDaemon(const SimDaemonOptions& options);
