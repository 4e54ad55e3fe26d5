// The shared settings, read by the sampling tick and replaced by the
// Properties dialog; the input line's hand-over of the serial handle is in
// reception/input.cpp.
#include "config.h"

std::atomic<uint32_t> PortAddress{DEFAULT_PORT_ADDRESS};
std::atomic<uint8_t> BitNumber{DEFAULT_BIT_NUMBER};
std::atomic<uint8_t> UTCFlag{DEFAULT_UTC_FLAG};
std::atomic<uintptr_t> PortHandle{INVALID_PORT_HANDLE};

void ResetSettings()
{
    PortAddress = DEFAULT_PORT_ADDRESS;
    BitNumber = DEFAULT_BIT_NUMBER;
    UTCFlag = DEFAULT_UTC_FLAG;
    PortHandle = INVALID_PORT_HANDLE;
}
