// Parsing of varneld's settings file and command line. Every bad value is a
// message naming the setting and what it accepts; none falls back to a
// default, so a mistyped file never runs a receiver on some other line.
#include "options.h"

#include <cstdio>
#include <cstring>

const char USAGE_TEXT[] =
    "Usage: varneld [OPTION]...\n"
    "Decodes the MSF 60 kHz time signal from a receiver on a serial modem-status\n"
    "line or an I/O port bit, and hands chronyd each confirmed second (or sets\n"
    "the clock at each confirmed minute). Settings come from /etc/varnel/varneld.conf,\n"
    "then from these options:\n"
    "  -c, --config FILE   settings file to read instead\n"
    "  -p, --port PORT     serial device (/dev/ttyS0) or I/O port address in hex (379)\n"
    "  -b, --bit N         input bit: 4 CTS, 5 DSR, 6 RI, 7 DCD on a serial port; 0..7 on an I/O port\n"
    "      --utc, --uk     show the time in UTC, or in UK civil time (GMT or BST)\n"
    "  -m, --mode MODE     chrony: samples to chronyd; direct: set the clock itself\n"
    "  -s, --socket PATH   chronyd's SOCK reference-clock socket\n"
    "  -d, --delay MS      the receiver's carrier-off delay in milliseconds\n"
    "  -h, --help          this text\n"
    "  -V, --version       the version\n";

static void CopyPath(char* out, const char* value)
{
    std::snprintf(out, OPTION_PATH_SIZE, "%s", value);
}

void DefaultOptions(DaemonOptions& o)
{
    o = DaemonOptions{};
    o.PortPath[0] = '\0';
    o.IoAddress = 0x201;
    o.BitNumber = 7;
    o.UTCFlag = 0;
    o.Mode = MODE_CHRONY;
    CopyPath(o.SocketPath, DEFAULT_SOCKET_PATH);
    o.DelayNs = 0;
    CopyPath(o.ConfigPath, DEFAULT_CONFIG_PATH);
}

static bool SameName(const char* a, const char* b)
{
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        const char x = (*a >= 'A' && *a <= 'Z') ? char(*a - 'A' + 'a') : *a;
        const char y = (*b >= 'A' && *b <= 'Z') ? char(*b - 'A' + 'a') : *b;
        if (x != y)
            return false;
    }
    return *a == *b;
}

static int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The whole of text as a hexadecimal number (an optional 0x), at most limit.
static bool ParseHex(const char* text, uint32_t limit, uint32_t* value)
{
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        text += 2;
    uint32_t v = 0;
    if (*text == '\0')
        return false;
    for (; *text != '\0'; ++text) {
        const int d = HexDigit(*text);
        if (d < 0 || v > (limit - uint32_t(d)) / 16)
            return false;
        v = v * 16 + uint32_t(d);
    }
    *value = v;
    return true;
}

// The whole of text as a decimal count of milliseconds with up to six
// decimals, within 0..limitMs, in ns.
static bool ParseMilliseconds(const char* text, int64_t limitMs, int64_t* ns)
{
    int64_t whole = 0;
    int64_t fraction = 0;
    int64_t scale = 1000000;  // ns per unit of the digit being read
    bool digits = false;
    bool point = false;
    for (; *text != '\0'; ++text) {
        if (*text == '.' && !point) {
            point = true;
            continue;
        }
        if (*text < '0' || *text > '9')
            return false;
        digits = true;
        if (!point) {
            whole = whole * 10 + (*text - '0');
            if (whole > limitMs)
                return false;
        } else {
            scale /= 10;
            if (scale < 1)
                return false;  // finer than a nanosecond
            fraction += (*text - '0') * scale;
        }
    }
    const int64_t value = whole * 1000000 + fraction;
    if (!digits || value > limitMs * 1000000)
        return false;
    *ns = value;
    return true;
}

static bool Fail(char* error, const char* text, const char* name, const char* value)
{
    std::snprintf(error, OPTION_ERROR_SIZE, text, name, value);
    return false;
}

