// Calendar routines against the standard library's civil calendar: every hour
// of 2000..2099 stepped back one hour and every last minute of an hour stepped
// forward, plus the BCD conversion and the defensive cases of bad months.
#include <chrono>

#include <gtest/gtest.h>

#include "reception/reception.h"

using namespace std::chrono;

static TimeFields FieldsOf(sys_seconds t)
{
    const sys_days day = floor<days>(t);
    const year_month_day ymd{day};
    const hh_mm_ss<seconds> hms{t - day};
    return TimeFields{uint8_t(hms.minutes().count()),
                      uint8_t(hms.hours().count()),
                      uint8_t(weekday{day}.c_encoding()),
                      uint8_t(unsigned(ymd.day())),
                      uint8_t(unsigned(ymd.month())),
                      uint8_t(int(ymd.year()) - 2000)};
}

static std::string Show(const TimeFields& f)
{
    char text[40];
    std::snprintf(text, sizeof text, "%02u-%02u-%02u dow %u %02u:%02u", f.Year, f.Month, f.Day,
                  f.DayOfWeek, f.Hour, f.Minute);
    return text;
}

TEST(Calendar, EveryHourOfTheCenturyStepsLikeTheCivilCalendar)
{
    const sys_seconds first = sys_days{year{2000} / January / 1} + minutes{59};
    const sys_seconds end = sys_days{year{2100} / January / 1} - hours{1};
    int failures = 0;
    for (sys_seconds t = first; t < end && failures < 5; t += hours{1}) {
        // hh:59 forward one minute: the carries into hour, day, month and year.
        TimeFields forward = FieldsOf(t);
        AdvanceOneMinute(forward);
        const TimeFields wantForward = FieldsOf(t + minutes{1});
        if (!(forward == wantForward)) {
            ADD_FAILURE() << "advance " << Show(FieldsOf(t)) << " gave " << Show(forward)
                          << ", want " << Show(wantForward);
            ++failures;
        }
        // hh:00 back one hour, from the hour after t.
        const sys_seconds top = t + minutes{1};
        if (top < sys_days{year{2000} / January / 1} + hours{1})
            continue;
        TimeFields back = FieldsOf(top);
        SubtractOneHour(back);
        const TimeFields wantBack = FieldsOf(top - hours{1});
        if (!(back == wantBack)) {
            ADD_FAILURE() << "subtract " << Show(FieldsOf(top)) << " gave " << Show(back)
                          << ", want " << Show(wantBack);
            ++failures;
        }
    }
}

TEST(Calendar, EveryMinuteOfAnHourAdvancesByOne)
{
    TimeFields f{0, 13, 2, 15, 6, 26};
    for (int m = 0; m < 59; ++m) {
        AdvanceOneMinute(f);
        EXPECT_EQ(f, (TimeFields{uint8_t(m + 1), 13, 2, 15, 6, 26}));
    }
}

TEST(Calendar, YearIsAPlainByteAtTheCenturyEdges)
{
    TimeFields last{59, 23, 4, 31, 12, 99};
    AdvanceOneMinute(last);
    EXPECT_EQ(last, (TimeFields{0, 0, 5, 1, 1, 100}));

    TimeFields first{30, 0, 6, 1, 1, 0};
    SubtractOneHour(first);
    EXPECT_EQ(first, (TimeFields{30, 23, 5, 31, 12, 255}));
}

TEST(Calendar, BcdToBinary)
{
    const struct {
        uint8_t bcd, binary;
    } cases[] = {{0x00, 0}, {0x09, 9}, {0x10, 10}, {0x59, 59}, {0x99, 99}, {0x7F, 85}, {0xFF, 165}};
    for (const auto& c : cases)
        EXPECT_EQ(BcdToBinary(c.bcd), c.binary) << std::hex << int(c.bcd);
}

// Months outside 1..12 can only come from the all-zero initial prediction, but
// whatever bytes arrive, no table is read outside its bounds (ASan watches).
TEST(Calendar, AnyMonthByteStaysInsideTheTable)
{
    for (int month = 0; month < 256; ++month) {
        for (int year : {0, 1, 4, 99, 255}) {
            TimeFields forward{59, 23, 6, 31, uint8_t(month), uint8_t(year)};
            AdvanceOneMinute(forward);
            EXPECT_EQ(forward.Minute, 0);
            TimeFields back{0, 0, 0, 1, uint8_t(month), uint8_t(year)};
            SubtractOneHour(back);
            EXPECT_EQ(back.Hour, 23);
            EXPECT_EQ(back.DayOfWeek, 6);
            EXPECT_GE(back.Day, 28);
        }
    }
    TimeFields zero{59, 23, 0, 0, 0, 0};
    AdvanceOneMinute(zero);
    EXPECT_EQ(zero, (TimeFields{0, 0, 1, 1, 0, 0}));
}
