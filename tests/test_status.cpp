// The WM_TIMECODE decisions: classification, the clock guard, the clock calls
// and the tray tip, run against a recording clock and English stand-in
// formatters.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "reception/platform.h"
#include "reception/reception.h"
#include "tray/status.h"

namespace {

// What the stand-ins saw and what they answer.
struct FakeSystem {
    std::vector<ClockTime> ClockCalls;
    std::vector<bool> ClockAnswers;  // answer of call i; missing entries succeed
    ClockTime Reading;               // what the clock reads
    uint64_t Count = 0;              // the monotonic count
    std::vector<std::string> Pictures;
    std::vector<int> OfferedSizes;
    // Formatter behaviour: 0 normal, 1 refuse (return 0), 2 scribble over the whole
    // buffer and refuse, 3 fill the whole buffer without a zero and claim it,
    // 4 fill it and claim more than it was given.
    int DateMode = 0;
    int TimeMode = 0;
};
FakeSystem Fake;

bool FakeSetClock(const ClockTime& t)
{
    const size_t i = Fake.ClockCalls.size();
    Fake.ClockCalls.push_back(t);
    return i < Fake.ClockAnswers.size() ? Fake.ClockAnswers[i] : true;
}

ClockTime FakeReadClock() { return Fake.Reading; }
uint64_t FakeMonotonicMs() { return Fake.Count; }

int Answer(int mode, const std::string& text, char* out, int size)
{
    switch (mode) {
    case 1:
        return 0;
    case 2:
        memset(out, '#', size_t(size));
        return 0;
    case 3:
        memset(out, 'X', size_t(size));
        return size;
    case 4:
        memset(out, 'Y', size_t(size));
        return size + 7;
    }
    // Like the system: the text and its zero, or 0 when it does not fit.
    if (int(text.size()) + 1 > size)
        return 0;
    memcpy(out, text.c_str(), text.size() + 1);
    return int(text.size()) + 1;
}

int FakeFormatDate(const ClockTime& t, const char* picture, char* out, int size)
{
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    Fake.Pictures.push_back(picture);
    Fake.OfferedSizes.push_back(size);
    char text[64];
    snprintf(text, sizeof text, "%s %02u-%s-%04u, ", days[t.DayOfWeek % 7], unsigned(t.Day),
             months[(t.Month + 11) % 12], unsigned(t.Year));
    return Answer(Fake.DateMode, text, out, size);
}

int FakeFormatTime(const ClockTime& t, const char* picture, char* out, int size)
{
    Fake.Pictures.push_back(picture);
    Fake.OfferedSizes.push_back(size);
    char text[64];
    snprintf(text, sizeof text, "%02u:%02u ", unsigned(t.Hour), unsigned(t.Minute));
    return Answer(Fake.TimeMode, text, out, size);
}

class StatusTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Fake = FakeSystem{};
        Platform.SetClock = FakeSetClock;
        Platform.ReadClock = FakeReadClock;
        Platform.MonotonicMs = FakeMonotonicMs;
        Platform.FormatDate = FakeFormatDate;
        Platform.FormatTime = FakeFormatTime;
    }
    // The tip lives in exactly 64 bytes on the heap, so any write past them is
    // an AddressSanitizer error. A fresh guard and a clock that agrees with
    // the message: the guard lets every confirmed minute through.
    std::string Report(uint32_t wParam, uint32_t lParam, TrayIconKind* icon)
    {
        ClockGuard = ClockGuardRecord{};
        Fake.Reading = UnpackClockTime(wParam, lParam);
        std::vector<char> tip(TIP_SIZE, '\x7f');
        *icon = ReportTimeCode(wParam, lParam, tip.data());
        const void* zero = memchr(tip.data(), '\0', TIP_SIZE);
        EXPECT_NE(zero, nullptr) << "tip not terminated within 64 bytes";
        return zero ? std::string(tip.data()) : std::string();
    }
};

