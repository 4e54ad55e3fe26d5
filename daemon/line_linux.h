// The input lines varneld reads on Linux, each behind one small driver table
// (open, count changes, wait for a change, close), the way a time daemon keeps
// its reference-clock drivers: a serial port's modem-status line, stamped at
// every change; an I/O port bit, read on every tick.
// A GPIO line is one more table.
#pragma once

#include <cstdint>

#include "options.h"
#include "seconds.h"

struct LineDriver {
    const char* Name;
    // Opens the line the options name and points the platform table's reads
    // at it. 0, or an exit status after a message on standard error.
    int (*Open)(const DaemonOptions& options);
    // The line's changes counted since Open (the kernel's count).
    uint64_t (*CountChanges)();
    // Edge thread: waits for the line's next change and stamps it. False, with
    // errno, when the wait was interrupted (EINTR) or the line failed.
    // nullptr: a line the tick only samples.
    bool (*WaitChange)(LineEdge* edge);
    void (*Close)();
};

extern const LineDriver SerialLine;
extern const LineDriver IoPortLine;

// The edge thread: the driver's WaitChange in a loop, into a lock-free queue
// the main thread drains. Stopping interrupts the wait with a signal.
bool StartEdgeThread(const LineDriver& driver);
void StopEdgeThread();
// The next stamped change, oldest first; false when none is waiting.
bool TakeEdge(LineEdge* edge);
