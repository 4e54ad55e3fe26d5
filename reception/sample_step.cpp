// The sampling tick's portable body: one decoder step on the input bit and a
// post on every change of the status byte. The periodic timer's callback is a
// thin wrapper around SampleStep.
#include "platform.h"
#include "reception.h"

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