// 14:07 on Friday 20 April 2012.
constexpr uint32_t W_FRI_1407 = 0x14050E07;
constexpr uint32_t L_APR_12 = 0x00000C04;
constexpr uint32_t Status(uint8_t flags) { return uint32_t(flags) << 16; }

TEST_F(StatusTest, ClassifiesAndCallsTheClock)
{
    struct Case {
        uint8_t Status;
        std::vector<bool> ClockAnswers;
        TrayIconKind Icon;
        const char* Word;
        size_t ClockCalls;
    };
    const Case cases[] = {
        {0x40, {}, ICON_GOOD, "good", 2},
        {0xC0, {}, ICON_GOOD, "good", 2},
        // The valid bit is tested before the failure bits.
        {0x44, {}, ICON_GOOD, "good", 2},
        {0x48, {}, ICON_GOOD, "good", 2},
        // Only the first call's result counts.
        {0x40, {true, false}, ICON_GOOD, "good", 2},
        // A refused clock: one call, then by the failure bits.
        {0x40, {false}, ICON_POOR, "poor", 1},
        {0x44, {false}, ICON_FAIL, "fail", 1},
        {0x48, {false}, ICON_FAIL, "fail", 1},
        {0xD3, {false}, ICON_POOR, "poor", 1},
        // No valid bit: the clock is left alone.
        {0x00, {}, ICON_POOR, "poor", 0},
        {0x01, {}, ICON_POOR, "poor", 0},
        {0x02, {}, ICON_POOR, "poor", 0},
        {0x10, {}, ICON_POOR, "poor", 0},
        {0x80, {}, ICON_POOR, "poor", 0},
        {0x04, {}, ICON_FAIL, "fail", 0},
        {0x08, {}, ICON_FAIL, "fail", 0},
        {0x9F, {}, ICON_FAIL, "fail", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "status 0x" << std::hex << int(c.Status));
        Fake = FakeSystem{};
        Fake.ClockAnswers = c.ClockAnswers;
        TrayIconKind icon;
        const std::string tip = Report(W_FRI_1407, L_APR_12 | Status(c.Status), &icon);
        EXPECT_EQ(icon, c.Icon);
        EXPECT_EQ(tip.rfind(std::string("MSF status: ") + c.Word + ". ", 0), 0u) << tip;
        EXPECT_EQ(Fake.ClockCalls.size(), c.ClockCalls);
    }
}

