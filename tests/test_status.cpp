// The WM_TIMECODE decisions: classification, the clock calls and the tray tip,
// run against a recording clock and English stand-in formatters.
#include <gtest/gtest.h>

#include <cstdio>
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
        Platform.FormatDate = FakeFormatDate;
        Platform.FormatTime = FakeFormatTime;
    }
    // The tip lives in exactly 64 bytes on the heap, so any write past them is
    // an AddressSanitizer error.
    std::string Report(uint32_t wParam, uint32_t lParam, TrayIconKind* icon)
    {
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
