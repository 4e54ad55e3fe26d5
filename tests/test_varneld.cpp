// varneld's portable parts: settings parsing, the status line's English
// formatter, second starts from edge stamps, and the whole core on simulated
// lines (clean, jittered, glitched, late ticks, an I/O port, direct mode),
// with every sample judged against the line's known truth.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "daemon/daemon.h"
#include "daemon/options.h"
#include "daemon/seconds.h"
#include "sim_daemon.h"

namespace {

struct OptionCase {
    std::vector<const char*> Args;  // after argv[0]
    const char* File;               // settings text read first, or nullptr
    const char* Error;              // expected in the message; nullptr: accepted
    const char* Port;               // expected PortPath, or the hex I/O address
    uint8_t Bit;
    uint8_t Utc;
    TimeOutMode Mode;
    int64_t DelayNs;
};

TEST(VarneldOptions, FileThenCommandLine)
{
    const OptionCase cases[] = {
        {{}, nullptr, nullptr, "201", 7, 0, MODE_CHRONY, 0},
        {{}, "PortAddress = /dev/ttyUSB0 # DCD\nBitNumber=5\n\nUTCFlag = 1\n", nullptr,
         "/dev/ttyUSB0", 5, 1, MODE_CHRONY, 0},
        {{}, "portaddress = 0x3FE\nmode = Direct\ndelay = 35.25\n", nullptr, "3fe", 7, 0,
         MODE_DIRECT, 35250000},
        {{"--port=/dev/ttyS1", "-b", "4", "--uk"}, "UTCFlag = 1\nPortAddress = 379\n", nullptr,
         "/dev/ttyS1", 4, 0, MODE_CHRONY, 0},
        {{"--mode", "direct", "--utc", "-d", "0.5"}, nullptr, nullptr, "201", 7, 1, MODE_DIRECT,
         500000},
        {{}, "BitNumber = 8\n", "line 1: BitNumber must be 0 to 7", nullptr, 0, 0, MODE_CHRONY, 0},
        {{}, "# fine\nPortAddress = 5\n", "line 2: PortAddress: 5 is no I/O port", nullptr, 0, 0,
         MODE_CHRONY, 0},
        {{}, "PortAddress = 37G\n", "PortAddress must be a serial device", nullptr, 0, 0,
         MODE_CHRONY, 0},
        {{}, "UTCFlag = yes\n", "UTCFlag must be 0", nullptr, 0, 0, MODE_CHRONY, 0},
        {{}, "Colour = blue\n", "unknown setting Colour", nullptr, 0, 0, MODE_CHRONY, 0},
        {{}, "just words\n", "line 1: \"just words\" is not Name = value", nullptr, 0, 0,
         MODE_CHRONY, 0},
        {{}, "Socket = relative.sock\n", "Socket must be an absolute path", nullptr, 0, 0,
         MODE_CHRONY, 0},
        {{}, "Delay = 1000.5\n", "Delay must be milliseconds", nullptr, 0, 0, MODE_CHRONY, 0},
        {{"--mode", "ntp"}, nullptr, "--mode must be chrony or direct", nullptr, 0, 0,
         MODE_CHRONY, 0},
        {{"--bit"}, nullptr, "--bit needs a value", nullptr, 0, 0, MODE_CHRONY, 0},
        {{"--colour", "x"}, nullptr, "unknown option --colour", nullptr, 0, 0, MODE_CHRONY, 0},
        {{"--port", "10000"}, nullptr, "--port must be a serial device", nullptr, 0, 0,
         MODE_CHRONY, 0},
        {{"--port", "/dev/ttyS0", "--bit", "3"}, nullptr, "BitNumber 3 reads no line", nullptr,
         0, 0, MODE_CHRONY, 0},
    };
    for (const OptionCase& c : cases) {
        std::vector<char*> argv{const_cast<char*>("varneld")};
        for (const char* a : c.Args)
            argv.push_back(const_cast<char*>(a));
        DaemonOptions o;
        DefaultOptions(o);
        char error[OPTION_ERROR_SIZE] = "";
        bool good = c.File == nullptr || ParseSettings(o, c.File, "test.conf", error);
        good = good && ParseCommandLine(int(argv.size()), argv.data(), o, error) == COMMAND_RUN;
        good = good && CheckOptions(o, error);
        const std::string row = std::string(c.File ? c.File : "") + (c.Args.empty() ? "" : c.Args[0]);
        if (c.Error != nullptr) {
            EXPECT_FALSE(good) << row;
            EXPECT_NE(std::strstr(error, c.Error), nullptr) << row << " -> " << error;
            continue;
        }
        ASSERT_TRUE(good) << row << " -> " << error;
        if (c.Port[0] == '/') {
            EXPECT_STREQ(o.PortPath, c.Port) << row;
        } else {
            EXPECT_STREQ(o.PortPath, "") << row;
            EXPECT_EQ(o.IoAddress, std::strtoul(c.Port, nullptr, 16)) << row;
        }
        EXPECT_EQ(o.BitNumber, c.Bit) << row;
        EXPECT_EQ(o.UTCFlag, c.Utc) << row;
        EXPECT_EQ(o.Mode, c.Mode) << row;
        EXPECT_EQ(o.DelayNs, c.DelayNs) << row;
    }
}

TEST(VarneldStatus, EnglishPictures)
{
    struct Case {
        ClockTime Time;
        const char* Picture;
        int Size;
        const char* Text;  // nullptr: refused
    };
    const Case cases[] = {
        {{2026, 12, 2, 8, 0, 36, 0, 0}, "ddd dd-MMM-yyyy, ", 20, "Tue 08-Dec-2026, "},
        {{2026, 12, 0, 8, 0, 36, 0, 0}, "HH:mm ", 10, "00:36 "},
        {{2012, 4, 5, 20, 14, 7, 0, 0}, "ddd dd-MMM-yyyy, ", 20, "Fri 20-Apr-2012, "},
        {{2000, 1, 0, 1, 23, 59, 0, 0}, "ddd dd-MMM-yyyy, ", 20, "Sat 01-Jan-2000, "},
        {{2026, 13, 0, 8, 0, 36, 0, 0}, "ddd dd-MMM-yyyy, ", 20, nullptr},
        {{2026, 12, 2, 8, 0, 36, 0, 0}, "ddd dd-MMM-yyyy, ", 17, nullptr},
    };
    for (const Case& c : cases) {
        char out[32];
        std::memset(out, '#', sizeof out);
        const int n = FormatClockEnglish(c.Time, c.Picture, out, c.Size);
        if (c.Text == nullptr) {
            EXPECT_EQ(n, 0) << c.Picture;
        } else {
            EXPECT_EQ(n, int(std::strlen(c.Text)) + 1);
            EXPECT_STREQ(out, c.Text);
        }
    }
}

// Second starts: a minute accepted at its marker, then crafted edges of a
// line whose carrier-off level is 1 (times in ms on both clocks, the real one
// 5 s ahead). Each row lists the seconds that must give a sample.
TEST(VarneldSeconds, WhichEdgesGiveSamples)
{
    struct Change {
        int64_t Ms;
        uint8_t Level;
        uint8_t Missed;
    };
    struct Case {
        const char* Name;
        std::vector<Change> Changes;
        std::vector<int> Seconds;
    };
    const int64_t M = 100000;  // the marker's edge, ms
    const Case cases[] = {
        {"clean seconds", {{M, 1, 0}, {M + 500, 0, 0}, {M + 1000, 1, 0}, {M + 1100, 0, 0},
                           {M + 2003, 1, 0}, {M + 2200, 0, 0}, {M + 3000, 0, 0}}, {0, 1, 2}},
        {"glitch after a start", {{M, 1, 0}, {M + 500, 0, 0}, {M + 1000, 1, 0}, {M + 1010, 0, 0},
                                  {M + 1030, 1, 0}, {M + 1100, 0, 0}, {M + 2000, 1, 0},
                                  {M + 2100, 0, 0}}, {0, 2}},
        {"glitch before a start", {{M, 1, 0}, {M + 500, 0, 0}, {M + 950, 1, 0}, {M + 960, 0, 0},
                                   {M + 1000, 1, 0}, {M + 1100, 0, 0}}, {0}},
        {"changes nobody stamped", {{M, 1, 0}, {M + 500, 0, 0}, {M + 1000, 1, 2}, {M + 1100, 0, 0},
                                    {M + 2000, 1, 0}, {M + 2100, 0, 0}}, {0, 2}},
        {"a start far from its second", {{M, 1, 0}, {M + 500, 0, 0}, {M + 1000, 1, 0},
                                         {M + 1100, 0, 0}, {M + 2060, 1, 0}, {M + 2160, 0, 0},
                                         {M + 3000, 1, 0}, {M + 3100, 0, 0}}, {0, 1, 3}},
        {"marker edge lost, then seconds", {{M + 1000, 1, 0}, {M + 1100, 0, 0}, {M + 5001, 1, 0},
                                            {M + 5100, 0, 0}}, {1, 5}},
        {"no second past 59", {{M, 1, 0}, {M + 500, 0, 0}, {M + 59000, 1, 0}, {M + 59100, 0, 0},
                               {M + 60000, 1, 0}, {M + 60500, 0, 0}, {M + 61000, 1, 0},
                               {M + 61100, 0, 0}}, {0, 59}},
    };
    for (const Case& c : cases) {
        SecondsRecord s;
        SecondsReset(s);
        // Carrier on since long before; the minute known from the tick that saw
        // the marker 0..20 ms after its edge.
        SecondSample out;
        SecondsEdge(s, LineEdge{(M - 900) * NS_PER_MS, 0, 0, 0, 0}, 1, &out);
        SecondsKnowMinute(s, 1796700000 * NS_PER_S, (M - 5) * NS_PER_MS, (M + 15) * NS_PER_MS);
        std::vector<int> got;
        for (const Change& e : c.Changes) {
            const LineEdge edge{e.Ms * NS_PER_MS, (e.Ms + 5000) * NS_PER_MS, e.Ms * NS_PER_MS,
                                e.Level, e.Missed};
            // Time passes up to the change, then the change comes.
            for (int step = 0; step < 2; ++step) {
                const bool settled = step == 0 ? SecondsSettle(s, edge.MonoNs - 1, &out)
                                               : SecondsEdge(s, edge, 1, &out);
                if (!settled)
                    continue;
                got.push_back(out.Second);
                // The true time of second k minus the system time at its edge.
                EXPECT_EQ(out.OffsetNs, 1796700000 * NS_PER_S + out.Second * NS_PER_S - out.RealNs)
                    << c.Name;
            }
        }
        EXPECT_EQ(got, c.Seconds) << c.Name;
    }
}

// The line fitted to the seconds on the raw clock: how close it comes to
// the true second starts through jitter, a crystal's rate error, gaps and
// outliers, and that a moved phase starts it afresh.
TEST(VarneldSeconds, PhaseOfTheSeconds)
{
    struct Case {
        const char* Name;
        double JitterNs;     // sd of each start's jitter
        double Ppm;          // the raw clock's rate error
        int Every;           // one start in this many seconds fitted
        int64_t JumpNs;      // the phase moves by this after second 1000 (0: never)
        int64_t MaxErrorNs;  // |fitted - true| over seconds 1500..3000
    };
    const Case cases[] = {
        {"clean", 0, 0, 1, 0, 1000},
        {"2 ms jitter", 2e6, 0, 1, 0, 300000},
        {"2 ms jitter, 100 ppm fast, every third", 2e6, 100, 3, 0, 450000},
        {"clean, 60 ppm slow, phase moved 300 ms", 0, -60, 1, 300 * NS_PER_MS, 1000},
    };
    for (const Case& c : cases) {
        PhaseRecord phase{};
        uint64_t random = 1;
        int64_t worst = 0;
        for (int k = 0; k < 3000; k += c.Every) {
            const int64_t truth = int64_t(double(k) * 1e9 * (1 + c.Ppm * 1e-6)) + 5000 * NS_PER_S +
                                  (c.JumpNs != 0 && k > 1000 ? c.JumpNs : 0);
            // A normal draw from two uniform ones (Box-Muller).
            const double u1 = (double(SynthNextRandom(random) >> 11) + 0.5) / 9007199254740992.0;
            const double u2 = double(SynthNextRandom(random) >> 11) / 9007199254740992.0;
            const double noise = std::sqrt(-2 * std::log(u1)) * std::cos(6.283185307 * u2);
            int64_t fitted;
            const bool fits = PhaseFit(phase, truth + int64_t(c.JitterNs * noise), &fitted);
            // The moved starts do not fit until PHASE_MISFITS_TO_RESTART of them
            // have not; the next one starts the line afresh.
            if (c.JumpNs != 0 && k > 1000 && k <= 1000 + (PHASE_MISFITS_TO_RESTART + 1) * c.Every)
                EXPECT_EQ(fits, k > 1000 + PHASE_MISFITS_TO_RESTART * c.Every) << c.Name << " " << k;
            if (fits && k >= 1500)
                worst = std::max<int64_t>(worst, std::llabs(fitted - truth));
        }
        EXPECT_LE(worst, c.MaxErrorNs) << c.Name;
    }
}

// The whole core, on simulated lines: samples a minute once a minute is
// accepted, none for a wrong second, and their error against the truth (the
// fitted line takes most of 2 ms of edge jitter away within minutes).
TEST(VarneldSimulated, SamplesAgainstTheTruth)
{
    struct Case {
        const char* Name;
        int64_t JitterNs, BiasNs, DelayNs;
        double Glitches;
        uint8_t Level;
        bool Stamped;
        int64_t TickLateNs;    // each tick (stamped lines: each wake) up to this late
        int64_t StampLateNs;   // the edge thread's stamps this late
        double MinPerMinute;   // samples per accepted minute
        int64_t MaxMeanNs;     // |mean error|
        int64_t MaxSdNs;
    };
    const Case cases[] = {
        {"clean", 0, 0, 0, 0, 1, true, 2 * NS_PER_MS, 20000, 58.5, 30000, 1000},
        {"jitter 2 ms, bias, delay", 2 * NS_PER_MS, 30 * NS_PER_MS, 60 * NS_PER_MS, 0, 0, true,
         2 * NS_PER_MS, 20000, 58.5, 700000, 500000},
        {"glitches 0.01/s", NS_PER_MS / 2, 0, 0, 0.01, 1, true, 15 * NS_PER_MS, 20000, 50, 300000,
         300000},
        // Changes counted at a wake while their stamps are still on the way:
        // the replay waits for them (the samples carry the stamps' lateness).
        {"stamps 8 ms late", 0, 0, 0, 0, 1, true, 150 * NS_PER_MS, 8 * NS_PER_MS, 58.5, 8020000, 1000},
        {"stamps 180 ms late", 0, 0, 0, 0, 1, true, 20 * NS_PER_MS, 180 * NS_PER_MS, 58.5, 180020000, 1000},
        {"I/O port on the tick", 0, 0, 0, 0, 1, false, 0, 20000, 58.5, 11 * NS_PER_MS, 7 * NS_PER_MS},
    };
    for (const Case& c : cases) {
        SimDaemonOptions o = DefaultSimDaemonOptions();
        o.Line.JitterNs = c.JitterNs;
        o.Line.BiasNs = c.BiasNs;
        o.Line.DelayNs = c.DelayNs;
        o.DelaySettingNs = c.DelayNs;
        o.Line.GlitchesPerSecond = c.Glitches;
        o.Line.Level = c.Level;
        o.EdgesStamped = c.Stamped;
        o.TickLateMaxNs = c.TickLateNs;
        o.StampLatencyNs = c.StampLateNs;
        o.ClockBehindNs = 3400000;
        o.ClockPpm = 40;
        o.DurationNs = 12 * 60 * NS_PER_S - 2500 * NS_PER_MS;  // ends at second 59.5 of a minute
        const SimDaemonResult r = RunSimDaemon(o);
        ASSERT_GT(r.FirstAcceptedNs, 0) << c.Name;
        EXPECT_EQ(r.WrongSeconds, 0u) << c.Name;
        // Every minute after the first accepted one is accepted on a clean
        // line; with glitches some fail their parity and give none.
        const double minutes = double(o.StartNs + o.DurationNs - r.FirstAcceptedNs) / 60e9;
        EXPECT_GE(double(r.MinutesAccepted), (c.Glitches > 0 ? 0.7 : 1) * minutes - 1) << c.Name;
        EXPECT_GE(double(r.Samples.size()) / double(r.MinutesAccepted), c.MinPerMinute) << c.Name;
        double sum = 0, squares = 0;
        for (const SimSample& s : r.Samples)
            sum += double(s.ErrorNs);
        const double mean = sum / double(r.Samples.size());
        for (const SimSample& s : r.Samples)
            squares += (double(s.ErrorNs) - mean) * (double(s.ErrorNs) - mean);
        EXPECT_LE(std::fabs(mean), double(c.MaxMeanNs)) << c.Name;
        EXPECT_LE(std::sqrt(squares / double(r.Samples.size())), double(c.MaxSdNs)) << c.Name;
        EXPECT_EQ(r.Status.front(), START_TIP) << c.Name;
        EXPECT_EQ(r.Status.back().substr(0, 18), "MSF status: good. ") << c.Name;
    }
}

// Direct mode sets the clock at each accepted minute, as of its marker's
// edge; chrony mode never sets it and sends nothing in direct mode.
TEST(VarneldSimulated, DirectModeSetsTheClockAtTheEdge)
{
    for (const bool stamped : {true, false}) {
        SimDaemonOptions o = DefaultSimDaemonOptions();
        o.Mode = MODE_DIRECT;
        o.UTCFlag = 0;  // UK civil time: in December the same as UTC
        o.EdgesStamped = stamped;
        o.Line.DelayNs = 40 * NS_PER_MS;
        o.DelaySettingNs = 40 * NS_PER_MS;
        o.ClockBehindNs = 20 * NS_PER_MS;
        const SimDaemonResult r = RunSimDaemon(o);
        EXPECT_TRUE(r.Samples.empty());
        ASSERT_GE(r.ClockErrorsNs.size(), 8u);  // two calls a minute, as SetClockTwice makes
        for (int64_t e : r.ClockErrorsNs)
            EXPECT_LE(std::llabs(e), stamped ? 100000 : 11 * NS_PER_MS) << e;
        EXPECT_NE(r.Status.back().find("(UTC)"), std::string::npos);
    }
}

}  // namespace
