// The monitor's main-thread half: the verdict on a minute, the texts of the
// per-second, minute and summary lines, the recording's header and trailer,
// the serial-port failure messages and the command line.
#include "monitor.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/config.h"
#include "resources/resource.h"
#include "tools/timecode_line.h"

const char MONITOR_HELP[] =
    "usage: varnel-monitor [--port PORT] [--bit N] [--record FILE] [--duration TIME]\n"
    "\n"
    "Shows second by second what Varnel's decoder makes of the receiver's signal,\n"
    "judges each minute, and records every sample for varnel-replay. It reads the\n"
    "input as Varnel does, on the same 20 ms timer, through the same decoder.\n"
    "\n"
    "  --port PORT      COM1 to COM9, or an I/O port address in hex (201, 379);\n"
    "                   default: Varnel's setting\n"
    "  --bit N          the input bit, 0 to 7 (serial port: 4 CTS, 5 DSR, 6 RI,\n"
    "                   7 DCD); default: Varnel's setting\n"
    "  --record FILE    write every sample to FILE, for varnel-replay\n"
    "  --duration TIME  stop after TIME: 90, 90s, 10m or 2h; default: at Ctrl-C\n"
    "  --help           this text\n"
    "\n"
    "A serial port can be open in one program only: close Varnel first.\n"
    "Exit codes: 0 ended normally, 2 bad options, 3 serial port not opened,\n"
    "4 InpOut32.dll not loaded, 5 InpOut32.dll without Inp32, 6 recording file\n"
    "not written, 7 timer not started.\n";

// ---- Verdict -----------------------------------------------------------------

Verdict JudgeMinute(const SummaryReport& s)
{
    if (s.NoPulse || s.Seconds == 0)
        return VERDICT_NO_PULSES;
    // The part of a minute before the first marker cannot be decoded whole:
    // only its seconds are judged.
    const bool secondsClean =
        s.Irregular <= GOOD_MAX_IRREGULAR && (s.FirstWindow || s.Regular >= GOOD_MIN_REGULAR);
    const bool decodeClean = s.FirstWindow || (s.MarkerSeen && s.DecodeClean);
    if (!secondsClean || !decodeClean)
        return VERDICT_NOISY;
    return s.Inverted ? VERDICT_INVERTED : VERDICT_GOOD;
}

const char* VerdictText(Verdict verdict)
{
    switch (verdict) {
    case VERDICT_GOOD:
        return "good signal";
    case VERDICT_NOISY:
        return "noisy: try turning the aerial";
    case VERDICT_NO_PULSES:
        return "no pulses: check wiring or bit";
    case VERDICT_INVERTED:
        return "inverted line: fine, learned";
    }
    return "";
}

// ---- Texts -------------------------------------------------------------------

// Appends formatted text to a fixed buffer; never writes past it.
struct TextBuffer {
    char* Out;
    size_t Size;
    size_t Used;
};

static void Append(TextBuffer& b, const char* format, ...) __attribute__((format(printf, 2, 3)));
static void Append(TextBuffer& b, const char* format, ...)
{
    if (b.Size == 0 || b.Used >= b.Size - 1)
        return;
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(b.Out + b.Used, b.Size - b.Used, format, args);
    va_end(args);
    if (n > 0)
        b.Used += size_t(n) < b.Size - b.Used ? size_t(n) : b.Size - b.Used - 1;
}

static const char* const DayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

static void AppendFields(TextBuffer& b, const TimeFields& f)
{
    Append(b, "%02u-%02u-%02u %s %02u:%02u", f.Year, f.Month, f.Day,
           f.DayOfWeek < 7 ? DayNames[f.DayOfWeek] : "???", f.Hour, f.Minute);
}

static char BitChar(uint8_t bit) { return bit == BIT_NOT_SAMPLED ? '-' : char('0' + (bit & 1)); }

static void Mark(ReportText* out, const TextBuffer& b, size_t from, LineTone tone)
{
    out->MarkFrom = from;
    out->MarkTo = b.Used;
    out->Tone = tone;
}

static void FormatSecond(const MonitorReport& r, TextBuffer& b, ReportText* out)
{
    const SecondReport& s = r.Second;
    char number[8] = "--";
    if (s.Number != NUMBER_UNKNOWN)
        std::snprintf(number, sizeof number, "%u", unsigned(s.Number));
    char runs[80];
    TextBuffer runText = {runs, sizeof runs, 0};
    runs[0] = '\0';
    for (uint32_t i = 0; i < s.RunCount && i < MAX_RUNS; ++i)
        Append(runText, "%s%lu", i ? "+" : "", (unsigned long)s.Runs[i] * 20ul);
    if (s.MoreRuns)
        Append(runText, "+...");
    Append(runText, " ms");
    const bool regular = s.LengthTicks >= REGULAR_MIN_TICKS && s.LengthTicks <= REGULAR_MAX_TICKS;
    Append(b, "second %3s  off %-22s A=%c B=%c  %5lu ms  ", number, runs, BitChar(s.A),
           BitChar(s.B), (unsigned long)s.LengthTicks * 20ul);
    const size_t from = b.Used;
    Append(b, "%s", regular ? "regular" : "irregular");
    if (!regular)
        Mark(out, b, from, TONE_WARN);
    Append(b, "\n");
}

