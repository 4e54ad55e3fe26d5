// varnel-monitor's Win32 glue: Varnel's settings and input, the 20 ms
// multimedia timer, the console with Ctrl-C, and the recording file. The timer
// callback only samples (MonitorStep); everything it learns reaches this main
// thread through the lock-free queues, which it drains every 50 ms.
#include <windows.h>
#include <mmsystem.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "config/config.h"
#include "config/config_win32.h"
#include "monitor.h"
#include "reception/input_win32.h"
#include "reception/platform.h"
#include "resources/resource.h"
#include "tools/timecode_line.h"
#include "tray/status.h"

enum MonitorExit : int {
    EXIT_DONE = 0,
    EXIT_USAGE = 2,
    EXIT_PORT = 3,
    EXIT_LIBRARY = 4,
    EXIT_INP32 = 5,
    EXIT_RECORD = 6,
    EXIT_TIMER = 7,
};

constexpr DWORD DRAIN_MS = 50;

// Timer thread and main thread: the callback raises TickBusy around its work
// and then looks at TickStop; the main thread sets TickStop, then waits for
// TickBusy to fall. Either order leaves no tick running once the wait ends.
static std::atomic<uint8_t> TickBusy{0};
static std::atomic<uint8_t> TickStop{0};
static std::atomic<uint8_t> TickDone{0};  // the --duration's samples are taken
static uint64_t SampleLimit;              // 0: none; set before the timer starts

// Console control handler's thread and main thread.
static std::atomic<uint8_t> StopRequested{0};
static std::atomic<uint8_t> ConsoleClosing{0};
static std::atomic<uint8_t> MainFinished{0};

static void CALLBACK MonitorTick(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR)
{
    TickBusy.store(1);
    if (TickStop.load() == 0 && TickDone.load(std::memory_order_relaxed) == 0) {
        if (SampleLimit != 0 && Observer.Sample >= SampleLimit)
            TickDone.store(1);
        else
            MonitorStep(ReadSampleBit());
    }
    TickBusy.store(0);
}

static BOOL WINAPI OnConsoleEvent(DWORD event)
{
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        // The process ends when this returns: let the main thread finish the
        // recording first (Windows allows about five seconds).
        ConsoleClosing.store(1);
        StopRequested.store(1);
        for (int i = 0; i < 80 && MainFinished.load() == 0; ++i)
            Sleep(50);
        return TRUE;
    }
    StopRequested.store(1);
    return TRUE;
}

// ---- Console -------------------------------------------------------------------

static HANDLE ConsoleOut = INVALID_HANDLE_VALUE;  // stdout when it is a console
static WORD PlainAttributes;

static void FindConsole()
{
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode;
    CONSOLE_SCREEN_BUFFER_INFO info;
    // Redirected output (a file, a pipe) gets no colour at all.
    if (out != INVALID_HANDLE_VALUE && GetConsoleMode(out, &mode) &&
        GetConsoleScreenBufferInfo(out, &info)) {
        ConsoleOut = out;
        PlainAttributes = info.wAttributes;
    }
}

static void SetTone(LineTone tone)
{
    if (ConsoleOut == INVALID_HANDLE_VALUE)
        return;
    static const WORD colours[] = {0, FOREGROUND_GREEN | FOREGROUND_INTENSITY,
                                   FOREGROUND_RED | FOREGROUND_GREEN | FOREGROUND_INTENSITY,
                                   FOREGROUND_RED | FOREGROUND_INTENSITY};
    std::fflush(stdout);
    SetConsoleTextAttribute(ConsoleOut, tone == TONE_PLAIN
                                            ? PlainAttributes
                                            : WORD((PlainAttributes & 0xF0) | colours[tone]));
}

static void PrintReport(const ReportText& text)
{
    if (text.Tone == TONE_PLAIN || text.MarkTo <= text.MarkFrom) {
        std::fwrite(text.Text, 1, text.Length, stdout);
        return;
    }
    std::fwrite(text.Text, 1, text.MarkFrom, stdout);
    SetTone(text.Tone);
    std::fwrite(text.Text + text.MarkFrom, 1, text.MarkTo - text.MarkFrom, stdout);
    SetTone(TONE_PLAIN);
    std::fwrite(text.Text + text.MarkTo, 1, text.Length - text.MarkTo, stdout);
}

// A console window of its own (started from the Start menu or Explorer)
// would vanish with the last message: keep it until Enter.
static int Finish(int code)
{
    std::fflush(stdout);
    std::fflush(stderr);
    MainFinished.store(1);
    DWORD processes[2];
    if (ConsoleClosing.load() == 0 && GetConsoleProcessList(processes, 2) == 1) {
        std::fputs("Press Enter to close this window.\n", stderr);
        char line[16];
        if (std::fgets(line, sizeof line, stdin) == nullptr)
            Sleep(0);
    }
    return code;
}

