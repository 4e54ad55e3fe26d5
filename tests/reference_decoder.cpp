// Reference model of the reception chain: sampling tick, decoder and calendar,
// one small function per rule, for differential tests against the product.
#include "reference_decoder.h"

#include <cstdio>
#include <initializer_list>

namespace {

constexpr uint8_t IRREGULAR = 0x01, TWO_MIN = 0x02, NO_PULSE = 0x04, LONG = 0x08, NEVER = 0x10,
                  VALID = 0x40, SUMMER = 0x80;
constexpr uint64_t A_MASK = (uint64_t(1) << 48) - 1;

// Month length for a two-digit year; February has 29 days when year % 4 == 0.
// Months outside 1..12 only ever come from the all-zero start of the
// prediction; they are given 31 days so the walk stays defined.
uint8_t DaysIn(uint8_t month, uint8_t year)
{
    switch (month) {
    case 2: return (year % 4 == 0) ? 29 : 28;
    case 4: case 6: case 9: case 11: return 30;
    default: return 31;
    }
}

// Time-code second n (12..59) of the minute now held in the registers.
unsigned ABit(uint64_t a, unsigned n) { return unsigned(a >> (59 - n)) & 1; }
unsigned BBit(uint8_t b, unsigned n) { return unsigned(b >> (59 - n)) & 1; }

// A field by the published weights of its seconds, first second heaviest.
uint8_t Field(uint64_t a, unsigned first, std::initializer_list<uint8_t> weights)
{
    unsigned sum = 0, n = first;
    for (uint8_t w : weights)
        sum += ABit(a, n++) * w;
    return uint8_t(sum);
}

RefFields DecodeFields(uint64_t a)
{
    RefFields f;
    f.Year = Field(a, 17, {80, 40, 20, 10, 8, 4, 2, 1});
    f.Month = Field(a, 25, {10, 8, 4, 2, 1});
    f.Day = Field(a, 30, {20, 10, 8, 4, 2, 1});
    f.DayOfWeek = Field(a, 36, {4, 2, 1});
    f.Hour = Field(a, 39, {20, 10, 8, 4, 2, 1});
    f.Minute = Field(a, 45, {40, 20, 10, 8, 4, 2, 1});
    return f;
}

// Odd parity of A first..last together with B parityBit.
bool OddGroup(uint64_t a, uint8_t b, unsigned first, unsigned last, unsigned parityBit)
{
    unsigned ones = BBit(b, parityBit);
    for (unsigned n = first; n <= last; ++n)
        ones += ABit(a, n);
    return ones % 2 == 1;
}

bool ParityClean(uint64_t a, uint8_t b)
{
    return OddGroup(a, b, 17, 24, 54) && OddGroup(a, b, 25, 35, 55) &&
           OddGroup(a, b, 36, 38, 56) && OddGroup(a, b, 39, 51, 57);
}

bool SameFields(const RefFields& x, const RefFields& y)
{
    return x.Minute == y.Minute && x.Hour == y.Hour && x.DayOfWeek == y.DayOfWeek &&
           x.Day == y.Day && x.Month == y.Month && x.Year == y.Year;
}

// The minute-marker work: decode, parity and range, summer time, confirmation,
// prediction. Returns the updated status.
uint8_t AtMinuteMarker(RefModel& m, uint8_t status, uint8_t utc)
{
    m.Decoded = DecodeFields(m.A);
    const bool clean = ParityClean(m.A, m.B) && RefFieldsInRange(m.Decoded);
    if (clean) {
        const bool b58 = BBit(m.B, 58) != 0;
        if (utc) {
            status &= uint8_t(~SUMMER);
            if (b58)
                RefSubtractHour(m.Decoded);
        } else if (b58 != ((status & SUMMER) != 0)) {
            status ^= SUMMER;
            m.Predicted.Hour = uint8_t(m.Predicted.Hour + (b58 ? 1 : -1));
        }
        const bool match = SameFields(m.Decoded, m.Predicted);
        m.Predicted = m.Decoded;
        if (match) {
            status &= uint8_t(~(TWO_MIN | LONG | NEVER));
            status |= VALID;
            m.Seconds = 0;
        }
    }
    RefAdvanceMinute(m.Predicted);
    return status;
}

uint8_t Decode(RefModel& m, uint8_t bit, uint8_t status, uint8_t utc)
{
    if (bit)
        m.Level = m.Level ? uint8_t(m.Level - 1) : 0;
    else
        m.Level = m.Level < 255 ? uint8_t(m.Level + 1) : 255;
    const bool idleIsZero = m.Level >= 128;
    const unsigned pulse = (bit != 0) == idleIsZero ? 1 : 0;

    m.Tick = uint8_t(m.Tick + 1);
    if (m.Tick == 0)
        status |= NO_PULSE;
    if (m.Tick == 7) {
        m.A = ((m.A << 1) | pulse) & A_MASK;
        return status;
    }
    if (m.Tick == 12) {
        m.Seconds = uint8_t(m.Seconds + 1);
        if (m.Seconds == 0)
            status |= LONG;
        if (m.Seconds >= 120)
            status |= TWO_MIN;
        m.B = uint8_t((m.B << 1) | pulse);
        return status;
    }
    if (m.Tick < 37 || !pulse)
        return status;

    const uint8_t length = m.Tick;
    m.Tick = 0;
    status &= uint8_t(~NO_PULSE);
    if (m.Seconds >= 10) {
        if (length >= 48 && length <= 52)
            status &= uint8_t(~IRREGULAR);
        else
            status |= IRREGULAR;
    }
    if ((m.A & 0xFF) != 0x7E)
        return status;
    return AtMinuteMarker(m, status, utc);
}

uint32_t PackW(const RefFields& f)
{
    return uint32_t(f.Minute) + (uint32_t(f.Hour) << 8) + (uint32_t(f.DayOfWeek) << 16) +
           (uint32_t(f.Day) << 24);
}

uint32_t PackL(const RefFields& f, uint8_t status)
{
    return uint32_t(f.Month) + (uint32_t(f.Year) << 8) + (uint32_t(status) << 16);
}

}  // namespace

