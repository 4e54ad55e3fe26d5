// msf-synth: writes a synthesized MSF receiver sample stream to stdout as '0'
// and '1' characters, 50 to a line, for varnel-replay and for test data.
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "msf_synth.h"

static const char HelpText[] =
    "usage: msf-synth --start DATETIME [options] > samples\n"
    "\n"
    "Writes the line of an MSF 60 kHz receiver as it would be sampled, one\n"
    "character '0' or '1' per sample, 50 characters to a line. Nothing else goes\n"
    "to standard output except a leading 'U' or 'L' when asked for.\n"
    "\n"
    "  --start DATETIME    first instant of the stream (required):\n"
    "                      YYYY-MM-DDTHH:MM[:SS[.mmm]] is UK civil time (a time\n"
    "                      repeated in October is its BST one, a skipped one is\n"
    "                      read as GMT); a trailing Z means UTC\n"
    "  --duration D        length: seconds, or with suffix s, m or h (default 3m)\n"
    "  --offset-ms X       first sample X ms after the start, 0 <= X < 1000 (0)\n"
    "  --period-ms X       sample period in ms, any positive value (20)\n"
    "  --level 1|0         line level while the carrier is on (1); the carrier\n"
    "                      off gives the other level\n"
    "  --delay-ms X        receiver delay: the line follows the carrier X ms\n"
    "                      late, 0 <= X <= 60000 (0)\n"
    "  --noise P           chance 0..1 that any one sample is inverted (0)\n"
    "  --dropout-rate N    mean number of signal outages per hour (0: none)\n"
    "  --dropout-ms X      mean outage length in ms (2000); lengths are uniform\n"
    "                      in [X/2, 3X/2], quiet spans between outages uniform in\n"
    "                      [0, 2G] with G = 3600000/N - X\n"
    "  --dropout-line noise|on|off\n"
    "                      the line during an outage: a random level every\n"
    "                      sample, or stuck at the carrier-on or carrier-off\n"
    "                      level (noise)\n"
    "  --seed N            seed for noise and outages (1); equal seeds and options\n"
    "                      give equal streams on every platform\n"
    "  --flip XS@M         invert bit X (A or B) of second S (1..59) in stream\n"
    "                      minute M: minute 1 is the one in progress at the start,\n"
    "                      minute 2 begins at the first marker in the stream;\n"
    "                      repeatable, up to 16 times (e.g. --flip A45@2)\n"
    "  --dut1 N            DUT1 in tenths of a second, -8..8 (0)\n"
    "  --leap-second DATE  a positive leap second ends UTC day YYYY-MM-DD: its last\n"
    "                      minute lasts 61 s, the extra second (A = B = 0) after\n"
    "                      second 16\n"
    "  --utc               write 'U' first: the replay tool then runs in UTC mode\n"
    "  --local             write 'L' first: UK civil time mode\n"
    "  --verbose           describe the stream and every minute on stderr\n"
    "  --help              this text\n"
    "\n"
    "The time fields a minute sends give UK civil time at its next marker; B53\n"
    "(summer-time change soon) is set in the 61 minutes whose next markers lie\n"
    "in the hour up to and including the change.\n"
    "\n"
    "Example: msf-synth --start 2026-12-07T04:16:05Z --duration 3m | varnel-replay\n";

static const char* const DayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

[[noreturn]] static void Fail(const char* format, ...)
{
    std::fputs("msf-synth: ", stderr);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputs("\nTry 'msf-synth --help'.\n", stderr);
    std::exit(2);
}

static bool ParseDouble(const char* text, double* value)
{
    if (*text == '\0')
        return false;
    char* end;
    errno = 0;
    *value = std::strtod(text, &end);
    return *end == '\0' && errno == 0 && std::isfinite(*value);
}

static double NumberIn(const char* option, const char* text, double low, double high)
{
    double value;
    if (!ParseDouble(text, &value) || value < low || value > high)
        Fail("%s: expected a number from %g to %g, got '%s'", option, low, high, text);
    return value;
}

static int64_t MsToNs(double ms) { return int64_t(std::llround(ms * 1e6)); }

