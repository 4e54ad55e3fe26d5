// The sampling tick's portable body and the raw input read. The periodic
// timer's callback is a thin wrapper around SampleStep.
#include "platform.h"
#include "reception.h"

#include "../config/config.h"

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

uint8_t ReadSampleBit()
{
    const uint8_t input = ReadSharedInput();
    // A bit number above 7 selects no line: it reads as 1, like a dead port.
    const uint8_t bitNumber = BitNumber.load(std::memory_order_relaxed);
    return bitNumber > 7 ? 1 : (input >> bitNumber) & 1;
}

void StepDecoder(uint8_t bit, uintptr_t window)
{
    const StatusFlags stored = DecoderState.Status;
    const StatusFlags next = DecodeSample(bit, stored);
    if (next == stored)
        return;
    DecoderState.Status = next;
    Platform.PostTimeCode(window, PackTimeCodeWParam(DecoderState.Decoded),
                          PackTimeCodeLParam(DecoderState.Decoded, next));
    // ST_TIME_VALID reaches the window once per confirmation; the next one sets
    // it again and so always makes a new message.
    DecoderState.Status = StatusFlags(next & ~ST_TIME_VALID);
}

void SampleStep(uintptr_t window) { StepDecoder(ReadSampleBit(), window); }
