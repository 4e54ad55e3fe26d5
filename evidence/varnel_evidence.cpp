// varnel-evidence: seeded simulations of Varnel's reception chain that print
// the tables behind docs/EVIDENCE.md (first confirmation against start second,
// confirmations and wrong confirmations against each impairment, the soak,
// the clock guard on a receiver that confirms a minute only now and then).
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "simulate.h"

static const char HelpText[] =
    "usage: varnel-evidence COMMAND [options]\n"
    "\n"
    "Commands:\n"
    "  first-confirm  time from start to the first confirmed minute for each start\n"
    "                 second 0..59 (clean signal unless options add impairments)\n"
    "  sweep          confirmed and wrong minutes per hour, and what the clock\n"
    "                 settings did with no guard, with Varnel's clock guard and\n"
    "                 with the rule first proposed, for each value of one\n"
    "                 impairment (--param NAME --values V1,V2,...)\n"
    "  soak           one long run of the ordinary receiver (below)\n"
    "  trace          the simulated clock's error every minute, with no guard and\n"
    "                 with the guard (defaults: 24 hours of a noisier receiver)\n"
    "  guard          the soak's receiver confirming one minute in about MIN\n"
    "                 (--confirm-every MIN; the others' time codes fail their\n"
    "                 parity), on a computer whose count and clock run --ppm P off\n"
    "                 true time; one line with no guard, one with the guard\n"
    "  speed          simulated samples per second of this machine\n"
    "\n"
    "Options (defaults: a clean line and a computer that is never late):\n"
    "  --seed N          base seed (1)\n"
    "  --hours H         simulated hours per point (sweep 100, soak 1000)\n"
    "  --trials N        runs per start second for first-confirm (20)\n"
    "  --ordinary        start from the ordinary receiver (soak and trace always do)\n"
    "  --level 0|1       line level while the carrier is on (1)\n"
    "  --flip P          per-sample flip probability, percent (0)\n"
    "  --glitch G        glitches per second, each 2..40 ms (0)\n"
    "  --jitter MS       each edge moves uniformly within +-MS (0)\n"
    "  --delay MS        receiver delay of every carrier-off edge (0)\n"
    "  --width MS        pulse-width bias: carrier-on edges MS later still (0)\n"
    "  --period MS       timer period on the computer's crystal (20)\n"
    "  --outages N       signal losses per hour, 15..45 s of static each (0)\n"
    "  --repeat-second MS      noise at MS into every second (off)\n"
    "  --repeat-second-width MS, --repeat-second-ppm P  its width (20) and how\n"
    "                    fast its source runs against the signal (0: same place)\n"
    "  --repeat-minute S       noise at S seconds into every minute (off)\n"
    "  --repeat-minute-width MS, --repeat-minute-ppm P  the same (20, 0)\n"
    "  --stalls N        timer stalls per hour, 50..500 ms each; the ticks due\n"
    "                    meanwhile run at once when it ends (0)\n"
    "  --late P          percent of confirmed minutes handled late (0)\n"
    "  --late-max MS     ... by up to this much, uniformly (500)\n"
    "  --param NAME      flip, glitch, jitter, delay, width, period, repeat-second,\n"
    "                    repeat-minute, stalls or late (sweep)\n"
    "  --values LIST     comma-separated values of that parameter (sweep)\n"
    "  --drift PPM       the computer's crystal (clock, monotonic count, timer)\n"
    "                    runs this much fast (20)\n"
    "  --clock-start MS  that clock's error when the run starts (1500)\n"
    "  --histogram FILE  soak: write the setting errors, before and after, as a\n"
    "                    histogram of 10 ms bins\n"
    "  --confirm-every MIN  guard: a minute keeps its time code, and the one before\n"
    "                    it too, with chance 1/MIN; the others are spoiled (1)\n"
    "  --ppm P           guard: the same as --drift (20)\n"
    "The ordinary receiver: --flip 0.05 --glitch 0.02 --jitter 10 --delay 60\n"
    "--width 20 --outages 1, noise every second (10 ms, 100 ppm) and every minute\n"
    "(20 ms, -30 ppm) at seeded places, --stalls 1 --late 2. The soak's exit status\n"
    "is 1 when any clock setting made through Varnel's clock guard was wrong or\n"
    "more than 50 ms from the minute edge as the receiver delivers it, or the guard\n"
    "left the clock's 99th percentile error worse than no guard did.\n"
    "Guard: the ordinary receiver and --hours 200; exit status 1 when the guard\n"
    "sets a wrong or off minute, sets fewer than 90 % of the genuine confirmed\n"
    "minutes after its first setting, sets first later than the second genuine\n"
    "one, or leaves a 99th percentile clock error over 10 % above no guard's.\n"
    "Every run starts at a seeded instant between 2026 and 2036, in UK civil\n"
    "time mode, with a seeded timer phase; tables are plain text, one row per\n"
    "point, '#' for comments.\n";

