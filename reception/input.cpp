// The input line the sampling tick reads: the raw byte of a port value (the
// modem-status word of a serial handle, or an I/O port), the selected bit of
// the shared settings, and the hand-over of the serial handle between the
// thread that replaces it and the tick that reads through it. Every front end
// reads its receiver through here and the platform table; the settings it
// reads belong to config/, which calls nothing in here.
//
// The hand-over: the tick raises TickReading around its one read; the
// replacing thread swaps the handle first and then waits for TickReading to
// fall before closing the old one. Both sides use sequentially consistent
// operations, so either the tick's raise comes first (and the replacing side
// waits for the read to end) or the swap comes first (and the tick loads the
// new handle). A lock would let the replacing side stall the tick; this way
// only that side ever waits.
#include "platform.h"
#include "reception.h"

#include "../config/config.h"

static std::atomic<uint8_t> TickReading{0};  // 1 while the tick reads the shared input

uint8_t ReadInputByte(uint32_t port, uintptr_t handle)
{
    if (port < 10) {
        // Low byte of the modem status word: CTS bit 4, DSR 5, RI 6, DCD 7.
        uint32_t modemStatus = 0;
        if (handle == INVALID_PORT_HANDLE || !Platform.ReadModemStatus(handle, &modemStatus))
            return FAILED_READ_BYTE;
        return uint8_t(modemStatus);
    }
    return uint8_t(Platform.ReadIoPort(port));
}

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

uint8_t ReadSampleBit()
{
    const uint8_t input = ReadSharedInput();
    // A bit number above 7 selects no line: it reads as 1, like a dead port.
    const uint8_t bitNumber = BitNumber.load(std::memory_order_relaxed);
    return bitNumber > 7 ? 1 : (input >> bitNumber) & 1;
}