RefModel RefInitial()
{
    RefModel m{};
    m.Status = NEVER;
    return m;
}

bool RefFieldsInRange(const RefFields& f)
{
    if (f.Minute > 59 || f.Hour > 23 || f.DayOfWeek > 6 || f.Year > 99)
        return false;
    if (f.Month < 1 || f.Month > 12)
        return false;
    return f.Day >= 1 && f.Day <= DaysIn(f.Month, f.Year);
}

void RefAdvanceMinute(RefFields& f)
{
    if (++f.Minute <= 59)
        return;
    f.Minute = 0;
    if (++f.Hour <= 23)
        return;
    f.Hour = 0;
    f.DayOfWeek = f.DayOfWeek >= 6 ? 0 : uint8_t(f.DayOfWeek + 1);
    if (++f.Day <= DaysIn(f.Month, f.Year))
        return;
    f.Day = 1;
    if (++f.Month <= 12)
        return;
    f.Month = 1;
    ++f.Year;  // a plain byte: 99 becomes 100
}

void RefSubtractHour(RefFields& f)
{
    if (f.Hour != 0) {
        --f.Hour;
        return;
    }
    f.Hour = 23;
    f.DayOfWeek = f.DayOfWeek == 0 ? 6 : uint8_t(f.DayOfWeek - 1);
    if (--f.Day != 0)
        return;
    const uint8_t previous = f.Month == 1 ? 12 : uint8_t(f.Month - 1);
    f.Day = DaysIn(previous, f.Month == 1 ? uint8_t(f.Year - 1) : f.Year);
    if (--f.Month != 0)
        return;
    f.Month = 12;
    --f.Year;  // a plain byte: 0 becomes 255
}

bool RefTick(RefModel& m, uint8_t bit, uint8_t utc, uint32_t* wParam, uint32_t* lParam)
{
    const uint8_t next = Decode(m, bit, m.Status, utc);
    if (next == m.Status)
        return false;
    *wParam = PackW(m.Decoded);
    *lParam = PackL(m.Decoded, next);
    m.Status = uint8_t(next & ~VALID);
    return true;
}

std::vector<RefMessage> RefRun(const std::string& stream)
{
    std::vector<RefMessage> out;
    RefModel m = RefInitial();
    uint8_t utc = 0;
    uint64_t index = 0;
    for (char c : stream) {
        if (c == 'U') {
            utc = 1;
        } else if (c == 'L') {
            utc = 0;
        } else if (c == '0' || c == '1') {
            RefMessage msg{++index, 0, 0};
            if (RefTick(m, uint8_t(c - '0'), utc, &msg.WParam, &msg.LParam))
                out.push_back(msg);
        }
    }
    return out;
}

std::string RefFormat(const RefMessage& m)
{
    char text[64];
    std::snprintf(text, sizeof text, "%llu %08X %08X", (unsigned long long)m.Index,
                  unsigned(m.WParam), unsigned(m.LParam));
    return text;
}