// Reads exactly n digits.
static bool Digits(const char*& p, int n, unsigned* value)
{
    *value = 0;
    for (int i = 0; i < n; ++i, ++p) {
        if (*p < '0' || *p > '9')
            return false;
        *value = *value * 10 + unsigned(*p - '0');
    }
    return true;
}

static unsigned MonthDays(int64_t year, unsigned month)
{
    return unsigned(SynthDaysFromCivil(month == 12 ? year + 1 : year, month == 12 ? 1 : month + 1, 1) -
                    SynthDaysFromCivil(year, month, 1));
}

static bool ParseDate(const char*& p, int64_t* year, unsigned* month, unsigned* day)
{
    unsigned y;
    if (!Digits(p, 4, &y) || *p++ != '-' || !Digits(p, 2, month) || *p++ != '-' ||
        !Digits(p, 2, day))
        return false;
    *year = y;
    return *month >= 1 && *month <= 12 && *day >= 1 && *day <= MonthDays(y, *month);
}

// YYYY-MM-DDTHH:MM[:SS[.mmm]][Z] to a UTC instant.
static int64_t ParseStart(const char* text)
{
    const char* p = text;
    int64_t year;
    unsigned month, day, hour, minute, second = 0, millis = 0;
    bool ok = ParseDate(p, &year, &month, &day) && (*p == 'T' || *p == 't' || *p == ' ') &&
              Digits(++p, 2, &hour) && *p++ == ':' && Digits(p, 2, &minute);
    if (ok && *p == ':') {
        ok = Digits(++p, 2, &second);
        if (ok && *p == '.') {
            ++p;
            unsigned scale = 100;
            for (; *p >= '0' && *p <= '9'; ++p, scale /= 10)
                millis += unsigned(*p - '0') * scale;  // digits past the third add 0
        }
    }
    const bool utc = ok && (*p == 'Z' || *p == 'z');
    if (utc)
        ++p;
    if (!ok || *p != '\0' || hour > 23 || minute > 59 || second > 59)
        Fail("--start: expected YYYY-MM-DDTHH:MM[:SS[.mmm]][Z], got '%s'", text);
    const int64_t whole = utc ? SynthUtcMs(year, month, day, hour, minute, second)
                              : SynthUtcFromUk(year, month, day, hour, minute, second);
    return whole + millis;
}

static double ParseDuration(const char* text)
{
    std::string number(text);
    double scale = 1;
    if (!number.empty()) {
        const char suffix = number.back();
        if (suffix == 's' || suffix == 'm' || suffix == 'h') {
            scale = suffix == 's' ? 1 : suffix == 'm' ? 60 : 3600;
            number.pop_back();
        }
    }
    double value;
    if (!ParseDouble(number.c_str(), &value) || value <= 0 || value * scale > 1e9)
        Fail("--duration: expected a positive length such as 180, 3m or 2h, got '%s'", text);
    return value * scale;
}

static SynthFlip ParseFlip(const char* text)
{
    const char* p = text;
    SynthFlip flip{};
    const char letter = *p++;
    unsigned second = 0, minute = 0;
    int digits = 0;
    for (; *p >= '0' && *p <= '9' && digits < 3; ++p, ++digits)
        second = second * 10 + unsigned(*p - '0');
    bool ok = (letter == 'A' || letter == 'a' || letter == 'B' || letter == 'b') && digits > 0 &&
              second >= 1 && second <= 59 && *p++ == '@';
    digits = 0;
    for (; ok && *p >= '0' && *p <= '9' && digits < 9; ++p, ++digits)
        minute = minute * 10 + unsigned(*p - '0');
    if (!ok || digits == 0 || *p != '\0' || minute < 1)
        Fail("--flip: expected A or B, a second 1..59, '@' and a minute from 1, "
             "such as A45@2, got '%s'",
             text);
    flip.BBit = letter == 'B' || letter == 'b';
    flip.Second = uint8_t(second);
    flip.Minute = minute;
    return flip;
}

