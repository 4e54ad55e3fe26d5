// The sampling tick's portable body: one decoder step on the input bit and a
// post on every change of the status byte. The periodic timer's callback is a
// thin wrapper around SampleStep.
#include "clock_guard.h"
#include "platform.h"
#include "reception.h"

void StepDecoder(uint8_t bit, uintptr_t window)
{
    const StatusFlags stored = DecoderState.Status;
    const uint8_t ticksBefore = DecoderState.TickCount;
    const StatusFlags next = DecodeSample(bit, stored);
    // TickCount is 0 after a detected second start, or after a wrap from 255.
    const bool secondStart = DecoderState.TickCount == 0 && ticksBefore != 255;
    SecondStartFit fit{};
    uint64_t startMs = 0;
    if (secondStart) {
        // The count is read here, where the start is seen: the window may
        // handle the message much later.
        startMs = Platform.MonotonicMs();
        fit = TrackSecondStart(startMs);
    } else if (SecondTrack.Pending) {
        // The decoder's own reading of the sample.
        const uint8_t level = DecoderState.LevelCounter;
        TrackSample(bit ? level >= 128 : level <= 127, Platform.MonotonicMs());
    }
    if (next == stored)
        return;
    DecoderState.Status = next;
    const uint32_t wParam = PackTimeCodeWParam(DecoderState.Decoded);
    const uint32_t lParam = PackTimeCodeLParam(DecoderState.Decoded, next);
    // A confirmation comes only at a second start: its marker's.
    if ((next & ST_TIME_VALID) && secondStart)
        PublishMinuteStamp(MinuteStamp{TimeCodeKey(wParam, lParam), startMs, fit.ErrorUs, fit.Epoch,
                                       fit.SecondNumber, fit.RecentUs});
    Platform.PostTimeCode(window, wParam, lParam);
    // ST_TIME_VALID reaches the window once per confirmation; the next one sets
    // it again and so always makes a new message.
    DecoderState.Status = StatusFlags(next & ~ST_TIME_VALID);
}

void SampleStep(uintptr_t window) { StepDecoder(ReadSampleBit(), window); }
