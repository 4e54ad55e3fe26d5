// Simulated InpOut32: the one configuration record read from the environment
// at load, and the entry points shared by the signal, the observer and DllMain.
//
// Environment variables and log grammar: see README.md in this folder.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstdio>  // __MINGW_PRINTF_FORMAT: the printf flavour vsnprintf really is

constexpr unsigned SIM_MAX_FAIL_COM = 16;
constexpr unsigned SIM_MAX_NO_PROC = 4;        // names GetProcAddress pretends not to find
constexpr unsigned SIM_PROC_NAME_SIZE = 48;

// What the hooks do besides logging (VARNEL_SIM_TIMER).
enum SimTimerFault : uint8_t {
    TIMER_REAL,        // unset: the system's answers
    TIMER_CAPS_FAIL,   // timeGetDevCaps returns TIMERR_NOCANDO without asking the system
    TIMER_MIN_PERIOD,  // timeGetDevCaps reports MinPeriod as wPeriodMin
    TIMER_START_FAIL,  // timeSetEvent returns 0 without starting a timer
};

struct SimConfig {
    // --- live signal ---
    uint16_t Port;          // simulated I/O port; every other port reads 0xFF
    uint8_t Bit;            // 0..7: the bit that carries the receiver line
    uint8_t Level;          // line level while the carrier is on (0 or 1)
    double Noise;           // chance, 0..1, that one Inp32 read of the bit is inverted
    uint64_t NoiseThreshold;  // a 64-bit draw below this inverts (Noise scaled to 2^64)
    uint64_t Seed;          // noise generator seed
    int64_t OffsetMs;       // the signal is this far ahead of the computer's clock
    bool Off;               // no carrier at all (line at the carrier-off level)
    int64_t LossAfterMs;    // carrier gone this long after the first read; -1: never
    char* Script;           // '0'/'1' line levels at 20 ms from the first read, or null
    uint32_t ScriptLength;  // samples in Script

    // --- observer ---
    bool Hooks;             // patch the main module's imports (any observer variable set)
    uint32_t FailAdds;      // NIM_ADD calls still to fail
    bool FailClock;         // every SetLocalTime fails with ERROR_PRIVILEGE_NOT_HELD
    uint8_t FailComCount;
    uint8_t FailCom[SIM_MAX_FAIL_COM];  // COM port numbers whose open fails
    uint16_t FailComError[SIM_MAX_FAIL_COM];  // with this system error code
    SimTimerFault Timer;
    uint32_t MinPeriod;     // for TIMER_MIN_PERIOD
    uint32_t FailGetMessage;  // from this GetMessageA call on (1-based) answer -1; 0: never
    uint8_t NoProcCount;
    char NoProc[SIM_MAX_NO_PROC][SIM_PROC_NAME_SIZE];  // GetProcAddress answers NULL for these
};

extern SimConfig Sim;

// sim_config.cpp: fills Sim from the environment; reports bad values through
// SimLog once the log is open, so it keeps them until SimReportConfig.
void SimReadConfig();
void SimReportConfig();
// Reads a file named by a Windows path or, under Wine, a Unix one.
HANDLE SimOpenFile(const char* name, bool forAppend);

// observer.cpp
bool SimLogOpen(const char* path);
void SimLogClose();
bool SimLogging();
// One log line: the timestamps, then printf-formatted text, then a newline.
void SimLog(const char* format, ...) __attribute__((format(__MINGW_PRINTF_FORMAT, 1, 2)));
void SimInstallHooks();
void SimRemoveHooks();
// Writes text quoted: "..." with \" \\ and \xHH escapes, at most max bytes of text.
int SimQuote(char* out, int outSize, const char* text, int max);