static void PrintUtc(int64_t utcMs)
{
    const int64_t days = SynthFloorDiv(utcMs, 86400000);
    const int64_t ms = utcMs - days * 86400000;
    int64_t year;
    unsigned month, day;
    SynthCivilFromDays(days, &year, &month, &day);
    std::fprintf(stderr, "%04lld-%02u-%02u %02u:%02u:%02u.%03uZ", (long long)year, month, day,
                 unsigned(ms / 3600000), unsigned(ms / 60000 % 60), unsigned(ms / 1000 % 60),
                 unsigned(ms % 1000));
}

static void Describe(const SynthStream& s, char mode)
{
    const SynthStreamOptions& o = s.Options;
    std::fputs("msf-synth: start ", stderr);
    PrintUtc(o.StartUtcMs);
    std::fprintf(stderr,
                 ", %.3f s, %llu samples every %.6g ms from +%.6g ms, level %u, delay %.6g ms, "
                 "noise %g, outages %g/h of %.6g ms (%s), seed %llu, DUT1 %+d, mode %s\n",
                 double(o.DurationNs) / 1e9, (unsigned long long)s.Count,
                 double(o.PeriodNs) / 1e6, double(o.OffsetNs) / 1e6, unsigned(o.Level),
                 double(o.DelayNs) / 1e6, o.Noise, o.DropoutsPerHour,
                 double(o.DropoutMeanNs) / 1e6,
                 o.DropoutLine == DROPOUT_NOISE ? "noise" : o.DropoutLine == DROPOUT_ON ? "on" : "off",
                 (unsigned long long)o.Seed, int(o.Signal.Dut1Tenths),
                 mode == 'U' ? "UTC" : mode == 'L' ? "local" : "unset");

    // Every minute that has at least one sample.
    const int64_t lastUs = s.StartSignalUs + (o.OffsetNs + int64_t(s.Count ? s.Count - 1 : 0) * o.PeriodNs - o.DelayNs) / 1000;
    const uint32_t last = SynthStreamMinute(s, lastUs);
    for (uint32_t n = 1; n <= last; ++n) {
        const int64_t marker = SynthStreamMinuteMarker(s, n);
        const SynthTruth t = SynthMinuteTruth(o.Signal, marker);
        const SynthFields& f = t.Fields;
        std::fprintf(stderr, "msf-synth: minute %u from ", n);
        PrintUtc(marker);
        std::fprintf(stderr, " sends %s %02u-%02u-%02u %02u:%02u %s%s%s", DayNames[f.DayOfWeek],
                     f.Day, f.Month, f.Year, f.Hour, f.Minute, t.SummerTime ? "BST" : "GMT",
                     t.ChangeSoon ? ", change soon" : "", t.LeapMinute ? ", leap minute (61 s)" : "");
        for (unsigned i = 0; i < o.FlipCount; ++i) {
            if (o.Flips[i].Minute == n)
                std::fprintf(stderr, ", %c%u flipped", o.Flips[i].BBit ? 'B' : 'A', o.Flips[i].Second);
        }
        std::fputc('\n', stderr);
    }
}

