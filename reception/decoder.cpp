// The MSF time-code decoder: one call per 20 ms sample. It learns the carrier
// polarity, finds second starts, samples the A and B bits, recognises the
// minute identifier, decodes and parity-checks the fields, and confirms a
// minute only when it equals the one predicted from the previous minute.
//
// Timing, in 20 ms ticks after a detected second start:
//   tick 7  = 140 ms: middle of the A slot (100..200 ms)
//   tick 12 = 240 ms: middle of the B slot (200..300 ms); the second is counted
//   tick 37 = 740 ms: earliest next second start, well past the 500 ms marker
#include "reception.h"

#include "../config/config.h"

DecoderRecord DecoderState = {0, 0, 0, 0, {0, 0, 0, 0, 0, 0}, {}, {}, INITIAL_STATUS};

void ResetDecoder() { DecoderState = DecoderRecord{0, 0, 0, 0, {0, 0, 0, 0, 0, 0}, {}, {}, INITIAL_STATUS}; }

// Shifts one bit into the 48-bit A register; the bit leaving bit 47 is dropped.
static void ShiftIntoARegister(uint8_t bit)
{
    uint8_t* a = DecoderState.ARegister;
    for (int i = 5; i > 0; --i)
        a[i] = uint8_t(a[i] << 1 | a[i - 1] >> 7);
    a[0] = uint8_t(a[0] << 1 | bit);
}

// Bit k of the A register is A(59 - k) at the minute marker.
static uint64_t ARegisterValue(const DecoderRecord& d)
{
    uint64_t value = 0;
    for (int i = 5; i >= 0; --i)
        value = value << 8 | d.ARegister[i];
    return value;
}

static uint8_t Bits(uint64_t value, int high, int low)
{
    return uint8_t((value >> low) & ((1u << (high - low + 1)) - 1));
}

// Odd parity: the data bits high..low of the A register and the parity bit
// together hold an odd number of ones.
static bool OddParity(uint64_t a, int high, int low, uint8_t parityBit)
{
    uint64_t data = (a >> low) & ((uint64_t(1) << (high - low + 1)) - 1);
    return ((__builtin_popcountll(data) + parityBit) & 1) == 1;
}

uint8_t ParityGroupsPassed(const DecoderRecord& d)
{
    const uint64_t a = ARegisterValue(d);
    const uint8_t b = d.BRegister;  // bit j is B(59 - j)
    return uint8_t((OddParity(a, 42, 35, b >> 5 & 1) ? PARITY_YEAR : 0) |    // A17..A24, B54
                   (OddParity(a, 34, 24, b >> 4 & 1) ? PARITY_DATE : 0) |    // A25..A35, B55
                   (OddParity(a, 23, 21, b >> 3 & 1) ? PARITY_WEEKDAY : 0) | // A36..A38, B56
                   (OddParity(a, 20, 8, b >> 2 & 1) ? PARITY_TIME : 0));     // A39..A51, B57
}

// A parity-clean minute can still carry impossible fields (a misread bit in
// two places, or all zeros while the polarity is still being learned). Such a
// minute is treated like a parity failure, so it never reaches the prediction
// and can never be confirmed or set the clock.
bool FieldsInRange(const TimeFields& f)
{
    return f.Minute <= 59 && f.Hour <= 23 && f.DayOfWeek <= 6 && f.Month >= 1 &&
           f.Month <= 12 && f.Day >= 1 && f.Day <= MonthLength(f.Month, f.Year) &&
           f.Year <= 99;
}

// At a recognised minute marker: decode, check, apply summer time, confirm,
// and step the prediction.
static StatusFlags DecodeMinute(StatusFlags status)
{
    DecoderRecord& d = DecoderState;
    const uint64_t a = ARegisterValue(d);
    TimeFields& f = d.Decoded;
    f.Minute = BcdToBinary(Bits(a, 14, 8));     // A45..A51
    f.Hour = BcdToBinary(Bits(a, 20, 15));      // A39..A44
    f.DayOfWeek = Bits(a, 23, 21);              // A36..A38, plain binary
    f.Day = BcdToBinary(Bits(a, 29, 24));       // A30..A35
    f.Month = BcdToBinary(Bits(a, 34, 30));     // A25..A29
    f.Year = BcdToBinary(Bits(a, 42, 35));      // A17..A24

    const uint8_t b = d.BRegister;  // bit j is B(59 - j)
    if (ParityGroupsPassed(d) == PARITY_ALL && FieldsInRange(f)) {
        const uint8_t summer = b >> 1 & 1;  // B58
        if (UTCFlag.load(std::memory_order_relaxed) != 0) {
            status &= uint8_t(~ST_SUMMER_TIME);
            if (summer)
                SubtractOneHour(f);
        } else if (summer != ((status & ST_SUMMER_TIME) != 0)) {
            // Follow the clock change: the prediction moves by the same hour
            // (a plain byte step, no carry into the other fields).
            status ^= ST_SUMMER_TIME;
            d.Predicted.Hour = uint8_t(d.Predicted.Hour + (summer ? 1 : -1));
        }

        const bool confirmed = f == d.Predicted;
        d.Predicted = f;
        if (confirmed) {
            status &= uint8_t(~(ST_UNCONFIRMED_2MIN | ST_UNCONFIRMED_LONG | ST_NEVER_CONFIRMED));
            status |= ST_TIME_VALID;
            d.SecondCount = 0;
        }
    }
    // The prediction runs on through bad minutes.
    AdvanceOneMinute(d.Predicted);
    return status;
}

StatusFlags DecodeSample(uint8_t bit, StatusFlags status)
{
    DecoderRecord& d = DecoderState;

    // The level that dominated recent samples is carrier on; the other is a pulse.
    if (bit == 0)
        d.LevelCounter = uint8_t(d.LevelCounter + (d.LevelCounter < 255));
    else
        d.LevelCounter = uint8_t(d.LevelCounter - (d.LevelCounter > 0));
    const uint8_t pulse = bit ? d.LevelCounter >= 128 : d.LevelCounter <= 127;

    if (++d.TickCount == 0)
        status |= ST_NO_PULSE;  // 256 samples, 5.12 s, without a second start

    if (d.TickCount == 7) {
        ShiftIntoARegister(pulse);
        return status;
    }
    if (d.TickCount == 12) {
        if (++d.SecondCount == 0)
            status |= ST_UNCONFIRMED_LONG;
        if (d.SecondCount >= 120)
            status |= ST_UNCONFIRMED_2MIN;
        d.BRegister = uint8_t(d.BRegister << 1 | pulse);
        return status;
    }
    if (d.TickCount < 37 || !pulse)
        return status;

    // Start of a second; L is the length of the one that just ended.
    const uint8_t length = d.TickCount;
    d.TickCount = 0;
    status &= uint8_t(~ST_NO_PULSE);
    if (d.SecondCount >= 10) {  // not judged in the first 10 seconds after a confirmation
        if (length >= 48 && length <= 52)  // 960..1040 ms
            status &= uint8_t(~ST_SECOND_IRREGULAR);
        else
            status |= ST_SECOND_IRREGULAR;
    }

    // The minute identifier A52..A59 = 01111110 says this second is the marker.
    if (d.ARegister[0] != 0x7E)
        return status;
    return DecodeMinute(status);
}