static bool SetPort(DaemonOptions& o, const char* name, const char* value, char* error)
{
    if (value[0] == '/') {
        if (std::strlen(value) >= OPTION_PATH_SIZE)
            return Fail(error, "%s: the device path %s is too long", name, value);
        CopyPath(o.PortPath, value);
        return true;
    }
    uint32_t address;
    if (!ParseHex(value, 0xFFFF, &address))
        return Fail(error,
                    "%s must be a serial device (/dev/ttyS0) or an I/O port address in hex "
                    "(201, 379), not \"%s\"",
                    name, value);
    if (address < 0x10)
        return Fail(error,
                    "%s: %s is no I/O port; a serial port is named by its device, such as "
                    "/dev/ttyS0 for COM1",
                    name, value);
    o.PortPath[0] = '\0';
    o.IoAddress = address;
    return true;
}

// The setting named setting; messages call it name (its file key or option).
static bool SetNamed(DaemonOptions& o, const char* setting, const char* name, const char* value,
                     char* error)
{
    if (SameName(setting, "PortAddress"))
        return SetPort(o, name, value, error);
    if (SameName(setting, "BitNumber")) {
        if (value[0] < '0' || value[0] > '7' || value[1] != '\0')
            return Fail(error, "%s must be 0 to 7, not \"%s\"", name, value);
        o.BitNumber = uint8_t(value[0] - '0');
        return true;
    }
    if (SameName(setting, "UTCFlag")) {
        if ((value[0] != '0' && value[0] != '1') || value[1] != '\0')
            return Fail(error, "%s must be 0 (UK civil time) or 1 (UTC), not \"%s\"", name, value);
        o.UTCFlag = uint8_t(value[0] - '0');
        return true;
    }
    if (SameName(setting, "Mode")) {
        if (SameName(value, "chrony"))
            o.Mode = MODE_CHRONY;
        else if (SameName(value, "direct"))
            o.Mode = MODE_DIRECT;
        else
            return Fail(error, "%s must be chrony or direct, not \"%s\"", name, value);
        return true;
    }
    if (SameName(setting, "Socket")) {
        if (value[0] != '/' || std::strlen(value) >= OPTION_PATH_SIZE)
            return Fail(error, "%s must be an absolute path of at most 107 bytes, not \"%s\"",
                        name, value);
        CopyPath(o.SocketPath, value);
        return true;
    }
    if (SameName(setting, "Delay")) {
        if (!ParseMilliseconds(value, 1000, &o.DelayNs))
            return Fail(error, "%s must be milliseconds from 0 to 1000, not \"%s\"", name, value);
        return true;
    }
    return Fail(error, "unknown setting %s%s", name, "");
}

bool SetOption(DaemonOptions& o, const char* name, const char* value, char* error)
{
    return SetNamed(o, name, name, value, error);
}

static bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

bool ParseSettings(DaemonOptions& o, const char* text, const char* fileName, char* error)
{
    char line[OPTION_PATH_SIZE + 64];
    unsigned number = 0;
    while (*text != '\0') {
        ++number;
        size_t length = 0;
        bool tooLong = false;
        for (; *text != '\0' && *text != '\n'; ++text) {
            if (length + 1 < sizeof line)
                line[length++] = *text;
            else
                tooLong = true;
        }
        if (*text == '\n')
            ++text;
        line[length] = '\0';
        if (char* hash = std::strchr(line, '#'))
            *hash = '\0';
        char* start = line;
        while (IsBlank(*start))
            ++start;
        char* end = start + std::strlen(start);
        while (end > start && IsBlank(end[-1]))
            *--end = '\0';
        if (*start == '\0')
            continue;
        char message[OPTION_ERROR_SIZE];
        char* equals = std::strchr(start, '=');
        bool good = false;
        if (tooLong) {
            std::snprintf(message, sizeof message, "the line is too long");
        } else if (equals == nullptr) {
            std::snprintf(message, sizeof message, "\"%s\" is not Name = value", start);
        } else {
            char* nameEnd = equals;
            while (nameEnd > start && IsBlank(nameEnd[-1]))
                --nameEnd;
            *nameEnd = '\0';
            char* value = equals + 1;
            while (IsBlank(*value))
                ++value;
            good = SetOption(o, start, value, message);
        }
        if (!good) {
            std::snprintf(error, OPTION_ERROR_SIZE, "%s line %u: %s", fileName, number, message);
            return false;
        }
    }
    return true;
}