int main(int argc, char** argv)
{
    SynthStreamOptions o = SynthDefaultStreamOptions();
    bool haveStart = false, verbose = false;
    char mode = 0;

    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        std::string value;
        bool inlineValue = false;
        const size_t eq = option.find('=');
        if (option.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            value = option.substr(eq + 1);
            option.resize(eq);
            inlineValue = true;
        }
        const auto flag = [&](const char* name) {
            if (option != name)
                return false;
            if (inlineValue)
                Fail("%s takes no value", name);
            return true;
        };
        const auto takes = [&](const char* name) {
            if (option != name)
                return false;
            if (!inlineValue) {
                if (i + 1 >= argc)
                    Fail("%s needs a value", name);
                value = argv[++i];
            }
            return true;
        };
        const char* v = nullptr;
        if (flag("--help") || flag("-h")) {
            std::fputs(HelpText, stdout);
            return 0;
        } else if (flag("--utc")) {
            mode = 'U';
        } else if (flag("--local")) {
            mode = 'L';
        } else if (flag("--verbose")) {
            verbose = true;
        } else if (takes("--start")) {
            o.StartUtcMs = ParseStart(value.c_str());
            haveStart = true;
        } else if (takes("--duration")) {
            o.DurationNs = MsToNs(ParseDuration(value.c_str()) * 1000);
        } else if (takes("--offset-ms")) {
            v = value.c_str();
            o.OffsetNs = MsToNs(NumberIn("--offset-ms", v, 0, 999.999999));
        } else if (takes("--period-ms")) {
            v = value.c_str();
            o.PeriodNs = MsToNs(NumberIn("--period-ms", v, 0, 1e6));
            if (o.PeriodNs <= 0)
                Fail("--period-ms: expected a positive period of at least 1 ns, got '%s'", v);
        } else if (takes("--level")) {
            if (value != "0" && value != "1")
                Fail("--level: expected 1 or 0, got '%s'", value.c_str());
            o.Level = uint8_t(value[0] - '0');
        } else if (takes("--delay-ms")) {
            o.DelayNs = MsToNs(NumberIn("--delay-ms", value.c_str(), 0, 60000));
        } else if (takes("--noise")) {
            o.Noise = NumberIn("--noise", value.c_str(), 0, 1);
        } else if (takes("--dropout-rate")) {
            o.DropoutsPerHour = NumberIn("--dropout-rate", value.c_str(), 0, 1e6);
        } else if (takes("--dropout-ms")) {
            o.DropoutMeanNs = MsToNs(NumberIn("--dropout-ms", value.c_str(), 1, 1e9));
        } else if (takes("--dropout-line")) {
            if (value == "noise")
                o.DropoutLine = DROPOUT_NOISE;
            else if (value == "on")
                o.DropoutLine = DROPOUT_ON;
            else if (value == "off")
                o.DropoutLine = DROPOUT_OFF;
            else
                Fail("--dropout-line: expected noise, on or off, got '%s'", value.c_str());
        } else if (takes("--seed")) {
            char* end;
            errno = 0;
            o.Seed = std::strtoull(value.c_str(), &end, 0);
            if (value.empty() || *end != '\0' || errno != 0 || value[0] == '-')
                Fail("--seed: expected an unsigned 64-bit number, got '%s'", value.c_str());
        } else if (takes("--flip")) {
            if (o.FlipCount >= SYNTH_MAX_FLIPS)
                Fail("--flip: at most %u flips", SYNTH_MAX_FLIPS);
            o.Flips[o.FlipCount++] = ParseFlip(value.c_str());
        } else if (takes("--dut1")) {
            const double dut1 = NumberIn("--dut1", value.c_str(), -8, 8);
            if (dut1 != std::floor(dut1))
                Fail("--dut1: expected a whole number of tenths from -8 to 8, got '%s'", value.c_str());
            o.Signal.Dut1Tenths = int8_t(dut1);
        } else if (takes("--leap-second")) {
            const char* p = value.c_str();
            int64_t year;
            unsigned month, day;
            if (!ParseDate(p, &year, &month, &day) || *p != '\0')
                Fail("--leap-second: expected a date YYYY-MM-DD, got '%s'", value.c_str());
            o.Signal.HasLeapSecond = true;
            o.Signal.LeapDay = SynthDaysFromCivil(year, month, day);
        } else {
            Fail("unknown option '%s'", argv[i]);
        }
    }
    if (!haveStart)
        Fail("--start is required, for example --start 2026-12-07T04:16:05Z");

    SynthStream stream;
    SynthStreamBegin(stream, o);
    if (verbose)
        Describe(stream, mode);

    std::vector<char> buffer;
    buffer.reserve(1 << 16);
    if (mode)
        buffer.push_back(mode);
    uint8_t sample;
    unsigned column = 0;
    while (SynthStreamNext(stream, &sample)) {
        buffer.push_back(char('0' + sample));
        if (++column == 50) {
            buffer.push_back('\n');
            column = 0;
        }
        if (buffer.size() >= (1 << 16) - 2) {
            std::fwrite(buffer.data(), 1, buffer.size(), stdout);
            buffer.clear();
        }
    }
    if (column != 0)
        buffer.push_back('\n');
    std::fwrite(buffer.data(), 1, buffer.size(), stdout);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "msf-synth: cannot write the stream: %s\n", std::strerror(errno));
        return 1;
    }
    return 0;
}