static const char* const ParityNames[4] = {"year", "month+day", "weekday", "hour+minute"};

// Why Varnel's clock guard would set or hold a confirmed minute.
static void AppendGuardReason(TextBuffer& b, const MinuteReport& m)
{
    const GuardJudgement& j = m.Guard;
    switch (j.Verdict) {
    case GUARD_SET_FITS:
        Append(b, "it follows from the minute last used");
        return;
    case GUARD_SET_CLOCK_AGREES:
        Append(b, "the clock already agrees within %lld ms", (long long)GUARD_CLOCK_AGREES_MS);
        return;
    case GUARD_SET_AGREED:
        Append(b, "the minutes held before it agree");
        return;
    case GUARD_HOLD_NO_STAMP:
        Append(b, "the sampling tick did not time its marker");
        return;
    case GUARD_HOLD_UNSTEADY:
        Append(b, "the second starts before it were too unsteady to time it");
        return;
    case GUARD_HOLD_EARLY:
        Append(b, "its marker came %ld ms before its second's start", -(long)j.SetLateMs);
        return;
    case GUARD_HOLD_LATE:
        Append(b, "it was handled %ld ms after its second's start", (long)j.SetLateMs);
        return;
    case GUARD_HOLD_MOVED:
        Append(b, "it is %+lld s from where the minute last used puts it", (long long)j.MovedS);
        return;
    case GUARD_HOLD_UNPROVEN:
        Append(b, "the clock is %lld.%03lld s off, so minutes after it must agree",
               (long long)(m.ClockOffsetMs < 0 ? -m.ClockOffsetMs : m.ClockOffsetMs) / 1000,
               (long long)(m.ClockOffsetMs < 0 ? -m.ClockOffsetMs : m.ClockOffsetMs) % 1000);
        return;
    case GUARD_HOLD_WEEKDAY:
        Append(b, "its day of the week is not its date's");
        return;
    }
}

static void FormatMinute(const MonitorReport& r, TextBuffer& b, ReportText* out)
{
    const MinuteReport& m = r.Minute;
    const char* zone = m.UtcMode ? "UTC" : m.Summer ? "BST" : "GMT";
    Append(b, "minute marker: ");
    AppendFields(b, m.Fields);
    Append(b, " %s, ", zone);
    if (m.FirstReceived != ALL_RECEIVED)
        Append(b, "bits of seconds 1 to %u not received, ", unsigned(m.FirstReceived - 1));
    Append(b, "parity:");
    for (unsigned g = 0; g < 4; ++g) {
        const char* result = m.FirstReceived > PARITY_GROUP_FIRST_SECOND[g] ? "not received"
                             : (m.ParityPassed >> g & 1)                     ? "ok"
                                                                             : "FAILED";
        Append(b, "%s %s %s", g ? "," : "", ParityNames[g], result);
    }
    Append(b, "\n  ");
    const size_t from = b.Used;
    if (m.Outcome == MINUTE_CONFIRMED) {
        const bool sets = GuardSets(m.Guard.Verdict);
        Append(b, "confirmed");
        Mark(out, b, from, sets ? TONE_GOOD : TONE_WARN);
        if (sets) {
            Append(b, ": Varnel's guard would set the clock to %02u:%02u:00", m.Fields.Hour, m.Fields.Minute);
            if (m.Guard.CarryMs > 0)
                Append(b, ".%03u", unsigned(m.Guard.CarryMs));
            Append(b, " (%s)", zone);
            // A marker taken early: set when the second really starts.
            if (m.Guard.WaitMs > 0)
                Append(b, " %ld ms after its marker, when its second starts", -(long)m.Guard.SetLateMs);
            // Handled late: the time since its second began is added.
            if (m.Guard.CarryMs > 0)
                Append(b, ", handled %u ms after its second's start", unsigned(m.Guard.CarryMs));
            Append(b, ": ");
        } else
            Append(b, ", but Varnel's guard would hold it: ");
        AppendGuardReason(b, m);
        Append(b, "\n");
        return;
    }
    Append(b, "not confirmed");
    Mark(out, b, from, m.Outcome == MINUTE_FIRST || m.Outcome == MINUTE_PARTIAL ? TONE_PLAIN : TONE_WARN);
    switch (m.Outcome) {
    case MINUTE_PARITY_ERROR:
        Append(b, " (parity error)");
        break;
    case MINUTE_IMPOSSIBLE:
        Append(b, " (impossible date or time)");
        break;
    case MINUTE_FIRST:
        Append(b, " (first clean minute: the next one must agree)");
        break;
    case MINUTE_MISMATCH:
        Append(b, " (expected ");
        AppendFields(b, m.Expected);
        Append(b, ")");
        break;
    case MINUTE_PARTIAL:
        Append(b, " (the monitor started during this minute)");
        break;
    case MINUTE_CONFIRMED:
        break;
    }
    Append(b, ": Varnel leaves the clock alone\n");
}