// An option's name in the file, and whether it takes a value.
struct OptionName {
    const char* Long;
    char Short;
    const char* Setting;  // nullptr: handled by the parser itself
};
static constexpr OptionName OPTION_NAMES[] = {
    {"port", 'p', "PortAddress"}, {"bit", 'b', "BitNumber"}, {"mode", 'm', "Mode"},
    {"socket", 's', "Socket"},    {"delay", 'd', "Delay"},   {"config", 'c', nullptr},
};

// Reads argv[i] as an option taking a value: its setting name and value
// ("--port=X", "--port X", "-p X"). nullptr name when it is none of them.
static const OptionName* ValueOption(int argc, char* const argv[], int& i, const char** value)
{
    const char* arg = argv[i];
    for (const OptionName& option : OPTION_NAMES) {
        const size_t n = std::strlen(option.Long);
        const bool longForm = arg[0] == '-' && arg[1] == '-' && std::strncmp(arg + 2, option.Long, n) == 0;
        if (longForm && arg[2 + n] == '=') {
            *value = arg + 3 + n;
            return &option;
        }
        if ((longForm && arg[2 + n] == '\0') ||
            (arg[0] == '-' && arg[1] == option.Short && arg[2] == '\0')) {
            *value = i + 1 < argc ? argv[++i] : nullptr;
            return &option;
        }
    }
    return nullptr;
}

static CommandLine WalkCommandLine(int argc, char* const argv[], DaemonOptions& o, char* error,
                                   bool configOnly)
{
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0)
            return COMMAND_HELP;
        if (std::strcmp(arg, "--version") == 0 || std::strcmp(arg, "-V") == 0)
            return COMMAND_VERSION;
        if (std::strcmp(arg, "--utc") == 0 || std::strcmp(arg, "--uk") == 0) {
            if (!configOnly)
                o.UTCFlag = arg[3] == 't';
            continue;
        }
        const char* value = nullptr;
        const OptionName* option = ValueOption(argc, argv, i, &value);
        if (option == nullptr) {
            std::snprintf(error, OPTION_ERROR_SIZE, "unknown option %s (see --help)", arg);
            return COMMAND_BAD;
        }
        if (value == nullptr) {
            std::snprintf(error, OPTION_ERROR_SIZE, "option --%s needs a value", option->Long);
            return COMMAND_BAD;
        }
        if (option->Setting == nullptr) {
            if (value[0] == '\0' || std::strlen(value) >= OPTION_PATH_SIZE) {
                std::snprintf(error, OPTION_ERROR_SIZE, "--config needs a file path");
                return COMMAND_BAD;
            }
            CopyPath(o.ConfigPath, value);
            continue;
        }
        if (configOnly)
            continue;
        char name[16];
        std::snprintf(name, sizeof name, "--%s", option->Long);
        if (!SetNamed(o, option->Setting, name, value, error))
            return COMMAND_BAD;
    }
    return COMMAND_RUN;
}

CommandLine FindConfigOption(int argc, char* const argv[], DaemonOptions& o, char* error)
{
    return WalkCommandLine(argc, argv, o, error, true);
}

CommandLine ParseCommandLine(int argc, char* const argv[], DaemonOptions& o, char* error)
{
    return WalkCommandLine(argc, argv, o, error, false);
}

bool CheckOptions(const DaemonOptions& o, char* error)
{
    if (o.PortPath[0] != '\0' && o.BitNumber < 4) {
        std::snprintf(error, OPTION_ERROR_SIZE,
                      "BitNumber %u reads no line of a serial port: use 4 (CTS), 5 (DSR), "
                      "6 (RI) or 7 (DCD)",
                      unsigned(o.BitNumber));
        return false;
    }
    return true;
}
