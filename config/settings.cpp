// The shared settings and the hand-over of the serial handle between the UI
// thread, which replaces it, and the timer thread, which reads through it.
//
// The tick raises TickReading around its one read; the UI thread swaps the
// handle first and then waits for TickReading to fall before closing the old
// one. Both sides use sequentially consistent operations, so either the tick's
// raise comes first (and the UI thread waits for the read to end) or the swap
// comes first (and the tick loads the new handle). A lock would let the UI
// thread stall the tick; this way only the UI thread ever waits.
#include "config.h"

#include "../reception/platform.h"
#include "../reception/reception.h"

std::atomic<uint32_t> PortAddress{DEFAULT_PORT_ADDRESS};
std::atomic<uint8_t> BitNumber{DEFAULT_BIT_NUMBER};
std::atomic<uint8_t> UTCFlag{DEFAULT_UTC_FLAG};
std::atomic<uintptr_t> PortHandle{INVALID_PORT_HANDLE};

static std::atomic<uint8_t> TickReading{0};  // 1 while the tick reads the shared input

uint8_t ReadSharedInput()
{
    TickReading.store(1);
    uint8_t input = ReadInputByte(PortAddress.load(), PortHandle.load());
    TickReading.store(0);
    return input;
}

void ReplacePortHandle(uintptr_t next)
{
    uintptr_t old = PortHandle.exchange(next);
    if (old == next || old == INVALID_PORT_HANDLE)
        return;
    while (TickReading.load())
        Platform.YieldThread();
    Platform.ClosePort(old);
}

void ResetSettings()
{
    PortAddress = DEFAULT_PORT_ADDRESS;
    BitNumber = DEFAULT_BIT_NUMBER;
    UTCFlag = DEFAULT_UTC_FLAG;
    PortHandle = INVALID_PORT_HANDLE;
}
