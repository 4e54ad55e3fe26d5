// varnel-replay: runs a sample stream through the real sampling tick and prints
// every WM_TIMECODE message it would post, one line per message.
#include <cstdio>
#include <cstring>

#include "config/config.h"
#include "reception/platform.h"
#include "reception/reception.h"
#include "tools/timecode_line.h"

static const char HelpText[] =
    "usage: varnel-replay [--help] < samples\n"
    "\n"
    "Runs a receiver sample stream through Varnel's sampling tick and decoder,\n"
    "exactly as the 20 ms timer would, and prints every time-code message the\n"
    "tick posts to the tray window.\n"
    "\n"
    "Input (standard input, ASCII):\n"
    "  0 or 1   one 20 ms sample of the selected input bit; runs one tick\n"
    "  U        clock mode UTC (UTCFlag = 1) for the following samples\n"
    "  L        clock mode UK civil time (UTCFlag = 0) for the following samples\n"
    "  #        a comment up to the end of the line (a recording's header)\n"
    "  anything else, whitespace included, is ignored.\n"
    "State starts as at program start: status 0x10, UTCFlag 0.\n"
    "\n"
    "Output: one line per posted message:\n"
    "  N WPARAM LPARAM  date time  flags\n"
    "N is the 1-based index of the sample whose tick posted the message;\n"
    "WPARAM and LPARAM are 8 upper-case hex digits, packed as\n"
    "  WPARAM = minute | hour << 8 | day of week << 16 | day << 24\n"
    "  LPARAM = month | year << 8 | status << 16\n"
    "followed by the decoded fields (yy-mm-dd day-of-week hh:mm) and the status\n"
    "flags by name. Lines starting with # are comments.\n"
    "\n"
    "Example: msf-synth --start 2026-12-07T04:16:05Z --duration 3m | varnel-replay\n";

static uint64_t SampleIndex;  // 1-based index of the sample being run

static void PrintMessage(uintptr_t, uint32_t wParam, uint32_t lParam)
{
    char line[160];
    FormatTimeCodeLine(line, sizeof line, SampleIndex, wParam, lParam);
    std::printf("%s\n", line);
}

// The replay line is the selected bit of I/O port 0x201, bit 7.
static uint8_t ReplayLevel;
static uint32_t ReadReplayLine(uint32_t) { return ReplayLevel ? 0xFF : 0x00; }

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(HelpText, stdout);
            return 0;
        }
        std::fprintf(stderr, "varnel-replay: unknown option '%s' (try --help)\n", argv[i]);
        return 2;
    }

    ResetSettings();
    ResetDecoder();
    Platform.ReadIoPort = ReadReplayLine;
    Platform.PostTimeCode = PrintMessage;

    std::printf("%s\n", TIMECODE_LINE_HEADER);
    static char buffer[1 << 16];
    size_t count;
    bool inComment = false;  // from a '#' to the end of its line
    while ((count = std::fread(buffer, 1, sizeof buffer, stdin)) > 0) {
        for (size_t i = 0; i < count; ++i) {
            if (inComment) {
                inComment = buffer[i] != '\n';
                continue;
            }
            switch (buffer[i]) {
            case '#':
                inComment = true;
                break;
            case '0':
            case '1':
                ReplayLevel = uint8_t(buffer[i] - '0');
                ++SampleIndex;
                SampleStep(0);
                break;
            case 'U':
                UTCFlag = 1;
                break;
            case 'L':
                UTCFlag = 0;
                break;
            default:
                break;
            }
        }
    }
    return 0;
}
