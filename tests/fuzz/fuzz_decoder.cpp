// libFuzzer target: arbitrary pulse trains through the real sampling step, with
// the clock mode and input bit switched along the way. Each input byte is a run
// of samples at one level (the level alternates run by run), which reaches
// second starts and minute markers far sooner than single random samples do.
// Invariants: bit 0x20 is never set; ST_TIME_VALID is posted only by a tick
// that starts a second at a minute identifier; a confirmed minute is in range.
#include <cstdio>
#include <cstdlib>

#include "config/config.h"
#include "reception/platform.h"
#include "reception/reception.h"

static uint8_t LineByte;

static uint32_t ReadFuzzLine(uint32_t) { return LineByte; }

static void Check(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

static void CheckMessage(uintptr_t, uint32_t wParam, uint32_t lParam)
{
    const StatusFlags status = UnpackStatus(lParam);
    Check((status & 0x20) == 0, "bit 0x20 set");
    Check((lParam >> 24) == 0, "lParam high byte set");
    if (status & ST_TIME_VALID) {
        Check(DecoderState.TickCount == 0, "TIME_VALID away from a second start");
        Check(DecoderState.ARegister[0] == 0x7E, "TIME_VALID without the minute identifier");
        const TimeFields f = UnpackTimeCode(wParam, lParam);
        Check(f.Minute <= 59 && f.Hour <= 23 && f.DayOfWeek <= 6, "confirmed time out of range");
        Check(f.Month >= 1 && f.Month <= 12 && f.Day >= 1 && f.Day <= MonthLength(f.Month, f.Year),
              "confirmed date out of range");
        Check((status & (ST_NEVER_CONFIRMED | ST_UNCONFIRMED_2MIN | ST_UNCONFIRMED_LONG)) == 0,
              "confirmation kept an unconfirmed flag");
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    ResetSettings();
    ResetDecoder();
    Platform.ReadIoPort = ReadFuzzLine;
    Platform.PostTimeCode = CheckMessage;
    if (size == 0)
        return 0;
    // The first byte picks the input bit (above 7 included) and the start mode.
    BitNumber = data[0] & 0x0F;
    UTCFlag = data[0] >> 7;

    uint8_t level = 0;
    for (size_t i = 1; i < size; ++i) {
        if (data[i] == 0) {  // a zero-length run switches the clock mode
            UTCFlag = UTCFlag ^ 1;
            continue;
        }
        level ^= 1;
        LineByte = level ? 0xFF : 0x00;
        for (int n = 0; n < data[i]; ++n) {
            const StatusFlags before = DecoderState.Status;
            SampleStep(0);
            Check((DecoderState.Status & ST_TIME_VALID) == 0, "TIME_VALID left in the stored status");
            Check((DecoderState.Status & 0x20) == 0 && (before & 0x20) == 0, "bit 0x20 stored");
        }
    }
    return 0;
}