static void FormatSummary(const MonitorReport& r, TextBuffer& b, ReportText* out)
{
    const SummaryReport& s = r.Summary;
    const Verdict verdict = JudgeMinute(s);
    const unsigned of = s.FirstWindow ? s.Seconds : s.Seconds > 60 ? s.Seconds : 60;
    Append(b, "%s: ", s.FirstWindow ? "part-minute summary" : "minute summary");
    if (!s.MarkerSeen && !s.FirstWindow)
        Append(b, "no minute marker, ");
    Append(b, "%u/%u seconds regular, %s: ", unsigned(s.Regular), of,
           s.Confirmed ? "confirmed" : "not confirmed");
    const size_t from = b.Used;
    Append(b, "%s", VerdictText(verdict));
    Mark(out, b, from,
         verdict == VERDICT_NOISY ? TONE_WARN : verdict == VERDICT_NO_PULSES ? TONE_BAD : TONE_GOOD);
    Append(b, "\n");
}

void FormatReport(const MonitorReport& r, ReportText* out)
{
    TextBuffer b = {out->Text, sizeof out->Text, 0};
    out->Text[0] = '\0';
    out->MarkFrom = out->MarkTo = 0;
    out->Tone = TONE_PLAIN;
    switch (r.Kind) {
    case REPORT_SECOND:
        FormatSecond(r, b, out);
        break;
    case REPORT_SILENCE:
        Append(b, "second  --  no second start for %u s\n", unsigned(r.SilentSeconds));
        break;
    case REPORT_MINUTE:
        FormatMinute(r, b, out);
        break;
    case REPORT_MESSAGE: {
        char line[160];
        FormatTimeCodeLine(line, sizeof line, r.Sample, r.WParam, r.LParam);
        Append(b, "%s\n", line);
        break;
    }
    case REPORT_SUMMARY:
        FormatSummary(r, b, out);
        break;
    }
    out->Length = b.Used;
}

void FormatInput(uint32_t port, uint8_t bit, char* out, size_t size)
{
    TextBuffer b = {out, size, 0};
    if (size > 0)
        out[0] = '\0';
    if (!IsSerialPort(port)) {
        Append(b, "I/O port 0x%03X bit %u", unsigned(port), unsigned(bit));
        return;
    }
    static const char* const lines[8] = {"", "", "", "", "CTS", "DSR", "RI", "DCD"};
    Append(b, "COM%u bit %u", unsigned(port), unsigned(bit));
    if (bit < 8 && lines[bit][0] != '\0')
        Append(b, " (%s)", lines[bit]);
    else
        Append(b, " (no line: reads 0)");
}

void DescribeOpenFailure(uint32_t port, uint32_t error, char* out, size_t size)
{
    TextBuffer b = {out, size, 0};
    if (size > 0)
        out[0] = '\0';
    switch (error) {
    case OPEN_ERROR_ACCESS_DENIED:
    case OPEN_ERROR_SHARING_VIOLATION:
        Append(b,
               "COM%u is held open by another program. A serial port can be open in only one\n"
               "program at a time, and Varnel keeps its port open while it runs. Close Varnel\n"
               "(right-click its icon in the notification area, then Close Varnel), or the\n"
               "other program, and start varnel-monitor again.",
               unsigned(port));
        return;
    case OPEN_ERROR_FILE_NOT_FOUND:
        Append(b,
               "There is no COM%u on this PC. Device Manager lists the serial ports under\n"
               "Ports (COM & LPT).",
               unsigned(port));
        return;
    default:
        Append(b, "Couldn't open COM%u (Windows error %lu).", unsigned(port), (unsigned long)error);
        return;
    }
}