static int Fail(int code, const char* text)
{
    std::fprintf(stderr, "varnel-monitor: %s\n", text);
    return Finish(code);
}

// ---- Recording -------------------------------------------------------------------

static HANDLE RecordFile = INVALID_HANDLE_VALUE;
static uint32_t RecordColumn;  // samples on the current line
static uint32_t SamplesLostSeen;
static bool RecordFailed;

static void WriteRecord(const char* text, size_t length)
{
    DWORD written = 0;
    if (RecordFile == INVALID_HANDLE_VALUE || RecordFailed)
        return;
    if (!WriteFile(RecordFile, text, DWORD(length), &written, nullptr) || written != length) {
        RecordFailed = true;
        StopRequested.store(1);
    }
}

// The samples taken since the last drain, 50 to a line (one second).
static void DrainSamples()
{
    static uint8_t bits[4096];
    static char text[4096 * 3 / SAMPLES_PER_SECOND + 4096 + 8];
    for (;;) {
        const uint32_t count = PopSamples(bits, sizeof bits);
        size_t used = 0;
        for (uint32_t i = 0; i < count; ++i) {
            text[used++] = char('0' + bits[i]);
            if (++RecordColumn == SAMPLES_PER_SECOND) {
                text[used++] = '\r';
                text[used++] = '\n';
                RecordColumn = 0;
            }
        }
        WriteRecord(text, used);
        const uint32_t lost = Samples.Lost.load();
        if (lost != SamplesLostSeen) {
            char note[96];
            const int n = std::snprintf(note, sizeof note,
                                        "%s# %lu samples lost here: a replay differs from now on\r\n",
                                        RecordColumn ? "\r\n" : "", (unsigned long)(lost - SamplesLostSeen));
            RecordColumn = 0;
            SamplesLostSeen = lost;
            WriteRecord(note, size_t(n));
        }
        if (count < sizeof bits)
            return;
    }
}

static uint32_t ReportsLostSeen;

static void DrainReports()
{
    MonitorReport report;
    static ReportText text;
    while (PopReport(&report)) {
        FormatReport(report, &text);
        PrintReport(text);
    }
    const uint32_t lost = Reports.Lost.load();
    if (lost != ReportsLostSeen) {
        std::printf("(%lu reports lost: the console did not keep up)\n",
                    (unsigned long)(lost - ReportsLostSeen));
        ReportsLostSeen = lost;
    }
    std::fflush(stdout);
}

// ---- Start-up ------------------------------------------------------------------

static void MonitorYield() { SwitchToThread(); }