namespace {

// A place of repeating noise that the seed draws.
constexpr double SEEDED = -2;

struct Settings {
    uint64_t Seed = 1;
    double Hours = -1;
    int Trials = 20;
    int Level = 1;
    double Flip = 0, Glitch = 0, Jitter = 0, Delay = 0, Period = 20, Outages = 0;
    double Width = 0;
    // Places: ms into the second, s into the minute; negative: none.
    double SecondPlace = -1, SecondWidth = 20, SecondPpm = 0;
    double MinutePlace = -1, MinuteWidth = 20, MinutePpm = 0;
    double Stalls = 0, Late = 0, LateMax = 500;
    double ConfirmEvery = 1;
    ClockOptions Clock = DefaultClockOptions();
    std::string Histogram;
    std::string Param;
    std::vector<double> Values;
    std::set<std::string> Given;  // options named on the command line
};

// The ordinary receiver on an ordinary computer, for what the command line
// leaves unsaid. Why each value, see the report.
void Ordinary(Settings& s)
{
    auto use = [&s](const char* option, double& field, double value) {
        if (!s.Given.count(option))
            field = value;
    };
    use("--flip", s.Flip, 0.05);
    use("--glitch", s.Glitch, 0.02);
    use("--jitter", s.Jitter, 10);
    use("--delay", s.Delay, 60);
    use("--width", s.Width, 20);
    use("--outages", s.Outages, 1);
    use("--repeat-second", s.SecondPlace, SEEDED);
    use("--repeat-second-width", s.SecondWidth, 10);
    use("--repeat-second-ppm", s.SecondPpm, 100);
    use("--repeat-minute", s.MinutePlace, SEEDED);
    use("--repeat-minute-width", s.MinuteWidth, 20);
    use("--repeat-minute-ppm", s.MinutePpm, -30);
    use("--stalls", s.Stalls, 1);
    use("--late", s.Late, 2);
}

[[noreturn]] void Usage(const char* problem)
{
    std::fprintf(stderr, "varnel-evidence: %s (try --help)\n", problem);
    std::exit(2);
}

double Number(const char* text)
{
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    if (end == text || *end != '\0')
        Usage("not a number");
    return v;
}

LineOptions LineFrom(const Settings& s, uint64_t seed)
{
    LineOptions o = DefaultLineOptions();
    // A seeded start between 2026 and 2036, at any millisecond.
    uint64_t state = seed * 0x9E3779B97F4A7C15ull + 17;
    const int64_t from = SynthUtcMs(2026, 1, 1, 0, 0, 0);
    const int64_t span = SynthUtcMs(2036, 1, 1, 0, 0, 0) - from;
    o.StartUtcMs = from + int64_t(SynthNextRandom(state) % uint64_t(span));
    o.Seed = seed;
    o.Level = uint8_t(s.Level);
    o.FlipProbability = s.Flip / 100.0;
    o.GlitchesPerSecond = s.Glitch;
    o.JitterNs = int64_t(std::llround(s.Jitter * 1e6));
    o.DelayNs = int64_t(std::llround(s.Delay * 1e6));
    o.WidthBiasNs = int64_t(std::llround(s.Width * 1e6));
    o.PeriodNs = int64_t(std::llround(s.Period * 1e6));
    o.OutagesPerHour = s.Outages;
    const auto place = [&state](double value, double unitNs, int64_t periodNs) {
        return value == SEEDED ? int64_t(SynthNextRandom(state) % uint64_t(periodNs))
                               : int64_t(std::llround(value * unitNs)) % periodNs;
    };
    if (s.SecondPlace >= 0 || s.SecondPlace == SEEDED)
        o.EverySecond = RepeatingNoise{o.EverySecond.PeriodNs, place(s.SecondPlace, 1e6, o.EverySecond.PeriodNs),
                                       int64_t(std::llround(s.SecondWidth * 1e6)), s.SecondPpm};
    if (s.MinutePlace >= 0 || s.MinutePlace == SEEDED)
        o.EveryMinute = RepeatingNoise{o.EveryMinute.PeriodNs, place(s.MinutePlace, 1e9, o.EveryMinute.PeriodNs),
                                       int64_t(std::llround(s.MinuteWidth * 1e6)), s.MinutePpm};
    o.KeptPairs = 1 / s.ConfirmEvery;
    return o;
}

ClockOptions ClockFrom(const Settings& s)
{
    ClockOptions c = s.Clock;
    c.StallsPerHour = s.Stalls;
    c.LateChance = s.Late / 100.0;
    c.LateMaxNs = int64_t(std::llround(s.LateMax * 1e6));
    return c;
}

// "seeded", "at 250 ms" or "none".
std::string Place(double value, const char* unit)
{
    if (value == SEEDED)
        return "at a seeded place";
    if (value < 0)
        return "none";
    char text[64];
    std::snprintf(text, sizeof text, "at %g %s", value, unit);
    return text;
}

void PrintConditions(const Settings& s)
{
    std::printf("# seed %" PRIu64 ", level %d, flip %g %%, glitches %g/s, jitter +-%g ms, "
                "delay %g ms, pulse-width bias %+g ms, period %g ms, outages %g/h\n",
                s.Seed, s.Level, s.Flip, s.Glitch, s.Jitter, s.Delay, s.Width, s.Period, s.Outages);
    std::printf("# repeating noise: every second %s", Place(s.SecondPlace, "ms").c_str());
    if (s.SecondPlace >= 0 || s.SecondPlace == SEEDED)
        std::printf(" (%g ms wide, %+g ppm)", s.SecondWidth, s.SecondPpm);
    std::printf(", every minute %s", Place(s.MinutePlace, "s").c_str());
    if (s.MinutePlace >= 0 || s.MinutePlace == SEEDED)
        std::printf(" (%g ms wide, %+g ppm)", s.MinuteWidth, s.MinutePpm);
    std::printf("\n");
    std::printf("# simulated computer: clock, monotonic count and timer %g ppm fast, the clock "
                "%g ms ahead at the start; timer stalls %g/h (50..500 ms, late ticks run at "
                "once); %g %% of confirmed minutes handled late (up to %g ms)\n",
                s.Clock.DriftPpm, double(s.Clock.StartErrorNs) / 1e6, s.Stalls, s.Late, s.LateMax);
}

int FirstConfirm(const Settings& s)
{
    PrintConditions(s);
    std::printf("# %d runs per start second, each at a seeded date and millisecond within\n"
                "# that second; time in seconds from the first sample to the first\n"
                "# confirmed minute (the WM_TIMECODE with ST_TIME_VALID); 'wrong' counts\n"
                "# first confirmations that differ from the true minute\n",
                s.Trials);
    std::printf("# start_second mean_s min_s max_s unconfirmed wrong\n");
    for (int second = 0; second < 60; ++second) {
        double sum = 0, lo = 1e9, hi = 0;
        int done = 0, wrong = 0;
        for (int t = 0; t < s.Trials; ++t) {
            const uint64_t seed = s.Seed * 1000003 + uint64_t(second) * 1000 + uint64_t(t);
            LineOptions o = LineFrom(s, seed);
            // Move the start into the wanted second, keeping its millisecond.
            const int64_t minuteStart = SynthFloorDiv(o.StartUtcMs, 60000) * 60000;
            o.StartUtcMs = minuteStart + second * 1000 + o.StartUtcMs % 1000;
            const RunResult r = RunDecoder(o, int64_t(15) * 60 * 1000000000, true, ClockFrom(s));
            if (r.FirstConfirmNs < 0)
                continue;
            const double secs = double(r.FirstConfirmNs) / 1e9;
            sum += secs;
            lo = secs < lo ? secs : lo;
            hi = secs > hi ? secs : hi;
            ++done;
            wrong += int(r.Wrong);
        }
        std::printf("%d %.2f %.2f %.2f %d %d\n", second, done ? sum / done : 0.0, done ? lo : 0.0,
                    hi, s.Trials - done, wrong);
        std::fflush(stdout);
    }
    return 0;
}

// Per side: settings per hour, held minutes, settings off (over 50 ms from the
// delivered edge), wrong settings, the worst setting from the delivered edge
// and from the true edge (signed), the clock's error against true time
// (signed mean, mean and 99th percentile of its magnitude) and how late the
// settings leave it (mean and 95th percentile, signed).
const char* const SideColumns[] = {"settings_per_hour", "held", "off", "wrong_settings",
                                   "worst_delivered_ms", "worst_true_ms", "clock_mean_ms",
                                   "clock_abs_mean_ms", "clock_abs_p99_ms", "set_late_mean_ms",
                                   "set_late_p95_ms"};

void PrintRunHeader()
{
    std::printf("# value hours confirmed confirmed_per_hour wrong wrong_per_hour "
                "late_mean_ms late_min_ms late_max_ms early seconds stalls late_handled");
    for (const char* side : {"before", "after", "proposed"})
        for (const char* column : SideColumns)
            std::printf(" %s:%s", side, column);
    std::printf(" before:settled_p99_ms after:settled_p99_ms proposed:settled_p99_ms\n");
}

// Magnitudes of values[from..].
std::vector<int64_t> Magnitudes(const std::vector<int64_t>& values, size_t from)
{
    std::vector<int64_t> out;
    for (size_t i = from; i < values.size(); ++i)
        out.push_back(values[i] < 0 ? -values[i] : values[i]);
    return out;
}

// The minute from which the clock's error counts as settled: that of the second
// genuine confirmed minute (SIZE_MAX: none came).
size_t SettledFrom(const RunResult& r)
{
    return r.SecondGenuineNs < 0 ? SIZE_MAX : size_t(r.SecondGenuineNs / 60000000000 + 1);
}

// The 99th percentile of the clock's error from then on, in us.
double SettledP99(const RunResult& r, const ClockResult& c)
{
    return Percentile(Magnitudes(c.ClockErrorUs, SettledFrom(r)), 99);
}

void PrintClockColumns(const ClockResult& c, double hours, double delayMs)
{
    std::vector<int64_t> late;
    double lateSum = 0;
    for (int64_t e : c.ErrorsUs) {
        late.push_back(-e);
        lateSum += double(-e);
    }
    const ErrorSummary clock = SummarizeErrors(c.ClockErrorUs);
    std::printf(" %.3f %u %u %u %.1f %.1f %.1f %.1f %.1f %.1f %.1f", c.Settings / hours, c.Held,
                c.Off, c.Wrong,
                double(WorstSettingUs(c.ErrorsUs, int64_t(std::llround(delayMs * 1000)))) / 1000.0,
                double(WorstSettingUs(c.ErrorsUs, 0)) / 1000.0, clock.SignedMeanMs,
                clock.MagnitudeMeanMs, clock.MagnitudeP99Ms,
                late.empty() ? 0.0 : lateSum / double(late.size()) / 1000.0,
                Percentile(late, 95) / 1000.0);
}

const char ClockLegend[] =
    "# before: every confirmed minute sets the simulated clock; after: Varnel's clock\n"
    "#   guard; proposed: the simpler rule first proposed (10 min, 50 ms, one minute)\n"
    "# off: settings of the true minute over 50 ms from its edge as the receiver\n"
    "#   delivers it (the true edge plus the receiver's delay); worst_delivered: the\n"
    "#   setting furthest from that edge, worst_true: from the true edge (signed:\n"
    "#   positive, the clock set ahead); wrong_settings: settings to a wrong minute\n"
    "# clock: the simulated clock minus true time, sampled every minute: clock_mean\n"
    "#   signed, clock_abs_mean and clock_abs_p99 of its magnitude\n"
    "# set_late: how far behind true time each correct setting put the clock (signed)\n"
    "# stalls: timer stalls; late_handled: confirmed minutes handled late\n"
    "# settled_p99: the clock's 99th percentile error (magnitude) from the second\n"
    "#   genuine (correct) confirmed minute to the end, when every side must have set it\n";

void PrintFields(const char* label, const TimeFields& f)
{
    std::printf(" %s %02u-%02u-%02u dow %u %02u:%02u", label, f.Year, f.Month, f.Day, f.DayOfWeek,
                f.Hour, f.Minute);
}

void PrintRunRow(double value, const RunResult& r, double seconds, double delayMs)
{
    const uint32_t right = r.Confirmed - r.Wrong;
    std::printf("%g %.1f %u %.3f %u %.4f %.1f %.1f %.1f %u %.1f %u %u", value, r.Hours, r.Confirmed,
                r.Confirmed / r.Hours, r.Wrong, r.Wrong / r.Hours,
                right ? double(r.LateSumNs) / right / 1e6 : 0.0, double(r.LateMinNs) / 1e6,
                double(r.LateMaxNs) / 1e6, r.Early, seconds, r.Stalls, r.LateMessages);
    PrintClockColumns(r.Before, r.Hours, delayMs);
    PrintClockColumns(r.After, r.Hours, delayMs);
    PrintClockColumns(r.Proposed, r.Hours, delayMs);
    for (const ClockResult* c : {&r.Before, &r.After, &r.Proposed})
        std::printf(" %.1f", SettledP99(r, *c) / 1000.0);
    std::printf("\n");
    for (uint32_t i = 0; i < r.Wrong && i < KEPT_WRONG; ++i) {
        const WrongConfirmation& w = r.Wrongs[i];
        const int64_t ms = SynthFloorDiv(w.PostUtcNs, 1000000);
        int64_t y;
        unsigned mo, d;
        SynthCivilFromDays(SynthFloorDiv(ms, 86400000), &y, &mo, &d);
        const int64_t inDay = ms - SynthFloorDiv(ms, 86400000) * 86400000;
        std::printf("#   wrong at %04lld-%02u-%02u %02lld:%02lld:%06.3f UTC:", (long long)y, mo, d,
                    (long long)(inDay / 3600000), (long long)(inDay / 60000 % 60),
                    double(inDay % 60000) / 1000.0);
        PrintFields("set", w.Got);
        PrintFields("true (UK civil)", w.Truth);
        std::printf("\n");
    }
    std::fflush(stdout);
}

RunResult TimedRun(const Settings& s, double* seconds, bool trace = false)
{
    const auto t0 = std::chrono::steady_clock::now();
    const RunResult r = RunDecoder(LineFrom(s, s.Seed), int64_t(s.Hours * 3.6e12), false, ClockFrom(s), trace);
    *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return r;
}

int Sweep(Settings s)
{
    if (s.Values.empty())
        Usage("sweep needs --values");
    if (s.Given.count("--ordinary"))
        Ordinary(s);
    double* target = s.Param == "flip"            ? &s.Flip
                     : s.Param == "glitch"        ? &s.Glitch
                     : s.Param == "jitter"        ? &s.Jitter
                     : s.Param == "delay"         ? &s.Delay
                     : s.Param == "width"         ? &s.Width
                     : s.Param == "period"        ? &s.Period
                     : s.Param == "repeat-second" ? &s.SecondPlace
                     : s.Param == "repeat-minute" ? &s.MinutePlace
                     : s.Param == "stalls"        ? &s.Stalls
                     : s.Param == "late"          ? &s.Late
                                                  : nullptr;
    if (!target)
        Usage("--param must be flip, glitch, jitter, delay, width, period, repeat-second, "
              "repeat-minute, stalls or late");
    // A swept place stays there: its source locked to the signal, unless asked.
    if (s.Param == "repeat-second" && !s.Given.count("--repeat-second-ppm"))
        s.SecondPpm = 0;
    if (s.Param == "repeat-minute" && !s.Given.count("--repeat-minute-ppm"))
        s.MinutePpm = 0;
    if (s.Hours < 0)
        s.Hours = 100;
    std::printf("# sweep of %s; every point %g simulated hours from the same seeded start\n",
                s.Param.c_str(), s.Hours);
    PrintConditions(s);
    std::printf("# (the swept value replaces the %s above)\n"
                "# wrong: a confirmed minute whose fields differ from the true minute\n"
                "# late: how long after the true minute edge a correct confirmation was posted\n"
                "# early: correct confirmations posted over 50 ms before the true minute edge\n"
                "%s",
                s.Param.c_str(), ClockLegend);
    PrintRunHeader();
    for (double v : s.Values) {
        *target = v;
        double seconds = 0;
        const RunResult r = TimedRun(s, &seconds);
        PrintRunRow(v, r, seconds, s.Delay);
    }
    return 0;
}

// Setting errors from the delivered edge in 10 ms bins, before and after:
// "bin_ms before after", the bin's lower end.
bool WriteHistogram(const std::string& path, const RunResult& r, double delayMs)
{
    FILE* out = std::fopen(path.c_str(), "w");
    if (!out)
        return false;
    std::map<int, uint32_t> bins[2];
    const ClockResult* sides[2] = {&r.Before, &r.After};
    for (int i = 0; i < 2; ++i)
        for (int64_t e : sides[i]->ErrorsUs)
            ++bins[i][int(std::floor((e / 1000.0 + delayMs) / 10.0)) * 10];
    int lo = 0, hi = 0;
    for (auto& b : bins)
        if (!b.empty()) {
            lo = std::min(lo, b.begin()->first);
            hi = std::max(hi, b.rbegin()->first);
        }
    std::fprintf(out, "# setting error from the minute edge as the receiver delivers it, 10 ms bins\n"
                      "# (correct minutes only; wrong settings: before %u, after %u)\n"
                      "# bin_ms before after\n", r.Before.Wrong, r.After.Wrong);
    for (int b = lo; b <= hi; b += 10)
        std::fprintf(out, "%d %u %u\n", b, bins[0].count(b) ? bins[0][b] : 0u,
                     bins[1].count(b) ? bins[1][b] : 0u);
    return std::fclose(out) == 0;
}

int Soak(Settings s)
{
    if (s.Hours < 0)
        s.Hours = 1000;
    Ordinary(s);
    std::printf("# soak: %g simulated hours in one run\n", s.Hours);
    PrintConditions(s);
    std::printf("%s", ClockLegend);
    PrintRunHeader();
    double seconds = 0;
    const RunResult r = TimedRun(s, &seconds);
    PrintRunRow(s.Hours, r, seconds, s.Delay);
    if (!s.Histogram.empty() && !WriteHistogram(s.Histogram, r, s.Delay))
        Usage("cannot write the histogram file");
    return r.After.Wrong == 0 && r.After.Off == 0 && SettledP99(r, r.After) <= SettledP99(r, r.Before) ? 0 : 1;
}

// The guard on sparse reception: each side's line and the pass rule.
int Guard(Settings s)
{
    if (s.Hours < 0)
        s.Hours = 200;
    if (s.ConfirmEvery < 1)
        Usage("--confirm-every must be 1 or more");
    Ordinary(s);
    std::printf("# guard: %g simulated hours of the soak's receiver; a minute keeps its time\n"
                "# code, and the one before it too, with chance 1/%g; the others fail their\n"
                "# parity, so a minute is confirmed about once in %g minutes\n",
                s.Hours, s.ConfirmEvery, s.ConfirmEvery);
    PrintConditions(s);
    double seconds = 0;
    const RunResult r = TimedRun(s, &seconds);
    const uint32_t genuine = r.Confirmed - r.Wrong;
    // The clock's error from the second genuine confirmed minute on: by then
    // both sides must have set the clock.
    const size_t from = SettledFrom(r);
    std::printf("# genuine: confirmed minutes whose fields are the true minute (%.1f a day, one\n"
                "#   in %.0f minutes); off: settings over 50 ms from the delivered edge\n"
                "# first_setting_min: minutes from the start to the first setting\n"
                "# clock_p50_ms, clock_p99_ms: |clock - true time| each minute from minute %s\n"
                "#   (that of the second genuine confirmed minute) to the end\n"
                "# side genuine settings held wrong off first_setting_min clock_p50_ms clock_p99_ms\n",
                genuine / r.Hours * 24, genuine ? r.Hours * 60 / genuine : 0.0,
                from == SIZE_MAX ? "(none)" : std::to_string(from).c_str());
    double p99[2] = {0, 0};
    const ClockResult* sides[2] = {&r.Before, &r.After};
    for (int i = 0; i < 2; ++i) {
        const ClockResult& c = *sides[i];
        const std::vector<int64_t> errors = Magnitudes(c.ClockErrorUs, from);
        p99[i] = Percentile(errors, 99) / 1000.0;
        std::printf("%-8s %u %u %u %u %u %.1f %.1f %.1f\n", i ? "guard" : "no-guard", genuine,
                    c.Settings, c.Held, c.Wrong, c.Off,
                    c.FirstSettingNs < 0 ? -1.0 : double(c.FirstSettingNs) / 60e9,
                    Percentile(errors, 50) / 1000.0, p99[i]);
    }
    const ClockResult& g = r.After;
    std::string failures;
    if (r.SecondGenuineNs < 0)
        failures += " fewer than two genuine confirmed minutes;";
    if (g.Wrong != 0 || g.Off != 0)
        failures += " wrong or off settings;";
    if (g.FirstSettingNs < 0 || g.FirstSettingNs > r.SecondGenuineNs)
        failures += " first setting after the second genuine confirmed minute;";
    if (g.Settings > 0 && double(g.Settings - 1) < 0.9 * g.GenuineAfterFirst)
        failures += " under 90 % of the genuine minutes after the first setting set;";
    if (p99[1] > 1.1 * p99[0])
        failures += " p99 clock error over 10 % above no guard's;";
    std::printf("# guard: %s\n", failures.empty() ? "pass" : ("FAIL:" + failures).c_str());
    return failures.empty() ? 0 : 1;
}

// The noisy day: the clock's error every simulated minute, before and after,
// of the ordinary receiver with more flips and glitches.
int Trace(Settings s)
{
    if (s.Hours < 0)
        s.Hours = 24;
    if (!s.Given.count("--flip"))
        s.Flip = 0.1;
    if (!s.Given.count("--glitch"))
        s.Glitch = 0.05;
    s.Given.insert({"--flip", "--glitch"});
    Ordinary(s);
    std::printf("# trace: the simulated clock's error every minute of %g simulated hours\n", s.Hours);
    PrintConditions(s);
    double seconds = 0;
    const RunResult r = TimedRun(s, &seconds, true);
    std::printf("# %u confirmed minutes, %u wrong; before: %u settings, %u off, %u wrong; "
                "after: %u settings, %u held, %u off, %u wrong\n",
                r.Confirmed, r.Wrong, r.Before.Settings, r.Before.Off, r.Before.Wrong,
                r.After.Settings, r.After.Held, r.After.Off, r.After.Wrong);
    std::printf("# hours before_ms after_ms (the clock minus true time, signed)\n");
    for (size_t i = 0; i < r.Before.TraceMs.size(); ++i)
        std::printf("%.4f %lld %lld\n", double(i) / 60.0, (long long)r.Before.TraceMs[i],
                    (long long)r.After.TraceMs[i]);
    return 0;
}

int Speed(Settings s)
{
    s.Hours = s.Hours < 0 ? 2 : s.Hours;
    s.Flip = 1;
    s.Glitch = 0.2;
    s.Jitter = 10;
    double seconds = 0;
    const RunResult r = TimedRun(s, &seconds);
    std::printf("# samples seconds samples_per_second simulated_hours_per_second\n");
    std::printf("%" PRIu64 " %.3f %.0f %.1f\n", r.Samples, seconds, double(r.Samples) / seconds,
                r.Hours / seconds);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        Usage("missing command");
    const std::string command = argv[1];
    if (command == "--help" || command == "-h") {
        std::fputs(HelpText, stdout);
        return 0;
    }
    Settings s;
    for (int i = 2; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--help" || name == "-h") {
            std::fputs(HelpText, stdout);
            return 0;
        }
        s.Given.insert(name);
        if (name == "--ordinary")
            continue;
        if (i + 1 >= argc)
            Usage("option without a value");
        const char* value = argv[++i];
        if (name == "--seed")
            s.Seed = uint64_t(Number(value));
        else if (name == "--hours")
            s.Hours = Number(value);
        else if (name == "--trials")
            s.Trials = int(Number(value));
        else if (name == "--level")
            s.Level = int(Number(value)) ? 1 : 0;
        else if (name == "--flip")
            s.Flip = Number(value);
        else if (name == "--glitch")
            s.Glitch = Number(value);
        else if (name == "--jitter")
            s.Jitter = Number(value);
        else if (name == "--delay")
            s.Delay = Number(value);
        else if (name == "--period")
            s.Period = Number(value);
        else if (name == "--outages")
            s.Outages = Number(value);
        else if (name == "--drift" || name == "--ppm")
            s.Clock.DriftPpm = Number(value);
        else if (name == "--confirm-every")
            s.ConfirmEvery = Number(value);
        else if (name == "--clock-start")
            s.Clock.StartErrorNs = int64_t(std::llround(Number(value) * 1e6));
        else if (name == "--histogram")
            s.Histogram = value;
        else if (name == "--param")
            s.Param = value;
        else if (name == "--width")
            s.Width = Number(value);
        else if (name == "--repeat-second")
            s.SecondPlace = Number(value);
        else if (name == "--repeat-second-width")
            s.SecondWidth = Number(value);
        else if (name == "--repeat-second-ppm")
            s.SecondPpm = Number(value);
        else if (name == "--repeat-minute")
            s.MinutePlace = Number(value);
        else if (name == "--repeat-minute-width")
            s.MinuteWidth = Number(value);
        else if (name == "--repeat-minute-ppm")
            s.MinutePpm = Number(value);
        else if (name == "--stalls")
            s.Stalls = Number(value);
        else if (name == "--late")
            s.Late = Number(value);
        else if (name == "--late-max")
            s.LateMax = Number(value);
        else if (name == "--values") {
            std::string list = value;
            size_t at = 0;
            while (at <= list.size()) {
                const size_t comma = list.find(',', at);
                const std::string item = list.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
                s.Values.push_back(Number(item.c_str()));
                if (comma == std::string::npos)
                    break;
                at = comma + 1;
            }
        } else
            Usage("unknown option");
    }
    if (s.Period <= 0)
        Usage("--period must be positive");
    if (command == "first-confirm")
        return FirstConfirm(s);
    if (command == "sweep")
        return Sweep(s);
    if (command == "soak")
        return Soak(s);
    if (command == "trace")
        return Trace(s);
    if (command == "speed")
        return Speed(s);
    if (command == "guard")
        return Guard(s);
    Usage("unknown command");
}