void FormatRecordingHeader(const UtcStamp& t, uint32_t port, uint8_t bit, uint8_t utcFlag,
                           char* out, size_t size)
{
    TextBuffer b = {out, size, 0};
    char input[48];
    FormatInput(port, bit, input, sizeof input);
    Append(b, "# varnel-monitor %s recording: each 0 or 1 is one 20 ms sample of the input bit\r\n",
           VARNEL_VERSION_STRING);
    Append(b, "# start %04u-%02u-%02uT%02u:%02u:%02u.%03uZ\r\n", t.Year, t.Month, t.Day, t.Hour,
           t.Minute, t.Second, t.Milliseconds);
    Append(b, "# input %s\r\n", input);
    Append(b, "# clock mode %s\r\n", utcFlag ? "UTC" : "UK civil time");
    Append(b, "# replay: varnel-replay < this-file\r\n");
    // The clock-mode marker varnel-replay reads.
    Append(b, "%s\r\n", utcFlag ? "U" : "L");
}

void FormatRecordingTrailer(uint64_t samples, bool byDuration, char* out, size_t size)
{
    TextBuffer b = {out, size, 0};
    Append(b, "# end: %llu samples, %llu.%02llu s, %s\r\n", (unsigned long long)samples,
           (unsigned long long)(samples / SAMPLES_PER_SECOND),
           (unsigned long long)(samples % SAMPLES_PER_SECOND * 2),
           byDuration ? "stopped by --duration" : "stopped by Ctrl-C");
}

// ---- Options -----------------------------------------------------------------

static bool IsHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool ParsePortOption(const char* text, uint32_t* port)
{
    if ((text[0] == 'C' || text[0] == 'c') && (text[1] == 'O' || text[1] == 'o') &&
        (text[2] == 'M' || text[2] == 'm')) {
        const char* p = text + 3;
        if (*p < '1' || *p > '9')
            return false;
        const uint32_t n = uint32_t(*p++ - '0');
        if (*p == ':')
            ++p;
        if (*p != '\0')
            return false;
        *port = n;
        return true;
    }
    const char* digits = text;
    if (digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        digits += 2;
    size_t count = 0;
    while (IsHexDigit(digits[count]))
        ++count;
    if (count == 0 || count > 4 || digits[count] != '\0')
        return false;
    const uint32_t value = uint32_t(std::strtoul(digits, nullptr, 16));
    // Below 10 a port value names a serial port; those are written COMn.
    if (value < 10)
        return false;
    *port = value;
    return true;
}

bool ParseDurationOption(const char* text, uint64_t* samples)
{
    uint64_t value = 0;
    const char* p = text;
    if (*p < '0' || *p > '9')
        return false;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + uint64_t(*p - '0');
        if (value > 1000000000ull)
            return false;
    }
    uint64_t unit = 1;
    if (*p == 's')
        ++p;
    else if (*p == 'm')
        unit = 60, ++p;
    else if (*p == 'h')
        unit = 3600, ++p;
    if (*p != '\0' || value == 0)
        return false;
    *samples = value * unit * SAMPLES_PER_SECOND;
    return true;
}

bool ParseMonitorOptions(int argc, const char* const* argv, MonitorOptions* options, char* error,
                         size_t size)
{
    *options = MonitorOptions{};
    TextBuffer b = {error, size, 0};
    if (size > 0)
        error[0] = '\0';
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0 ||
            std::strcmp(arg, "/?") == 0) {
            options->Help = true;
            continue;
        }
        // "--name value" or "--name=value".
        static const char* const names[] = {"--port", "--bit", "--record", "--duration"};
        const char* name = nullptr;
        const char* value = nullptr;
        for (const char* candidate : names) {
            const size_t length = std::strlen(candidate);
            if (std::strncmp(arg, candidate, length) != 0)
                continue;
            if (arg[length] == '\0') {
                name = candidate;
                value = i + 1 < argc ? argv[++i] : nullptr;
            } else if (arg[length] == '=') {
                name = candidate;
                value = arg + length + 1;
            }
        }
        if (name == nullptr) {
            Append(b, "unknown option '%s' (try --help)", arg);
            return false;
        }
        if (value == nullptr || value[0] == '\0') {
            Append(b, "%s needs a value (try --help)", name);
            return false;
        }
        if (std::strcmp(name, "--port") == 0) {
            if (!ParsePortOption(value, &options->Port)) {
                Append(b, "--port %s: give COM1 to COM9, or an I/O port address in hex (201, 379)",
                       value);
                return false;
            }
            options->HavePort = true;
        } else if (std::strcmp(name, "--bit") == 0) {
            if (!(value[0] >= '0' && value[0] <= '7' && value[1] == '\0')) {
                Append(b, "--bit %s: give a bit number from 0 to 7", value);
                return false;
            }
            options->HaveBit = true;
            options->Bit = uint8_t(value[0] - '0');
        } else if (std::strcmp(name, "--record") == 0) {
            options->RecordPath = value;
        } else if (!ParseDurationOption(value, &options->DurationSamples)) {
            Append(b, "--duration %s: give seconds, or a number with s, m or h (90s, 10m, 2h)",
                   value);
            return false;
        }
    }
    return true;
}
