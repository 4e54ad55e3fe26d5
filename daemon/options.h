// varneld's settings: the Windows program's three (the input, its bit, UTC or
// UK civil time) plus how time goes out, where to, and the receiver's delay.
// Read from the settings file and then from the command line, which wins.
// Portable: parsing only, into fixed buffers.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr char DEFAULT_CONFIG_PATH[] = "/etc/varnel/varneld.conf";
// Outside chronyd's own 0700 run folder, where its AppArmor profile lets it
// make SOCK sockets (/run/chrony.*.sock).
constexpr char DEFAULT_SOCKET_PATH[] = "/run/chrony.varneld.sock";

// Room for a device or socket path: a Unix socket's address holds 108 bytes.
constexpr size_t OPTION_PATH_SIZE = 108;
// Room for one message about a bad value.
constexpr size_t OPTION_ERROR_SIZE = 256;
// The largest settings file read.
constexpr size_t SETTINGS_FILE_SIZE = 8192;

enum TimeOutMode : uint8_t {
    MODE_CHRONY,  // each confirmed second to chronyd's SOCK reference clock
    MODE_DIRECT,  // the clock set at each confirmed minute, as on Windows
};

struct DaemonOptions {
    char PortPath[OPTION_PATH_SIZE];    // a serial device; empty for an I/O port
    uint32_t IoAddress;                 // the I/O port when PortPath is empty
    uint8_t BitNumber;                  // 0..7; 4..7 (CTS, DSR, RI, DCD) on a serial port
    uint8_t UTCFlag;                    // 0: status in UK civil time, 1: in UTC
    TimeOutMode Mode;
    char SocketPath[OPTION_PATH_SIZE];  // chronyd's SOCK socket
    int64_t DelayNs;                    // the receiver's carrier-off delay, added to the truth
    char ConfigPath[OPTION_PATH_SIZE];
};

// The Windows program's defaults (game port 0x201, bit 7, UK civil time) and
// chrony mode with its socket at DEFAULT_SOCKET_PATH.
void DefaultOptions(DaemonOptions& options);

// One setting by its name in the file (PortAddress, BitNumber, UTCFlag, Mode,
// Socket, Delay; any case). False with a message in error when the name is
// unknown or the value bad; options then keep their earlier value.
bool SetOption(DaemonOptions& options, const char* name, const char* value, char* error);

// The text of a settings file: "Name = value" lines, '#' comments, blank lines.
// The message of a bad line names fileName and the line.
bool ParseSettings(DaemonOptions& options, const char* text, const char* fileName, char* error);

// The command line, after the settings file. What it asks for:
enum CommandLine : uint8_t { COMMAND_RUN, COMMAND_HELP, COMMAND_VERSION, COMMAND_BAD };
// Only --config (or -c): the settings file to read first (unchanged if none).
CommandLine FindConfigOption(int argc, char* const argv[], DaemonOptions& options, char* error);
// Every option; a bad one leaves a message in error and answers COMMAND_BAD.
CommandLine ParseCommandLine(int argc, char* const argv[], DaemonOptions& options, char* error);

// A consistency check of the whole: a serial port's lines are bits 4..7.
bool CheckOptions(const DaemonOptions& options, char* error);

extern const char USAGE_TEXT[];