TEST_F(StatusTest, SetsTheClockToTheMinuteOfTheMessage)
{
    const struct {
        uint32_t WParam, LParam;
        ClockTime Expected;  // year, month, day of week, day, hour, minute, 0, 0
    } cases[] = {
        {W_FRI_1407, L_APR_12, {2012, 4, 5, 20, 14, 7, 0, 0}},
        {0x1F063B17, 0x00006312, {2099, 0x12, 6, 31, 59, 23, 0, 0}},  // fields passed as they come
        {0x01000000, 0x00000001, {2000, 1, 0, 1, 0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        Fake = FakeSystem{};
        TrayIconKind icon;
        Report(c.WParam, c.LParam | Status(ST_TIME_VALID), &icon);
        ASSERT_EQ(Fake.ClockCalls.size(), 2u);
        for (const ClockTime& t : Fake.ClockCalls)
            EXPECT_EQ(memcmp(&t, &c.Expected, sizeof t), 0)
                << t.Year << "-" << t.Month << "-" << t.Day << " " << t.Hour << ":" << t.Minute
                << " dow " << t.DayOfWeek << " s " << t.Second << "." << t.Milliseconds;
    }
}

TEST_F(StatusTest, ComposesTheTip)
{
    const struct {
        uint32_t WParam, LParam;
        std::vector<bool> ClockAnswers;
        const char* Tip;
    } cases[] = {
        {W_FRI_1407, L_APR_12 | Status(0xC0), {}, "MSF status: good. Fri 20-Apr-2012, 14:07 (BST)"},
        {0x00000000, Status(0x12), {}, "MSF status: poor. No data received"},
        // Winter, local mode, and UTC mode alike: "(UTC)" whenever the summer bit is clear.
        {0x1D020C00, 0x00001A0C | Status(0x40), {}, "MSF status: good. Tue 29-Dec-2026, 12:00 (UTC)"},
        // A refused clock still shows the fields of the message.
        {W_FRI_1407, L_APR_12 | Status(0xC0), {false}, "MSF status: poor. Fri 20-Apr-2012, 14:07 (BST)"},
        {W_FRI_1407, L_APR_12 | Status(0x0C), {}, "MSF status: fail. Fri 20-Apr-2012, 14:07 (UTC)"},
        // Day or month 0: no date, whatever the status.
        {0x00050E07, L_APR_12 | Status(0xC0), {}, "MSF status: good. No data received"},
        {W_FRI_1407, Status(0xC4), {false}, "MSF status: fail. No data received"},
        {0x00050E07, 0x00000C00 | Status(0x84), {}, "MSF status: fail. No data received"},
    };
    for (const auto& c : cases) {
        Fake = FakeSystem{};
        Fake.ClockAnswers = c.ClockAnswers;
        TrayIconKind icon;
        EXPECT_EQ(Report(c.WParam, c.LParam, &icon), c.Tip);
    }
}

TEST_F(StatusTest, AsksTheFormattersWithTheirPicturesAndLimits)
{
    TrayIconKind icon;
    Report(W_FRI_1407, L_APR_12 | Status(0x80), &icon);
    EXPECT_EQ(Fake.Pictures, (std::vector<std::string>{"ddd dd-MMM-yyyy, ", "HH:mm "}));
    EXPECT_EQ(Fake.OfferedSizes, (std::vector<int>{20, 10}));

    Fake = FakeSystem{};
    Report(0x00050E07, L_APR_12 | Status(0x80), &icon);
    EXPECT_TRUE(Fake.Pictures.empty()) << "no date to format";
}

TEST_F(StatusTest, FormatterFailuresAddNothingAndNeverOverrun)
{
    const struct {
        int DateMode, TimeMode;
        const char* Tip;
    } cases[] = {
        {1, 0, "MSF status: good. 14:07 (BST)"},
        {0, 1, "MSF status: good. Fri 20-Apr-2012, (BST)"},
        {1, 1, "MSF status: good. (BST)"},
        // Scribbled and refused: the scribble must not stay in the text.
        {2, 0, "MSF status: good. 14:07 (BST)"},
        {0, 2, "MSF status: good. Fri 20-Apr-2012, (BST)"},
        {2, 2, "MSF status: good. (BST)"},
        // Filled without a zero: kept only up to the room it was offered.
        {3, 0, "MSF status: good. XXXXXXXXXXXXXXXXXXX14:07 (BST)"},
        {0, 3, "MSF status: good. Fri 20-Apr-2012, XXXXXXXXX(BST)"},
        {3, 3, "MSF status: good. XXXXXXXXXXXXXXXXXXXXXXXXXXXX(BST)"},
        // A count larger than the room offered is impossible: the piece is dropped.
        {4, 0, "MSF status: good. 14:07 (BST)"},
        {4, 4, "MSF status: good. (BST)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "modes " << c.DateMode << "," << c.TimeMode);
        Fake = FakeSystem{};
        Fake.DateMode = c.DateMode;
        Fake.TimeMode = c.TimeMode;
        TrayIconKind icon;
        EXPECT_EQ(Report(W_FRI_1407, L_APR_12 | Status(0xC0), &icon), c.Tip);
        EXPECT_EQ(icon, ICON_GOOD);
    }
}

// The formatters are offered at most the room left in the 64 bytes: composed
// after a text that leaves less than a whole piece's room, nothing is written
// past the tip.
TEST_F(StatusTest, FormattersAreOfferedOnlyTheRoomLeft)
{
    const ClockTime t{2012, 4, 5, 20, 14, 7, 0, 0};
    const std::string word(40, 'w');  // "MSF status: " + 40 + ". " = 54 bytes
    // Normal formatters: the date no longer fits, the time does, "(BST)" is cut.
    // Filling ones: the date's 10 bytes of room are taken. Overclaiming ones:
    // both pieces dropped, "(BST)" whole.
    const struct {
        int Mode;
        size_t Length;
    } cases[] = {{0, TIP_SIZE - 1}, {3, TIP_SIZE - 1}, {4, 59}};
    for (const auto& c : cases) {
        Fake = FakeSystem{};
        Fake.DateMode = c.Mode;
        Fake.TimeMode = c.Mode;
        std::vector<char> tip(TIP_SIZE);
        ComposeTip(tip.data(), word.c_str(), t, ST_SUMMER_TIME);
        ASSERT_NE(memchr(tip.data(), '\0', TIP_SIZE), nullptr);
        const std::string text(tip.data());
        EXPECT_EQ(text.size(), c.Length) << text;
        EXPECT_EQ(text.rfind("MSF status: " + word + ". ", 0), 0u);
        ASSERT_FALSE(Fake.OfferedSizes.empty());
        EXPECT_LE(Fake.OfferedSizes[0], 10);
    }
    // A word too long for the tip is cut, still terminated.
    std::vector<char> tip(TIP_SIZE);
    ComposeTip(tip.data(), std::string(100, 'z').c_str(), t, 0);
    EXPECT_EQ(std::string(tip.data()), "MSF status: " + std::string(51, 'z'));
}

// ---- The clock guard, one confirmed minute after another ----

// Milliseconds since 2000-01-01 as a calendar record (the inverse of
// ClockTimeMs); 2000-01-01 was a Saturday.
ClockTime TimeAtMs(int64_t ms)
{
    const int64_t days = (ms >= 0 ? ms : ms - 86399999) / 86400000;
    const int64_t inDay = ms - days * 86400000;
    const int64_t z = days + 730425;  // days from 0000-03-01
    const int64_t dayOfEra = z % 146097, era = z / 146097;
    const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t mp = (5 * dayOfYear + 2) / 153;
    const int64_t month = mp < 10 ? mp + 3 : mp - 9;
    return ClockTime{uint16_t(era * 400 + yearOfEra + (month <= 2)), uint16_t(month),
                     uint16_t(((days % 7) + 13) % 7), uint16_t(dayOfYear - (153 * mp + 2) / 5 + 1),
                     uint16_t(inDay / 3600000), uint16_t(inDay / 60000 % 60),
                     uint16_t(inDay / 1000 % 60), uint16_t(inDay % 1000)};
}

TEST(ClockTimeTest, MillisecondsFrom2000)
{
    const struct {
        ClockTime T;
        int64_t Ms;
    } cases[] = {
        {{2000, 1, 6, 1, 0, 0, 0, 0}, 0},
        {{2000, 3, 3, 1, 0, 0, 0, 0}, 5184000000},
        {{2026, 12, 1, 7, 4, 16, 5, 123}, 849932165123},
        {{2028, 2, 2, 29, 23, 59, 59, 999}, 888796799999},
        {{2099, 12, 4, 31, 23, 59, 0, 0}, 3155759940000},
        {{1999, 12, 5, 31, 23, 0, 0, 0}, -3600000},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ClockTimeMs(c.T), c.Ms) << c.T.Year << "-" << c.T.Month << "-" << c.T.Day;
        const ClockTime back = TimeAtMs(c.Ms);
        EXPECT_EQ(memcmp(&back, &c.T, sizeof back), 0) << c.Ms;
    }
    // Fields out of every range (no table, no overflow: UBSan watches).
    for (const ClockTime& t : {ClockTime{0, 0, 0, 0, 0, 0, 0, 0},
                               ClockTime{65535, 65535, 65535, 65535, 65535, 65535, 65535, 65535}})
        EXPECT_NE(ClockOffsetMs(t, ClockTime{2026, 1, 4, 1, 0, 0, 0, 0}), 0);
}

// One confirmed minute of a scenario.
struct GuardMinute {
    int Index;         // minutes after the first minute edge
    int HandledMs;     // when its message is handled, from its edge (a noise
                       // pulse taken for the marker: before it)
    int FieldsOff;     // the fields name a minute this many minutes off
    bool Refused;      // the system refuses the clock setting
    bool Accepted;     // expected: the guard lets it set the clock
};
struct GuardScenario {
    const char* Name;
    int64_t ClockErrorMs;  // the PC clock against true time at the start
    double DriftPpm;       // the monotonic count's rate error
    int SummerFrom;        // minutes from here on are BST in local mode (-1: never)
    int EventAt;           // before this minute: the clock moves by ClockMoveMs and
    int64_t ClockMoveMs;   // every later marker comes MarkerStepMs later
    int64_t MarkerStepMs;
    std::vector<GuardMinute> Minutes;
};

// n minutes from index first, handled 15 ms after their edges, all accepted.
std::vector<GuardMinute> Plain(int first, int n)
{
    std::vector<GuardMinute> m;
    for (int i = first; i < first + n; ++i)
        m.push_back({i, 15, 0, false, true});
    return m;
}
std::vector<GuardMinute> operator+(std::vector<GuardMinute> a, const std::vector<GuardMinute>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST_F(StatusTest, ClockGuardHoldsWhatDoesNotFitAndFollowsRealSteps)
{
    const GuardScenario scenarios[] = {
        {"clean start, clock 20 ms off: every minute", 20, 20, -1, -1, 0, 0, Plain(0, 5)},
        {"noise pulse 300 ms early, then 40 ms early", 0, 20, -1, -1, 0, 0,
         Plain(0, 5) + std::vector<GuardMinute>{{5, -300, 0, false, false}, {6, -25, 0, false, false}} +
             Plain(7, 2)},
        {"marker seen 60 ms late", 0, 20, -1, -1, 0, 0,
         Plain(0, 5) + std::vector<GuardMinute>{{5, 75, 0, false, false}} + Plain(6, 2)},
        {"a message handled 400 ms late", 0, 20, -1, -1, 0, 0,
         Plain(0, 5) + std::vector<GuardMinute>{{5, 415, 0, false, false}} + Plain(6, 2)},
        {"wrong minutes: one behind, an hour ahead", 0, 20, -1, -1, 0, 0,
         Plain(0, 5) + std::vector<GuardMinute>{{5, 15, -1, false, false}, {7, 15, 60, false, false}} +
             Plain(8, 2)},
        {"two noise pulses in a row at one place: both held", 0, 20, -1, -1, 0, 0,
         Plain(0, 5) + std::vector<GuardMinute>{{5, -245, 0, false, false}, {6, -245, 0, false, false}} +
             Plain(7, 2)},
        {"a leap second: held twice, then followed", 0, 20, -1, 5, 0, 1000,
         Plain(0, 5) + std::vector<GuardMinute>{{5, 15, 0, false, false}, {6, 15, 0, false, false}} +
             Plain(7, 3)},
        {"the clock moved by hand: set right at the next minute", 0, 20, -1, 5, 3000, 0, Plain(0, 8)},
        {"start with the clock 3 s off: the second minute agrees", 3000, 20, -1, -1, 0, 0,
         std::vector<GuardMinute>{{0, 15, 0, false, false}} + Plain(1, 3)},
        {"start on a noise pulse with the clock 3 s off", 3000, 20, -1, -1, 0, 0,
         std::vector<GuardMinute>{{0, -300, 0, false, false}, {1, 15, 0, false, false}} + Plain(2, 3)},
        {"summer time begins in local mode: no step", 0, 20, 5, -1, 0, 0, Plain(0, 10)},
        {"a refused clock: still followed, tried at every minute", 2000, 20, -1, -1, 0, 0,
         std::vector<GuardMinute>{{0, 15, 0, false, false}, {1, 15, 0, true, true}, {2, 15, 0, true, true},
                                  {3, 15, 0, false, true}}},
        {"three hours without a minute, count 100 ppm fast, drift learnt", 0, 100, -1, -1, 0, 0,
         Plain(0, 240) + Plain(420, 3)},
        {"three hours' gap before the drift is known: held twice", 0, 100, -1, -1, 0, 0,
         Plain(0, 3) + std::vector<GuardMinute>{{183, 15, 0, false, false}, {184, 15, 0, false, false}} +
             Plain(185, 2)},
    };
    const int64_t start = 849932160000;  // 2026-12-07 04:16:00 UTC
    for (const GuardScenario& sc : scenarios) {
        SCOPED_TRACE(sc.Name);
        ClockGuard = ClockGuardRecord{};
        int64_t clockError = sc.ClockErrorMs;  // the PC clock minus the continuous time
        bool moved = false;
        for (const GuardMinute& m : sc.Minutes) {
            SCOPED_TRACE(testing::Message() << "minute " << m.Index);
            const bool event = sc.EventAt >= 0 && m.Index >= sc.EventAt;
            if (event && !moved) {
                clockError += sc.ClockMoveMs;
                moved = true;
            }
            const int64_t edge = start + m.Index * 60000 + (event ? sc.MarkerStepMs : 0);
            const int64_t handled = edge + m.HandledMs;
            const bool summer = sc.SummerFrom >= 0 && m.Index >= sc.SummerFrom;
            const int64_t zone = summer ? 3600000 : 0;
            const ClockTime fields = TimeAtMs(start + (m.Index + m.FieldsOff) * 60000 + zone);
            const TimeFields f = {uint8_t(fields.Minute), uint8_t(fields.Hour),   uint8_t(fields.DayOfWeek),
                                  uint8_t(fields.Day),    uint8_t(fields.Month), uint8_t(fields.Year - 2000)};
            Fake = FakeSystem{};
            Fake.ClockAnswers = {!m.Refused};
            Fake.Reading = TimeAtMs(handled + zone + clockError);
            Fake.Count = uint64_t(7000000 + int64_t(double(handled - start) * (1 + sc.DriftPpm * 1e-6)));
            std::vector<char> tip(TIP_SIZE);
            const TrayIconKind icon = ReportTimeCode(
                PackTimeCodeWParam(f), PackTimeCodeLParam(f, ST_TIME_VALID | (summer ? ST_SUMMER_TIME : 0)),
                tip.data());
            EXPECT_EQ(Fake.ClockCalls.size(), m.Accepted ? (m.Refused ? 1u : 2u) : 0u);
            EXPECT_EQ(icon, m.Accepted && !m.Refused ? ICON_GOOD : ICON_POOR);
            if (!Fake.ClockCalls.empty() && !m.Refused)
                clockError = ClockTimeMs(Fake.ClockCalls[0]) - (handled + zone);
        }
        // However it started, the clock ends within 50 ms of the markers (after
        // a leap second the continuous time is a second ahead of them).
        const int64_t last = sc.Minutes.back().Index;
        EXPECT_LE(std::llabs(clockError + (sc.EventAt >= 0 && last >= sc.EventAt ? sc.MarkerStepMs : 0)), 50);
    }
}

TEST(TimerPeriodTest, AcceptsOnlyDivisorsOfTheSamplePeriod)
{
    for (uint32_t period = 0; period <= 64; ++period) {
        const bool expected = period == 1 || period == 2 || period == 4 || period == 5 ||
                              period == 10 || period == 20;
        EXPECT_EQ(TimerPeriodSuitable(period), expected) << "smallest period " << period;
    }
    EXPECT_FALSE(TimerPeriodSuitable(0xFFFFFFFFu));
}

}  // namespace
