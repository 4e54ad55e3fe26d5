// Calendar arithmetic on TimeFields: BCD conversion, one minute forward (the
// running prediction) and one hour back (broadcast BST to UTC).
// Two-digit years: a year is a leap year when year % 4 == 0, exact for 2000..2099.
#include "reception.h"

const uint8_t FieldLimits[16] = {
    59,                                              // largest minute
    23,                                              // largest hour
    6,                                               // largest day of week
    31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31,  // January .. December
    29,                                              // February in a leap year
};

uint8_t BcdToBinary(uint8_t bcd)
{
    // Nibbles above 9 are not rejected: 0x7F gives 85.
    return uint8_t((bcd >> 4) * 10 + (bcd & 0x0F));
}

uint8_t MonthLength(uint8_t month, uint8_t year)
{
    if (month < 1 || month > 12)
        return 31;  // only the initial all-zero prediction gets here
    if (month == 2 && (year & 3) == 0)
        return FieldLimits[15];
    return FieldLimits[2 + month];
}

void AdvanceOneMinute(TimeFields& f)
{
    if (++f.Minute <= FieldLimits[0])
        return;
    f.Minute = 0;
    if (++f.Hour <= FieldLimits[1])
        return;
    f.Hour = 0;
    if (++f.DayOfWeek > FieldLimits[2])
        f.DayOfWeek = 0;
    if (++f.Day <= MonthLength(f.Month, f.Year))
        return;
    f.Day = 1;
    if (++f.Month <= 12)
        return;
    f.Month = 1;
    ++f.Year;  // a plain byte: 99 becomes 100
}

void SubtractOneHour(TimeFields& f)
{
    if (f.Hour-- != 0)
        return;
    f.Hour = 23;
    f.DayOfWeek = f.DayOfWeek == 0 ? FieldLimits[2] : uint8_t(f.DayOfWeek - 1);
    if (--f.Day != 0)
        return;
    f.Day = f.Month == 1 ? FieldLimits[14] : MonthLength(uint8_t(f.Month - 1), f.Year);
    if (--f.Month != 0)
        return;
    f.Month = 12;
    --f.Year;  // a plain byte: 0 becomes 255
}