int main(int argc, char** argv)
{
    FindConsole();
    MonitorOptions options;
    char error[400];
    if (!ParseMonitorOptions(argc, argv, &options, error, sizeof error))
        return Fail(EXIT_USAGE, error);
    if (options.Help) {
        std::fputs(MONITOR_HELP, stdout);
        return Finish(EXIT_DONE);
    }

    Platform.ReadModemStatus = Win32ReadModemStatus;
    Platform.ReadIoPort = Win32ReadIoPort;
    Platform.PostTimeCode = CapturePost;
    Platform.ClosePort = Win32ClosePort;
    Platform.YieldThread = MonitorYield;
    Platform.ReadClock = Win32ReadClock;
    Platform.MonotonicMs = Win32MonotonicMs;
    ResetMonitor();

    // Varnel's own settings, unless the options say otherwise.
    LoadSettings();
    if (options.HavePort)
        PortAddress.store(options.Port);
    if (options.HaveBit)
        BitNumber.store(options.Bit);
    const uint32_t port = PortAddress.load();
    const uint8_t bit = BitNumber.load();
    const uint8_t utcFlag = UTCFlag.load();

    // The library first, as Varnel loads it; a serial port does not need it.
    const InpOutLoad library = LoadInpOut32();
    if (!IsSerialPort(port) && library == INPOUT_NO_LIBRARY)
        return Fail(EXIT_LIBRARY, "Couldn't load InpOut32.dll, which reads I/O ports: put it beside "
                                  "varnel-monitor.exe (or read a serial port with --port COMn).");
    if (!IsSerialPort(port) && library == INPOUT_NO_INP32)
        return Fail(EXIT_INP32, "Couldn't get Inp32 function address: InpOut32.dll beside "
                                "varnel-monitor.exe is some other library.");
    if (IsSerialPort(port)) {
        const uintptr_t handle = OpenSerialPort(port);
        if (handle == INVALID_PORT_HANDLE) {
            DescribeOpenFailure(port, GetLastError(), error, sizeof error);
            return Fail(EXIT_PORT, error);
        }
        PortHandle.store(handle);
    }

    if (options.RecordPath != nullptr) {
        RecordFile = CreateFileA(options.RecordPath, GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                 CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (RecordFile == INVALID_HANDLE_VALUE) {
            ReplacePortHandle(INVALID_PORT_HANDLE);
            std::snprintf(error, sizeof error, "Couldn't create the recording file %s (Windows error %lu).",
                          options.RecordPath, (unsigned long)GetLastError());
            return Fail(EXIT_RECORD, error);
        }
        SYSTEMTIME now;
        GetSystemTime(&now);
        const UtcStamp start = {now.wYear, now.wMonth, now.wDay, now.wHour,
                                now.wMinute, now.wSecond, now.wMilliseconds};
        char header[512];
        FormatRecordingHeader(start, port, bit, utcFlag, header, sizeof header);
        WriteRecord(header, std::strlen(header));
    }

    TIMECAPS caps;
    if (timeGetDevCaps(&caps, sizeof caps) != TIMERR_NOERROR || !TimerPeriodSuitable(caps.wPeriodMin)) {
        ReplacePortHandle(INVALID_PORT_HANDLE);
        return Fail(EXIT_TIMER, "This PC's multimedia timer cannot tick every 20 ms.");
    }

    char input[48];
    FormatInput(port, bit, input, sizeof input);
    std::printf("varnel-monitor %s: %s (%s), clock mode %s\n", VARNEL_VERSION_STRING, input,
                options.HavePort || options.HaveBit ? "from the options" : "Varnel's setting",
                utcFlag ? "UTC" : "UK civil time");
    if (options.RecordPath != nullptr)
        std::printf("Recording every sample to %s\n", options.RecordPath);
    if (options.DurationSamples != 0)
        std::printf("Stops after %llu s; Ctrl-C stops it sooner.\n",
                    (unsigned long long)(options.DurationSamples / SAMPLES_PER_SECOND));
    else
        std::printf("Ctrl-C stops it.\n");
    std::printf("Each second: its number from the minute marker (-- until the first), the\n"
                "carrier-off pulses, the A and B bits, its length (regular: 960 to 1040 ms).\n"
                "Each message Varnel's tray would get, as varnel-replay prints it:\n");
    std::printf("%s\n", TIMECODE_LINE_HEADER);
    std::fflush(stdout);

    SampleLimit = options.DurationSamples;
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
    const UINT timer = timeSetEvent(SAMPLE_PERIOD_MS, 0, MonitorTick, 0,
                                    TIME_PERIODIC | TIME_CALLBACK_FUNCTION);
    if (timer == 0) {
        ReplacePortHandle(INVALID_PORT_HANDLE);
        if (RecordFile != INVALID_HANDLE_VALUE)
            CloseHandle(RecordFile);
        return Fail(EXIT_TIMER, "Couldn't start timer");
    }

    while (StopRequested.load() == 0 && TickDone.load() == 0) {
        Sleep(DRAIN_MS);
        DrainSamples();
        DrainReports();
    }

    // Stop the ticks, then take the last samples and reports.
    TickStop.store(1);
    timeKillEvent(timer);
    while (TickBusy.load() != 0)
        SwitchToThread();
    DrainSamples();
    DrainReports();
    const uint64_t taken = Observer.Sample;
    const bool byDuration = TickDone.load() != 0;
    int code = EXIT_DONE;
    if (RecordFile != INVALID_HANDLE_VALUE) {
        char trailer[128];
        FormatRecordingTrailer(taken, byDuration, trailer, sizeof trailer);
        if (RecordColumn != 0)
            WriteRecord("\r\n", 2);
        WriteRecord(trailer, std::strlen(trailer));
        FlushFileBuffers(RecordFile);
        CloseHandle(RecordFile);
        RecordFile = INVALID_HANDLE_VALUE;
        if (RecordFailed) {
            std::fprintf(stderr, "varnel-monitor: writing the recording failed; it is incomplete.\n");
            code = EXIT_RECORD;
        }
    }
    ReplacePortHandle(INVALID_PORT_HANDLE);
    std::printf("Stopped after %llu samples (%llu.%02llu s) by %s.\n", (unsigned long long)taken,
                (unsigned long long)(taken / SAMPLES_PER_SECOND),
                (unsigned long long)(taken % SAMPLES_PER_SECOND * 2),
                byDuration ? "--duration" : "Ctrl-C");
    return Finish(code);
}
