// The WM_TIMECODE decisions: classification, the clock guard and the tick's
// second tracking behind it, the clock calls and the tray tip, run against a
// recording clock and English stand-in formatters.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "config/config.h"
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
    uint64_t SleptMs = 0;            // slept since the message was handed over
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
void FakeSleepMs(uint32_t ms)
{
    Fake.Count += ms;
    Fake.SleptMs += ms;
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
        Platform.ReadClock = FakeReadClock;
        Platform.MonotonicMs = FakeMonotonicMs;
        Platform.SleepMs = FakeSleepMs;
        Platform.FormatDate = FakeFormatDate;
        Platform.FormatTime = FakeFormatTime;
    }
    // The tip lives in exactly 64 bytes on the heap, so any write past them is
    // an AddressSanitizer error. No guard: every confirmed minute, whatever its
    // fields, goes to the clock (the guard has its own tests below).
    std::string Report(uint32_t wParam, uint32_t lParam, TrayIconKind* icon)
    {
        std::vector<char> tip(TIP_SIZE, '\x7f');
        *icon = ReportTimeCodeWith(nullptr, wParam, lParam, tip.data());
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

// ---- The tick's second tracking ----

// One second start at count ms, and the three samples after it (20 ms apart):
// pulses[i] says whether sample i + 1 is a pulse.
SecondStartFit StartAt(uint64_t ms, const bool (&pulses)[3])
{
    const SecondStartFit fit = TrackSecondStart(ms);
    for (int i = 0; i < 3; ++i)
        TrackSample(pulses[i], ms + 20 * uint64_t(i + 1));
    return fit;
}
constexpr bool LASTS[3] = {true, true, true};
constexpr bool ALONE[3] = {false, false, false};     // a lone noise sample
constexpr bool SPLIT[3] = {false, true, true};       // one sample lost, or noise before it

// What the tick sees from second From to second To (exclusive) of a case.
enum TrackEvent : uint8_t {
    TRACK_CLEAN,
    TRACK_LONE_NOISE,   // every tenth second, a lone noise sample 260 ms early too
    TRACK_STATIC,       // random starts, random samples, no seconds
    TRACK_SILENT,       // nothing
    TRACK_MOVED,        // every second Ms later
    TRACK_NOISE_BEFORE, // noise a sample (Ms 20) or two (40: a gap, then the pulse) before each start
    TRACK_SAMPLE_LOST,  // the sample after each start lost to noise
};

// Second starts 14..18 ms late on a count Ppm fast. Expected at the last start:
// epoch (0: not trusted), its second number, its error against the phase
// within ErrorMs, and the learnt rate within 5 ppm (NaN: not checked).
struct TrackCase {
    const char* Name;
    double Ppm;
    int Seconds;
    TrackEvent Event;
    int From, To, Ms;
    uint32_t Epoch;
    int64_t SecondNumber;
    int ErrorMs;
    double RatePpm;
};

TEST(SecondTrackTest, FollowsTheReceivedSecond)
{
    const double unchecked = std::nan("");
    const TrackCase cases[] = {
        {"seven starts: not trusted yet", 0, 7, TRACK_CLEAN, 0, 0, 0, 0, 0, 0, unchecked},
        // The numbering begins at the tenth start that agrees.
        {"a clean hour at -100 ppm: rate learnt", -100, 3600, TRACK_CLEAN, 0, 0, 0, 1, 3590, 3, -100},
        {"a lone noise start before every tenth moves nothing", 20, 1200, TRACK_LONE_NOISE, 0, 1200, 0, 1, 1190,
         3, 20},
        {"45 s of static moves nothing", 50, 646, TRACK_STATIC, 600, 645, 0, 1, 636, 3, unchecked},
        {"two silent hours once the rate is known: still followed", 100, 8300, TRACK_SILENT, 1000, 8200, 0, 1, 8290,
         3, 100},
        {"25 silent minutes before the rate is known: numbered anew", 20, 2100, TRACK_SILENT, 200, 1700, 0, 2, 390,
         3, unchecked},
        {"the seconds move 300 ms: numbered anew after ten", 20, 700, TRACK_MOVED, 600, 700, 300, 2, 90, 3,
         unchecked},
        // The phase follows slowly; the recent starts, which also time a
        // marker, are there at once.
        {"the seconds move 40 ms: followed within minutes", 20, 3400, TRACK_MOVED, 3000, 3400, 40, 1, 3390, 7,
         unchecked},
        // Noise at the same place of every second for two minutes: the phase
        // has slowed down by then and hardly follows.
        {"noise a sample before each start for two minutes", 20, 9100, TRACK_NOISE_BEFORE, 8970, 9090, 20, 1, 9090,
         6, 20},
        {"noise two samples before each start: the later sample", 20, 2600, TRACK_NOISE_BEFORE, 2000, 2590, 40, 1,
         2590, 3, 20},
        {"the sample after every start lost: still followed", 50, 1200, TRACK_SAMPLE_LOST, 0, 1200, 0, 1, 1190,
         3, 50},
    };
    for (const TrackCase& c : cases) {
        SCOPED_TRACE(c.Name);
        ResetSecondTracking();
        uint64_t state = 12345;
        auto random = [&state] { return (state = state * 6364136223846793005ull + 1442695040888963407ull) >> 33; };
        double staticMs = c.From * 1000.0;
        int staticMoves = 0;  // static starts that moved the phase
        SecondStartFit fit{};
        auto at = [&](double trueMs) { return uint64_t(5000000 + trueMs * (1 + c.Ppm * 1e-6)); };
        for (int k = 0; k < c.Seconds; ++k) {
            const bool during = k >= c.From && k < c.To;
            const TrackEvent e = during ? c.Event : TRACK_CLEAN;
            // The decoder starts a second at the first pulse 740 ms after the last.
            for (; e == TRACK_STATIC && staticMs < (k + 1) * 1000.0; staticMs += 740) {
                staticMs += double(random() % 32);
                const int64_t phase = SecondTrack.PhaseUs;
                const bool pulses[3] = {random() % 2 == 1, random() % 2 == 1, random() % 2 == 1};
                StartAt(at(staticMs), pulses);
                staticMoves += SecondTrack.PhaseUs != phase;
            }
            if (e == TRACK_STATIC || e == TRACK_SILENT)
                continue;
            const double edge = k * 1000.0 + 14 + (k * 7) % 5 + (e == TRACK_MOVED ? c.Ms : 0);
            if (e == TRACK_LONE_NOISE && k % 10 == 0 && k > 0)
                StartAt(at(edge - 260), ALONE);
            if (e == TRACK_NOISE_BEFORE)
                fit = StartAt(at(edge - c.Ms), c.Ms <= 20 ? LASTS : SPLIT);
            else
                fit = StartAt(at(edge), e == TRACK_SAMPLE_LOST ? SPLIT : LASTS);
        }
        // Only a static start right after a real one may move the phase.
        EXPECT_LE(staticMoves, 1);
        EXPECT_EQ(fit.Epoch, c.Epoch);
        if (c.Epoch != 0) {
            EXPECT_EQ(fit.SecondNumber, c.SecondNumber);
            EXPECT_LE(std::abs(fit.ErrorUs), c.ErrorMs * 1000);
        }
        if (!std::isnan(c.RatePpm))
            EXPECT_NEAR((double(SecondTrack.PeriodNs) - 1e9) / 1e3, c.RatePpm, 5);
    }
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
    int MarkerMs;      // where the tick sees its marker start, from the edge (a
                       // noise pulse taken for it: before it)
    int HandledMs;     // when the window handles its message, after that
    int FieldsOff;     // the fields name a minute this many minutes off
    bool Refused;      // the system refuses the clock setting
    bool Accepted;     // expected: the guard lets it set the clock
    bool FlagMisread = false;  // the summer flag says the other than the fields
};
struct GuardScenario {
    const char* Name;
    int64_t ClockErrorMs;  // the PC clock against true time at the start
    double DriftPpm;       // the monotonic count's rate error
    int SummerFrom;        // minutes from here on are BST in local mode (-1: never)
    int EventAt;           // before this minute: the clock moves by ClockMoveMs,
    int64_t ClockMoveMs;   // every later second comes MarkerStepMs later, the
    int64_t MarkerStepMs;  // count jumps by CountJumpMs, and for SilentMinutes
    int64_t CountJumpMs;   // before it the tick saw no second start
    int SilentMinutes;
    std::vector<GuardMinute> Minutes;
    int64_t StartMs = 849932160000;  // the first minute (ms from 2000, UTC): 2026-12-07 04:16
};

constexpr int TICK_LATE_MS = 15;  // a second start is seen about this late

// n minutes from index first, every `every` minutes, seen and handled on time,
// all accepted.
std::vector<GuardMinute> Plain(int first, int n, int every = 1)
{
    std::vector<GuardMinute> m;
    for (int i = 0; i < n; ++i)
        m.push_back({first + i * every, TICK_LATE_MS, 1, 0, false, true});
    return m;
}
std::vector<GuardMinute> operator+(std::vector<GuardMinute> a, const std::vector<GuardMinute>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
GuardMinute Held(int index, int markerMs = TICK_LATE_MS, int fieldsOff = 0, int handledMs = 1)
{
    return {index, markerMs, handledMs, fieldsOff, false, false};
}
GuardMinute SetAt(int index, int markerMs, int handledMs = 1) { return {index, markerMs, handledMs, 0, false, true}; }

TEST_F(StatusTest, ClockGuardHoldsWhatDoesNotFitAndServesSparseReception)
{
    const GuardScenario scenarios[] = {
        {"clean start, clock 20 ms off: every minute", 20, 20, -1, -1, 0, 0, 0, 0, Plain(0, 5)},
        {"noise pulses 300 and 25 ms early: set when their seconds start", 0, 20, -1, -1, 0, 0, 0, 0,
         Plain(0, 5) + std::vector<GuardMinute>{SetAt(5, -300), SetAt(6, -25)} + Plain(7, 2)},
        {"a noise pulse 510 ms early, after another: set when its second starts", 0, 20, -1, -1, 0, 0, 0, 0,
         Plain(0, 5) + std::vector<GuardMinute>{SetAt(5, -510)} + Plain(6, 2)},
        {"marker seen 60 ms late: set to its second's start", 0, 20, -1, -1, 0, 0, 0, 0,
         Plain(0, 5) + std::vector<GuardMinute>{SetAt(5, 75)} + Plain(6, 2)},
        {"messages handled 50 and 400 ms late: set so much past the minute; 1.2 s late: held", 0, 20, -1, -1, 0, 0,
         0, 0,
         Plain(0, 5) +
             std::vector<GuardMinute>{SetAt(5, TICK_LATE_MS, 50), SetAt(6, TICK_LATE_MS, 400),
                                      Held(7, TICK_LATE_MS, 0, 1200)} +
             Plain(8, 2)},
        {"wrong minutes: one behind, an hour ahead", 0, 20, -1, -1, 0, 0, 0, 0,
         Plain(0, 5) + std::vector<GuardMinute>{Held(5, TICK_LATE_MS, -1), Held(7, TICK_LATE_MS, 60)} + Plain(8, 2)},
        {"a noise pulse at the same place before every marker", 3000, 20, -1, -1, 0, 0, 0, 0,
         std::vector<GuardMinute>{Held(0, -200), SetAt(1, -200), SetAt(2, -200), SetAt(3, -200)}},
        {"a leap second: held twice, then followed", 0, 20, -1, 5, 0, 1000, 0, 0,
         Plain(0, 5) + std::vector<GuardMinute>{Held(5), Held(6)} + Plain(7, 3)},
        {"the clock moved by hand: set right at the next minute", 0, 20, -1, 5, 3000, 0, 0, 0, Plain(0, 8)},
        {"start with the clock 3 s off: the second minute agrees", 3000, 20, -1, -1, 0, 0, 0, 0,
         std::vector<GuardMinute>{Held(0)} + Plain(1, 3)},
        {"start on a wrong minute with the clock 3 s off", 3000, 20, -1, -1, 0, 0, 0, 0,
         std::vector<GuardMinute>{Held(0, TICK_LATE_MS, 1), Held(1)} + Plain(2, 3)},
        {"summer time begins in local mode: no step", 0, 20, 5, -1, 0, 0, 0, 0, Plain(0, 10),
         ClockTimeMs(ClockTime{2027, 3, 0, 28, 0, 55, 0, 0})},
        // The summer bit is in no parity group: the date decides.
        {"the summer flag misread in winter: still followed", 0, 20, -1, -1, 0, 0, 0, 0,
         Plain(0, 3) + std::vector<GuardMinute>{{3, TICK_LATE_MS, 1, 0, false, true, true},
                                                {4, TICK_LATE_MS, 1, 0, false, true, true}} + Plain(5, 2)},
        // Wrong minutes that the decoder's prediction makes agree (a year bit
        // misread for twenty minutes), within the seconds followed and after
        // three silent hours: the count says they are not the minute.
        {"twenty wrong minutes that agree", 0, 20, -1, -1, 0, 0, 0, 0,
         Plain(0, 5) + std::vector<GuardMinute>(20, Held(0, TICK_LATE_MS, 525600)) + Plain(25, 2)},
        {"wrong minutes that agree after three silent hours", 0, 20, -1, 200, 0, 0, 0, 190,
         Plain(0, 5) + std::vector<GuardMinute>{Held(200, TICK_LATE_MS, 60), Held(201, TICK_LATE_MS, 60),
                                                Held(202, TICK_LATE_MS, 60)} + Plain(203, 2)},
        {"a refused clock: still followed, tried at every minute", 2000, 20, -1, -1, 0, 0, 0, 0,
         std::vector<GuardMinute>{Held(0), {1, TICK_LATE_MS, 1, 0, true, true}, {2, TICK_LATE_MS, 1, 0, true, true},
                                  {3, TICK_LATE_MS, 1, 0, false, true}}},
        // Sparse reception: the seconds keep the reference fresh however far
        // apart the minutes come.
        {"20 ppm, clock 3 s off, a minute every 45 minutes for a day", 3000, 20, -1, -1, 0, 0, 0, 0,
         std::vector<GuardMinute>{Held(0)} + Plain(45, 32, 45)},
        {"20 ppm, a minute every two hours for two days", -90000, -20, -1, -1, 0, 0, 0, 0,
         std::vector<GuardMinute>{Held(0)} + Plain(120, 24, 120)},
        {"three good minutes, then one an hour at 100 ppm", 500, 100, -1, -1, 0, 0, 0, 0,
         std::vector<GuardMinute>{Held(0)} + Plain(1, 2) + Plain(62, 24, 60)},
        {"50 ppm, one every 30 minutes, a noise pulse and a wrong minute among them", 3000, 50, -1, -1, 0, 0, 0, 0,
         std::vector<GuardMinute>{Held(0)} + Plain(30, 5, 30) + std::vector<GuardMinute>{SetAt(180, -150)} +
             Plain(210, 2, 30) + std::vector<GuardMinute>{Held(270, TICK_LATE_MS, 1)} + Plain(300, 4, 30)},
        {"-100 ppm, clock 90 s behind, one every four hours", -90000, -100, -1, -1, 0, 0, 0, 0,
         std::vector<GuardMinute>{Held(0)} + Plain(240, 8, 240)},
        // Resume from sleep: eight hours without seconds, the count running on
        // or standing still (its first minute comes two minutes after): the
        // count, or else the clock, places it; with neither, three agree.
        {"resume after 8 h of sleep, the clock 2 s off: settled at once", 0, 20, -1, 500, 2000, 0, 0, 480,
         Plain(0, 3) + Plain(502, 3)},
        {"resume after 8 h, the count stood still: settled at once", 0, 20, -1, 500, 0, 0, -28800000, 480,
         Plain(0, 3) + Plain(502, 3)},
        {"resume after 8 h, the count stood still, the clock 2 s off: at the third", 0, 20, -1, 500, 2000, 0,
         -28800000, 480, Plain(0, 3) + std::vector<GuardMinute>{Held(502), Held(503)} + Plain(504, 2)},
    };
    for (const GuardScenario& sc : scenarios) {
        SCOPED_TRACE(sc.Name);
        const int64_t start = sc.StartMs;
        ClockGuard = ClockGuardRecord{};
        ResetSecondTracking();
        int64_t clockError = sc.ClockErrorMs;  // the PC clock minus the continuous time
        const int64_t eventSecond = sc.EventAt >= 0 ? int64_t(sc.EventAt) * 60 : INT64_MAX;
        // True time of second k's edge, and the count at a true time.
        auto edgeOf = [&](int64_t k) { return start + k * 1000 + (k >= eventSecond ? sc.MarkerStepMs : 0); };
        auto countAt = [&](int64_t t, int64_t k) {
            const int64_t shifted = t - start + (k >= eventSecond ? sc.CountJumpMs : 0);
            return uint64_t(7000000 + int64_t(std::llround(double(shifted) * (1 + sc.DriftPpm * 1e-6))));
        };
        int64_t next = -120;  // two minutes of seconds before the first minute
        bool moved = false;
        int index = 0;
        for (GuardMinute m : sc.Minutes) {
            // A run of copies of one minute stands for consecutive minutes.
            m.Index = std::max(m.Index, index);
            index = m.Index + 1;
            SCOPED_TRACE(testing::Message() << "minute " << m.Index);
            const int64_t markerSecond = int64_t(m.Index) * 60;
            for (; next < markerSecond; ++next)
                if (!(next < eventSecond && next >= eventSecond - sc.SilentMinutes * 60))
                    StartAt(countAt(edgeOf(next) + TICK_LATE_MS + (next * 7) % 5 - 2, next), LASTS);
            next = markerSecond + 1;
            if (markerSecond >= eventSecond && !moved) {
                clockError += sc.ClockMoveMs;
                moved = true;
            }
            const int64_t seen = edgeOf(markerSecond) + m.MarkerMs;
            const int64_t handled = seen + m.HandledMs;
            const bool summer = sc.SummerFrom >= 0 && m.Index >= sc.SummerFrom;
            const int64_t zone = summer ? 3600000 : 0;
            // The fields: minute Index (the leap second adds no minute).
            const ClockTime fields = TimeAtMs(start + int64_t(m.Index + m.FieldsOff) * 60000 + zone);
            const TimeFields f = {uint8_t(fields.Minute), uint8_t(fields.Hour),   uint8_t(fields.DayOfWeek),
                                  uint8_t(fields.Day),    uint8_t(fields.Month), uint8_t(fields.Year - 2000)};
            const uint32_t wParam = PackTimeCodeWParam(f);
            const uint32_t lParam =
                PackTimeCodeLParam(f, ST_TIME_VALID | (summer != m.FlagMisread ? ST_SUMMER_TIME : 0));
            const uint64_t seenCount = countAt(seen, markerSecond);
            // A marker taken early is a lone noise sample.
            const SecondStartFit fit = StartAt(seenCount, m.MarkerMs < 0 ? ALONE : LASTS);
            PublishMinuteStamp(MinuteStamp{TimeCodeKey(wParam, lParam), seenCount, fit.ErrorUs, fit.Epoch,
                                           fit.SecondNumber, fit.RecentUs});
            Fake = FakeSystem{};
            Fake.ClockAnswers = {!m.Refused};
            Fake.Reading = TimeAtMs(handled + zone + clockError);
            Fake.Count = countAt(handled, markerSecond);
            std::vector<char> tip(TIP_SIZE);
            const TrayIconKind icon = ReportTimeCode(wParam, lParam, tip.data());
            EXPECT_EQ(Fake.ClockCalls.size(), m.Accepted ? (m.Refused ? 1u : 2u) : 0u);
            EXPECT_EQ(icon, m.Accepted && !m.Refused ? ICON_GOOD : ICON_POOR);
            if (!Fake.ClockCalls.empty() && !m.Refused) {
                const int64_t setAt = handled + int64_t(Fake.SleptMs);
                clockError = ClockTimeMs(Fake.ClockCalls[0]) - (setAt + zone);
                // Every setting lands within 50 ms of its minute's edge.
                EXPECT_LE(std::llabs(clockError + (markerSecond >= eventSecond ? sc.MarkerStepMs : 0)), 50);
            }
        }
        // However it started, the clock ends within 50 ms of the markers (after
        // a leap second the continuous time is a second ahead of them).
        EXPECT_LE(std::llabs(clockError + (next - 1 >= eventSecond ? sc.MarkerStepMs : 0)), 50);
    }
}

// The verdicts and what they carry, minute by minute against a hand-made stamp
// (the count at UTC second s is 1000000 ms + s; position = second number - s).
TEST(ClockGuardTest, SaysWhyItSetsOrHolds)
{
    const struct {
        const char* Name;
        int64_t MinuteS;   // the minute's UTC start, s
        int64_t SeenMs;    // where the tick saw its marker, from that start
        int32_t ErrorUs;   // the marker against its second's predicted start
        int64_t SecondNumber, ClockOffsetMs, HandledMs;
        uint32_t Epoch;
        GuardVerdict Verdict;
        uint32_t WaitMs;
        int32_t SetLateMs;
        int64_t MovedS;
        uint32_t CarryMs;
    } steps[] = {
        {"no trusted seconds yet", 0, 0, 0, 0, 3000, 0, 0, GUARD_HOLD_UNSTEADY, 0, 0, 0, 0},
        {"the next agrees with it by the count: set", 60, 2, 2000, 1000, 3000, 1, 1, GUARD_SET_AGREED, 0, 3, 0, 0},
        {"fits, 200 ms early: set when its second starts", 120, -200, -200000, 1060, 0, 0, 1, GUARD_SET_FITS, 190,
         -200, 0, 0},
        {"fits, handled 30 ms late: set 30 ms past the minute", 180, 0, 0, 1120, 0, 30, 1, GUARD_SET_FITS, 0, 30, 0, 30},
        {"a minute off", 240, 0, 0, 1240, -60000, 0, 1, GUARD_HOLD_MOVED, 0, 0, 60, 0},
        {"600 ms early, nearest the second before", 300, -600, 400000, 1239, 0, 0, 1, GUARD_SET_FITS, 590, -600, 0, 0},
        {"another epoch: the count places it, the clock 3 s off", 360, 0, 0, 77, 3000, 0, 2, GUARD_SET_FITS, 0, 0, 0, 0},
        {"eleven hours on, another epoch: past the count's reach", 39960, 0, 0, 5, 900, 0, 3, GUARD_HOLD_UNPROVEN, 0,
         0, 0, 0},
        {"the clock agrees", 40020, 0, 0, 65, 20, 0, 3, GUARD_SET_CLOCK_AGREES, 0, 0, 0, 0},
        {"a leap second: one second more", 40080, 0, 0, 126, 1000, 0, 3, GUARD_HOLD_MOVED, 0, 0, 1, 0},
        {"... and again", 40140, 0, 0, 186, 1000, 0, 3, GUARD_HOLD_MOVED, 0, 0, 1, 0},
        {"... the third: followed", 40200, 0, 0, 246, 1000, 0, 3, GUARD_SET_AGREED, 0, 0, 0, 0},
        // The decoder's prediction makes wrong minutes agree: a day off three
        // times is still held, for it is a day from the clock too.
        {"a day off", 126660, -86400000, 0, 306, 86400000, 0, 3, GUARD_HOLD_MOVED, 0, 0, -86400, 0},
        {"a day off again", 126720, -86400000, 0, 366, 86400000, 0, 3, GUARD_HOLD_MOVED, 0, 0, -86400, 0},
        {"a day off a third time", 126780, -86400000, 0, 426, 86400000, 0, 3, GUARD_HOLD_MOVED, 0, 0, -86400, 0},
        {"the true minute", 40440, 0, 0, 486, 0, 0, 3, GUARD_SET_FITS, 0, 0, 0, 0},
        {"handled a second late: held", 40500, 0, 0, 546, 0, 1000, 3, GUARD_HOLD_LATE, 0, 1000, 0, 0},
    };
    ClockGuardRecord g{};
    for (const auto& s : steps) {
        SCOPED_TRACE(s.Name);
        const uint64_t seenMs = uint64_t(1000000 + s.MinuteS * 1000 + s.SeenMs);
        const MinuteStamp stamp{0, seenMs, s.ErrorUs, s.Epoch, s.SecondNumber, 0};
        const GuardJudgement j =
            GuardJudgeMinute(g, &stamp, s.MinuteS * 1000, s.ClockOffsetMs, seenMs + uint64_t(s.HandledMs));
        EXPECT_EQ(j.Verdict, s.Verdict);
        EXPECT_EQ(j.WaitMs, s.WaitMs);
        EXPECT_EQ(j.SetLateMs, s.SetLateMs);
        EXPECT_EQ(j.MovedS, s.MovedS);
        EXPECT_EQ(GuardSets(j.Verdict) ? j.CarryMs : 0, s.CarryMs);
    }
    EXPECT_EQ(GuardJudgeMinute(g, nullptr, 0, 0, 0).Verdict, GUARD_HOLD_NO_STAMP);
    const MinuteStamp stamp{0, 1000000, 0, 3, 426, 0};
    EXPECT_EQ(GuardJudgeMinute(g, &stamp, GUARD_NOT_A_MINUTE, 0, 1000000).Verdict, GUARD_HOLD_WEEKDAY);
    // The window reads a stamp only for its own message.
    MinuteStamp got{};
    PublishMinuteStamp(MinuteStamp{TimeCodeKey(0x14050E07, 0x00400C04), 987654321, -2500, 3, 41, 0});
    EXPECT_TRUE(ReadMinuteStamp(0x14050E07, 0x00400C04, &got) && got.MarkerMs == 987654321 &&
                got.ErrorUs == -2500 && got.Epoch == 3 && got.SecondNumber == 41);
    EXPECT_FALSE(ReadMinuteStamp(0x14050E07, 0x00000C04, &got));
}

// A confirmed minute's UTC start: by the date in UK civil time, whatever the
// summer bit says, save in the hour the clocks repeat; a weekday that is not
// the date's is no minute.
TEST(ClockGuardTest, TakesTheMinuteInUtc)
{
    const struct {
        ClockTime Minute;
        StatusFlags Status;
        uint8_t UtcMode;
        int64_t UtcMs;  // from ClockTimeMs of the minute
    } cases[] = {
        {{2026, 12, 2, 8, 10, 30, 0, 0}, 0, 0, 0},
        {{2026, 12, 2, 8, 10, 30, 0, 0}, ST_SUMMER_TIME, 0, 0},  // the bit misread in winter
        {{2027, 7, 2, 20, 10, 30, 0, 0}, ST_SUMMER_TIME, 0, -3600000},
        {{2027, 7, 2, 20, 10, 30, 0, 0}, 0, 0, -3600000},        // ... and in summer
        {{2027, 7, 2, 20, 10, 30, 0, 0}, 0, 1, 0},               // UTC mode: as decoded
        // 28 March 2027: 00:59 GMT, then 02:00 BST.
        {{2027, 3, 0, 28, 0, 59, 0, 0}, 0, 0, 0},
        {{2027, 3, 0, 28, 2, 0, 0, 0}, ST_SUMMER_TIME, 0, -3600000},
        // 31 October 2027: 01:30 comes twice; the bit tells which.
        {{2027, 10, 0, 31, 1, 30, 0, 0}, ST_SUMMER_TIME, 0, -3600000},
        {{2027, 10, 0, 31, 1, 30, 0, 0}, 0, 0, 0},
        {{2027, 10, 0, 31, 2, 30, 0, 0}, ST_SUMMER_TIME, 0, 0},
        {{2027, 10, 1, 31, 1, 30, 0, 0}, 0, 0, GUARD_NOT_A_MINUTE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.Minute.Year << "-" << c.Minute.Month << "-" << c.Minute.Day << " "
                                        << c.Minute.Hour << ":" << c.Minute.Minute << " status "
                                        << int(c.Status) << " utc " << int(c.UtcMode));
        UTCFlag.store(c.UtcMode);
        const int64_t expected = c.UtcMs == GUARD_NOT_A_MINUTE ? c.UtcMs : ClockTimeMs(c.Minute) + c.UtcMs;
        EXPECT_EQ(MinuteUtcMs(c.Minute, c.Status), expected);
    }
    UTCFlag.store(0);
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
