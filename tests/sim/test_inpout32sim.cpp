// Wine test of the simulated InpOut32.dll: its exports, the live signal against
// the synthesizer and against the MSF pulse rules, scripts, noise, offset and
// loss; and the observer's log lines and injected failures for this program's
// own imports. Usage: test_inpout32sim InpOut32.dll
#include <windows.h>
#include <commctrl.h>
#include <mmsystem.h>
#include <shellapi.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "msf_synth.h"

typedef short(__stdcall* Inp32Function)(short);
typedef void(__stdcall* Out32Function)(short, short);

static const char* LibraryPath;
static int Failures;

#define CHECK(condition, ...)                                       \
    do {                                                            \
        if (!(condition)) {                                         \
            ++Failures;                                             \
            printf("  FAIL %s:%d: %s: ", __FILE__, __LINE__, #condition); \
            printf(__VA_ARGS__);                                    \
            printf("\n");                                           \
        }                                                           \
    } while (0)

static const char* const AllVariables[] = {
    "VARNEL_SIM_PORT", "VARNEL_SIM_BIT", "VARNEL_SIM_LEVEL", "VARNEL_SIM_NOISE", "VARNEL_SIM_OFFSET",
    "VARNEL_SIM_OFF", "VARNEL_SIM_LOSS_AFTER", "VARNEL_SIM_SCRIPT", "VARNEL_SIM_SEED", "VARNEL_SIM_LOG",
    "VARNEL_SIM_FAIL_ADDS", "VARNEL_SIM_FAIL_CLOCK", "VARNEL_SIM_FAIL_COM", "VARNEL_SIM_TIMER",
    "VARNEL_SIM_FAIL_GETMESSAGE", "VARNEL_SIM_NO_PROC"};

// Sets exactly the given "NAME=value" variables (the library reads them at load).
static void SetEnvironment(const std::vector<std::string>& settings)
{
    for (const char* name : AllVariables)
        SetEnvironmentVariableA(name, nullptr);
    for (const std::string& setting : settings) {
        const size_t equals = setting.find('=');
        SetEnvironmentVariableA(setting.substr(0, equals).c_str(), setting.substr(equals + 1).c_str());
    }
}

static int64_t NowUtcMs()
{
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    return (int64_t(uint64_t(now.dwHighDateTime) << 32 | now.dwLowDateTime) - 116444736000000000LL) / 10000;
}

static bool CarrierAt(int64_t utcMs)
{
    const SynthSignal signal = {0, false, 0};
    return SynthCarrierOn(signal, SynthSignalUsFromUtcMs(signal, utcMs));
}

struct Sample {
    int64_t Before, After;                // UTC ms around the call
    int64_t ElapsedUs, ElapsedAfterUs;    // around the call, since the recording began, by our own counter
    unsigned Byte;
};

static std::vector<Sample> Record(Inp32Function inp32, uint16_t port, int durationMs)
{
    std::vector<Sample> samples;
    LARGE_INTEGER frequency, start, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    for (;;) {
        QueryPerformanceCounter(&now);
        const int64_t elapsedUs = (now.QuadPart - start.QuadPart) * 1000000 / frequency.QuadPart;
        if (elapsedUs >= int64_t(durationMs) * 1000)
            break;
        Sample s;
        s.ElapsedUs = elapsedUs;
        s.Before = NowUtcMs();
        s.Byte = unsigned(uint16_t(inp32(short(port))));
        s.After = NowUtcMs();
        QueryPerformanceCounter(&now);
        s.ElapsedAfterUs = (now.QuadPart - start.QuadPart) * 1000000 / frequency.QuadPart;
        samples.push_back(s);
        Sleep(1);
    }
    return samples;
}

// --- The live signal ---

enum Expect : uint8_t {
    LIVE,        // the carrier of (now + OffsetMs), inverted when Invert
    STUCK_OFF,   // always the carrier-off level
    HALF_NOISE,  // about half the reads inverted
    LOSS_AT_500, // live for 0.5 s, then the carrier-off level
    SCRIPT,      // 100 ms blocks 0,1,0,1 then held at the carrier-on level
};

struct SignalCase {
    const char* Name;
    std::vector<std::string> Settings;
    uint16_t Port;
    unsigned Bit;
    unsigned Level;   // line level when the carrier is on
    int64_t OffsetMs;
    bool Invert;
    Expect Kind;
    int DurationMs;
};

// Live reads whose call straddles no carrier edge must match the synthesizer.
static void CheckLive(const SignalCase& c, const std::vector<Sample>& samples, int64_t fromUs, int64_t toUs)
{
    unsigned compared = 0, wrong = 0;
    for (const Sample& s : samples) {
        if (s.ElapsedUs < fromUs || s.ElapsedAfterUs >= toUs)
            continue;
        const bool before = CarrierAt(s.Before + c.OffsetMs), after = CarrierAt(s.After + c.OffsetMs);
        if (before != after)
            continue;
        const unsigned line = (before ? c.Level : 1 - c.Level) ^ unsigned(c.Invert);
        ++compared;
        wrong += ((s.Byte >> c.Bit) & 1) != line;
    }
    CHECK(compared > 100, "%s: only %u reads compared", c.Name, compared);
    CHECK(wrong == 0, "%s: %u of %u reads disagree with the synthesizer", c.Name, wrong, compared);
}

// Independent of the synthesizer: with no offset every carrier-off pulse
// starts on a whole UTC second and lasts 100, 200, 300 or 500 ms. An edge lies
// between the start of the read before it and the end of the read after it;
// edges whose bracket is wider than 10 ms (a read that came late) are not judged.
static void CheckPulseShape(const SignalCase& c, const std::vector<Sample>& samples)
{
    constexpr int64_t kSlackMs = 2;  // the clock is read to the whole ms
    unsigned pulses = 0;
    bool started = false;
    int64_t startLo = 0, startHi = 0;
    for (size_t i = 1; i < samples.size(); ++i) {
        const bool wasOn = ((samples[i - 1].Byte >> c.Bit) & 1) == c.Level;
        const bool isOn = ((samples[i].Byte >> c.Bit) & 1) == c.Level;
        const int64_t lo = samples[i - 1].Before, hi = samples[i].After;
        const bool sharp = hi - lo <= 10;
        if (wasOn && !isOn) {
            const int64_t second = (hi + kSlackMs) / 1000 * 1000;  // the last whole second by the bracket's end
            CHECK(!sharp || second >= lo - kSlackMs, "%s: pulse starts between %" PRId64 " and %" PRId64
                  " ms into a second", c.Name, lo % 1000, hi % 1000);
            started = sharp;
            startLo = lo;
            startHi = hi;
        } else if (!wasOn && isOn && started) {
            bool allowed = false;
            for (int64_t expected : {100, 200, 300, 500})
                allowed |= expected >= lo - startHi - kSlackMs && expected <= hi - startLo + kSlackMs;
            CHECK(!sharp || allowed, "%s: pulse of %" PRId64 " to %" PRId64 " ms", c.Name, lo - startHi,
                  hi - startLo);
            pulses += sharp;
            started = false;
        }
    }
    CHECK(pulses >= 2, "%s: only %u whole pulses seen", c.Name, pulses);
}

static void RunSignalCase(const SignalCase& c)
{
    printf("signal: %s\n", c.Name);
    SetEnvironment(c.Settings);
    HMODULE library = LoadLibraryA(LibraryPath);
    CHECK(library != nullptr, "%s: LoadLibrary failed, error %lu", c.Name, GetLastError());
    if (!library)
        return;
    Inp32Function inp32 = reinterpret_cast<Inp32Function>(reinterpret_cast<void*>(GetProcAddress(library, "Inp32")));
    CHECK(inp32 != nullptr, "%s: no Inp32", c.Name);
    if (inp32) {
        const std::vector<Sample> samples = Record(inp32, c.Port, c.DurationMs);
        // Every other bit, and every other port, reads 1.
        for (const Sample& s : samples)
            if ((s.Byte | (1u << c.Bit)) != 0xFF) {
                CHECK(false, "%s: read 0x%x", c.Name, s.Byte);
                break;
            }
        CHECK(inp32(short(c.Port ^ 1)) == 0xFF, "%s: another port", c.Name);
        CHECK(inp32(short(0x378)) == 0xFF || c.Port == 0x378, "%s: port 0x378", c.Name);

        unsigned offReads = 0, total = 0;
        for (const Sample& s : samples) {
            ++total;
            offReads += ((s.Byte >> c.Bit) & 1) != c.Level;
        }
        switch (c.Kind) {
        case LIVE:
            CheckLive(c, samples, 0, INT64_MAX);
            if (c.OffsetMs == 0 && !c.Invert)
                CheckPulseShape(c, samples);
            break;
        case STUCK_OFF:
            CHECK(offReads == total, "%s: %u of %u reads at the carrier-off level", c.Name, offReads, total);
            break;
        case HALF_NOISE: {
            unsigned compared = 0, wrong = 0;
            for (const Sample& s : samples) {
                const bool carrier = CarrierAt(s.Before);
                if (carrier != CarrierAt(s.After))
                    continue;
                ++compared;
                wrong += ((s.Byte >> c.Bit) & 1) != (carrier ? c.Level : 1 - c.Level);
            }
            CHECK(wrong * 10 > compared * 3 && wrong * 10 < compared * 7, "%s: %u of %u reads inverted", c.Name,
                  wrong, compared);
            break;
        }
        case LOSS_AT_500: {
            CheckLive(c, samples, 0, 480000);
            unsigned late = 0, lateOff = 0;
            for (const Sample& s : samples)
                if (s.ElapsedUs - samples.front().ElapsedAfterUs > 520000) {  // by the loss clock, begun in the first call
                    ++late;
                    lateOff += ((s.Byte >> c.Bit) & 1) != c.Level;
                }
            CHECK(late > 50 && lateOff == late, "%s: %u of %u reads after the loss at the off level", c.Name,
                  lateOff, late);
            break;
        }
        case SCRIPT: {
            // Blocks of five samples: 0, 1, 0, 1; the script's clock starts
            // somewhere inside the first call. A read is judged only when it lies
            // inside one block by both ends of both calls, margins kept.
            unsigned compared = 0, wrong = 0;
            const Sample& first = samples.front();
            for (const Sample& s : samples) {
                const int64_t earliest = s.ElapsedUs - first.ElapsedAfterUs;
                const int64_t latest = s.ElapsedAfterUs - first.ElapsedUs;
                if (earliest / 100000 != latest / 100000 || earliest % 100000 < 3000 || latest % 100000 > 97000)
                    continue;
                const int64_t block = earliest / 100000;
                const unsigned expected = block < 4 ? unsigned(block & 1) : c.Level;
                ++compared;
                wrong += ((s.Byte >> c.Bit) & 1) != expected;
            }
            CHECK(compared > 100 && wrong == 0, "%s: %u of %u reads off the script", c.Name, wrong, compared);
            break;
        }
        }
    }
    FreeLibrary(library);
}

static std::string TempFile(const char* name)
{
    char folder[MAX_PATH];
    GetTempPathA(sizeof folder, folder);
    return std::string(folder) + name;
}

static void WriteText(const std::string& path, const char* text)
{
    FILE* file = fopen(path.c_str(), "wb");
    fputs(text, file);
    fclose(file);
}

static std::vector<std::string> ReadLines(const std::string& path)
{
    std::vector<std::string> lines;
    FILE* file = fopen(path.c_str(), "rb");
    if (!file)
        return lines;
    char line[2048];
    while (fgets(line, sizeof line, file)) {
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.pop_back();
        lines.push_back(text);
    }
    fclose(file);
    return lines;
}

// --- The observer ---

struct HookCase {
    const char* Name;
    std::vector<std::string> Settings;
    void (*Act)(std::vector<std::string>* expected);  // calls the imports, adds the lines it expects
};

static std::string Format(const char* format, ...) __attribute__((format(__MINGW_PRINTF_FORMAT, 1, 2)));
static std::string Format(const char* format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

static NOTIFYICONDATAA TrayRecord(UINT id, HICON icon)
{
    NOTIFYICONDATAA data;
    memset(&data, 0, sizeof data);
    data.cbSize = NOTIFYICONDATAA_V1_SIZE;
    data.uID = id;
    data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    data.uCallbackMessage = WM_USER + 1;
    data.hIcon = icon;
    strcpy(data.szTip, "MSF \"wait\"\\ \x01");
    return data;
}

static void ActFaults(std::vector<std::string>* expected)
{
    // Icons: the handle is reported by the name it was loaded with.
    HICON icon = LoadIconA(nullptr, IDI_APPLICATION);
    expected->push_back(Format("ICON call=LoadIconA name=#32512 result=0x%" PRIxPTR, uintptr_t(icon)));
    HANDLE missing = LoadImageA(GetModuleHandleA(nullptr), "VarnelGood", IMAGE_ICON, 16, 16, LR_DEFAULTCOLOR);
    expected->push_back("ICON call=LoadImageA name=VarnelGood type=1 cx=16 cy=16 flags=0x0 result=0x0");
    CHECK(missing == nullptr, "a resource this program lacks");
    const char* iconName = icon ? "#32512" : "null";

    // Two injected add failures, then the shell itself.
    for (UINT id = 1; id <= 3; ++id) {
        NOTIFYICONDATAA data = TrayRecord(id, icon);
        const BOOL result = Shell_NotifyIconA(NIM_ADD, &data);
        if (id < 3)
            CHECK(!result, "add %u must fail", id);
        expected->push_back(Format("NOTIFY op=ADD hwnd=0x0 id=%u flags=0x7 msg=1025 icon=%s "
                                   "tip=\"MSF \\\"wait\\\"\\\\ \\x01\" size=%u result=%d injected=%d",
                                   id, iconName, unsigned(NOTIFYICONDATAA_V1_SIZE), result ? 1 : 0, id < 3));
    }
    NOTIFYICONDATAA data = TrayRecord(3, nullptr);
    const BOOL deleted = Shell_NotifyIconA(NIM_DELETE, &data);
    expected->push_back(Format("NOTIFY op=DELETE hwnd=0x0 id=3 flags=0x7 msg=1025 icon=null "
                               "tip=\"MSF \\\"wait\\\"\\\\ \\x01\" size=%u result=%d injected=0",
                               unsigned(NOTIFYICONDATAA_V1_SIZE), deleted ? 1 : 0));

    SYSTEMTIME time = {2026, 12, 1, 7, 4, 17, 0, 0};
    const BOOL set = SetLocalTime(&time);
    CHECK(!set && GetLastError() == ERROR_PRIVILEGE_NOT_HELD, "clock must fail with 1314, got %lu", GetLastError());
    expected->push_back("CLOCK call=SetLocalTime time=2026-12-07T04:17:00.000 dow=1 result=0 error=1314 injected=1");

    // Listed ports fail, as missing or with their own error (COM5: in use);
    // others reach the system (logged, not injected).
    const struct {
        const char* Name;
        DWORD Error;
    } failing[] = {{"\\\\.\\COM3", ERROR_FILE_NOT_FOUND}, {"COM5", ERROR_ACCESS_DENIED},
                   {"\\\\.\\com5:", ERROR_ACCESS_DENIED}};
    for (const auto& f : failing) {
        HANDLE port = CreateFileA(f.Name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        CHECK(port == INVALID_HANDLE_VALUE && GetLastError() == f.Error, "%s must fail with %lu", f.Name, f.Error);
    }
    expected->push_back("COM call=CreateFileA name=\"\\\\\\\\.\\\\COM3\" port=3 result=invalid error=2 injected=1");
    expected->push_back("COM call=CreateFileA name=\"COM5\" port=5 result=invalid error=5 injected=1");
    expected->push_back("COM call=CreateFileA name=\"\\\\\\\\.\\\\com5:\" port=5 result=invalid error=5 injected=1");
    HANDLE port4 = CreateFileA("\\\\.\\COM4", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    const DWORD error4 = port4 == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    expected->push_back(port4 == INVALID_HANDLE_VALUE
                            ? Format("COM call=CreateFileA name=\"\\\\\\\\.\\\\COM4\" port=4 result=invalid error=%lu injected=0", error4)
                            : Format("COM call=CreateFileA name=\"\\\\\\\\.\\\\COM4\" port=4 result=0x%" PRIxPTR " error=0 injected=0",
                                     uintptr_t(port4)));
    if (port4 != INVALID_HANDLE_VALUE)
        CloseHandle(port4);
    // Not a COM device: no line (the checker finds "COMMON" nowhere).
    HANDLE other = CreateFileA("COMMON.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (other != INVALID_HANDLE_VALUE)
        CloseHandle(other);

    TIMECAPS caps;
    const MMRESULT capsResult = timeGetDevCaps(&caps, sizeof caps);
    CHECK(capsResult == TIMERR_NOERROR && caps.wPeriodMin == 3, "min period %u", caps.wPeriodMin);
    expected->push_back(Format("TIMER call=timeGetDevCaps result=0 min=3 max=%u injected=1", caps.wPeriodMax));
}

static void ActCapsFail(std::vector<std::string>* expected)
{
    TIMECAPS caps;
    CHECK(timeGetDevCaps(&caps, sizeof caps) == TIMERR_NOCANDO, "caps must fail");
    expected->push_back("TIMER call=timeGetDevCaps result=97 min=- max=- injected=1");
}

static void CALLBACK NoTick(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) {}

static void ActStartFail(std::vector<std::string>* expected)
{
    CHECK(timeSetEvent(20, 0, NoTick, 0, TIME_PERIODIC) == 0, "start must fail");
    expected->push_back("TIMER call=timeSetEvent delay=20 resolution=0 flags=0x1 result=0 injected=1");
}

// No faults asked for: every call reaches the system and the log tells its result.
static void ActPassThrough(std::vector<std::string>* expected)
{
    NOTIFYICONDATAA data = TrayRecord(1, nullptr);
    const BOOL added = Shell_NotifyIconA(NIM_ADD, &data);
    expected->push_back(Format("NOTIFY op=ADD hwnd=0x0 id=1 flags=0x7 msg=1025 icon=null "
                               "tip=\"MSF \\\"wait\\\"\\\\ \\x01\" size=%u result=%d injected=0",
                               unsigned(NOTIFYICONDATAA_V1_SIZE), added ? 1 : 0));
    SYSTEMTIME now;
    GetLocalTime(&now);
    const BOOL set = SetLocalTime(&now);
    const DWORD error = set ? 0 : GetLastError();
    expected->push_back(Format("CLOCK call=SetLocalTime time=%04u-%02u-%02uT%02u:%02u:%02u.%03u dow=%u result=%d "
                               "error=%lu injected=0",
                               now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
                               now.wMilliseconds, now.wDayOfWeek, set ? 1 : 0, error));
    TIMECAPS caps;
    CHECK(timeGetDevCaps(&caps, sizeof caps) == TIMERR_NOERROR, "real caps");
    expected->push_back(Format("TIMER call=timeGetDevCaps result=0 min=%u max=%u injected=0", caps.wPeriodMin,
                               caps.wPeriodMax));
    const MMRESULT timer = timeSetEvent(20, 0, NoTick, 0, TIME_PERIODIC);
    CHECK(timer != 0, "real timer");
    expected->push_back(Format("TIMER call=timeSetEvent delay=20 resolution=0 flags=0x1 result=%u injected=0", timer));
    const MMRESULT killed = timeKillEvent(timer);
    expected->push_back(Format("TIMER call=timeKillEvent id=%u result=%u injected=0", timer, killed));
}

// Run-time resolved filters come back wrapped (or not at all when listed as
// missing); other names pass unlogged; GetMessageA fails from its second call.
static void ActResolvedAndLoop(std::vector<std::string>* expected)
{
    HMODULE user32 = GetModuleHandleA("user32.dll");
    typedef BOOL(WINAPI * FilterExFunction)(HWND, UINT, DWORD, void*);
    FARPROC found = GetProcAddress(user32, "ChangeWindowMessageFilterEx");
    CHECK(found != nullptr, "ChangeWindowMessageFilterEx must be found");
    if (found) {
        expected->push_back("PROC call=GetProcAddress name=ChangeWindowMessageFilterEx result=wrapped injected=0");
        const BOOL result =
            reinterpret_cast<FilterExFunction>(reinterpret_cast<void (*)()>(found))(nullptr, 49321, 1, nullptr);
        expected->push_back(Format("FILTER call=ChangeWindowMessageFilterEx hwnd=0x0 msg=49321 action=1 result=%d "
                                   "error=%lu", result ? 1 : 0, result ? 0 : GetLastError()));
    }
    CHECK(GetProcAddress(user32, "ChangeWindowMessageFilter") == nullptr && GetLastError() == ERROR_PROC_NOT_FOUND,
          "a listed name is not found");
    expected->push_back("PROC call=GetProcAddress name=ChangeWindowMessageFilter result=null error=127 injected=1");
    CHECK(GetProcAddress(user32, "GetMessageA") != nullptr, "other names are found, unlogged");

    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_STANDARD_CLASSES};
    const BOOL initialised = InitCommonControlsEx(&controls);
    expected->push_back(Format("COMCTL call=InitCommonControlsEx size=%u classes=0x4000 result=%d",
                               unsigned(sizeof controls), initialised ? 1 : 0));

    MSG message;
    PostThreadMessageA(GetCurrentThreadId(), WM_USER, 7, 0);
    CHECK(GetMessageA(&message, nullptr, 0, 0) > 0 && message.wParam == 7, "first GetMessageA reaches the queue");
    for (unsigned call = 2; call <= 3; ++call) {
        CHECK(GetMessageA(&message, nullptr, 0, 0) == -1 && GetLastError() == ERROR_INVALID_WINDOW_HANDLE,
              "GetMessageA call %u must fail", call);
        expected->push_back(Format("LOOP call=GetMessageA count=%u result=-1 error=1400 injected=1", call));
    }
}

// "hh:mm:ss.mmm ms " then the text; ms never decreases.
static bool SplitLine(const std::string& line, int64_t* ms, std::string* text)
{
    unsigned h, m, s, milli;
    long long mono;
    int used = 0;
    if (sscanf(line.c_str(), "%2u:%2u:%2u.%3u %lld %n", &h, &m, &s, &milli, &mono, &used) != 5 || used == 0 ||
        line[2] != ':' || line[8] != '.' || line[12] != ' ' || h > 23 || m > 59 || s > 60)
        return false;
    *ms = mono;
    *text = line.substr(size_t(used));
    return true;
}

static void RunHookCase(const HookCase& c)
{
    printf("observer: %s\n", c.Name);
    const std::string log = TempFile("inpout32sim_test.log");
    DeleteFileA(log.c_str());
    std::vector<std::string> settings = c.Settings;
    settings.push_back("VARNEL_SIM_LOG=" + log);
    SetEnvironment(settings);
    HMODULE library = LoadLibraryA(LibraryPath);
    CHECK(library != nullptr, "%s: LoadLibrary failed", c.Name);
    if (!library)
        return;
    std::vector<std::string> expected;
    c.Act(&expected);
    FreeLibrary(library);
    // The import table is restored: this add reaches the shell and is not logged.
    NOTIFYICONDATAA data = TrayRecord(9, nullptr);
    Shell_NotifyIconA(NIM_DELETE, &data);

    std::vector<std::string> texts;
    int64_t last = -1;
    for (const std::string& line : ReadLines(log)) {
        int64_t ms = 0;
        std::string text;
        CHECK(SplitLine(line, &ms, &text), "%s: malformed line '%s'", c.Name, line.c_str());
        CHECK(ms >= last, "%s: ms went back in '%s'", c.Name, line.c_str());
        last = ms;
        texts.push_back(text);
    }
    CHECK(!texts.empty() && texts[0].rfind("START pid=", 0) == 0, "%s: no START line", c.Name);
    for (const char* name : {"Shell_NotifyIconA", "SetLocalTime", "LoadImageA", "LoadIconA", "CreateFileA",
                             "timeGetDevCaps", "timeSetEvent", "timeKillEvent", "InitCommonControlsEx",
                             "GetMessageA", "GetProcAddress"}) {
        bool found = false;
        for (const std::string& text : texts)
            found |= text == std::string("HOOK name=") + name + " result=patched";
        CHECK(found, "%s: %s not patched", c.Name, name);
    }
    // Expected lines appear in order, and every logged call was expected.
    size_t at = 0;
    for (const std::string& text : texts) {
        if (text.rfind("START ", 0) == 0 || text.rfind("HOOK ", 0) == 0 || text.rfind("WARN ", 0) == 0)
            continue;
        CHECK(at < expected.size() && text == expected[at], "%s: logged '%s'\n    expected '%s'", c.Name,
              text.c_str(), at < expected.size() ? expected[at].c_str() : "(nothing)");
        ++at;
    }
    CHECK(at == expected.size(), "%s: %zu expected lines missing, first '%s'", c.Name, expected.size() - at,
          at < expected.size() ? expected[at].c_str() : "");
}

static void CheckStartLine()
{
    printf("observer: START line and bad values\n");
    const std::string log = TempFile("inpout32sim_start.log");
    DeleteFileA(log.c_str());
    SetEnvironment({"VARNEL_SIM_LOG=" + log, "VARNEL_SIM_PORT=378", "VARNEL_SIM_BIT=9", "VARNEL_SIM_LEVEL=0",
                    "VARNEL_SIM_NOISE=0.25", "VARNEL_SIM_OFFSET=-90.5", "VARNEL_SIM_FAIL_COM=3,x,12:5,4:0",
                    "VARNEL_SIM_TIMER=min-period:4", "VARNEL_SIM_FAIL_ADDS=2", "VARNEL_SIM_FAIL_GETMESSAGE=-1",
                    "VARNEL_SIM_NO_PROC=Inp31,Out31"});
    HMODULE library = LoadLibraryA(LibraryPath);
    CHECK(library != nullptr, "LoadLibrary");
    Out32Function out32 = reinterpret_cast<Out32Function>(reinterpret_cast<void*>(GetProcAddress(library, "Out32")));
    Inp32Function inp32 = reinterpret_cast<Inp32Function>(reinterpret_cast<void*>(GetProcAddress(library, "Inp32")));
    CHECK(out32 && inp32, "exports");
    if (out32 && inp32) {
        out32(0x37A, 0x1234);
        inp32(0x379);
        inp32(0x379);  // a port already read is not logged again
        inp32(0x201);
    }
    FreeLibrary(library);
    std::vector<std::string> texts;
    for (const std::string& line : ReadLines(log)) {
        int64_t ms;
        std::string text;
        if (SplitLine(line, &ms, &text) && text.rfind("HOOK ", 0) != 0)
            texts.push_back(text);
    }
    const size_t module = texts.empty() ? std::string::npos : texts[0].find(" port=");
    const std::vector<std::string> expected = {
        "port=0x378 bit=7 level=0 noise=0.25 offset=-90.500 off=0 loss-after=- script=- fail-adds=2 fail-clock=0 "
        "fail-com=3,12:5 timer=min-period:4 fail-getmessage=0 no-proc=Inp31,Out31",
        "WARN ignored=VARNEL_SIM_BIT=9,VARNEL_SIM_FAIL_COM=x,VARNEL_SIM_FAIL_COM=4:0,VARNEL_SIM_FAIL_GETMESSAGE=-1",
        "OUT port=0x37a value=0x34",
        "INP port=0x379 value=0xff first=1",
        "INP port=0x201 value=0xff first=1",
    };
    CHECK(texts.size() == expected.size(), "%zu lines", texts.size());
    for (size_t i = 0; i < texts.size() && i < expected.size(); ++i) {
        const std::string got = i == 0 && module != std::string::npos ? texts[0].substr(module + 1) : texts[i];
        CHECK(got == expected[i], "got '%s'\n    expected '%s'", got.c_str(), expected[i].c_str());
    }
}

int main(int argc, char** argv)
{
    if (argc != 2) {
        printf("usage: test_inpout32sim InpOut32.dll\n");
        return 2;
    }
    LibraryPath = argv[1];

    const std::string script = TempFile("inpout32sim_script.txt");
    WriteText(script, "# other characters, such as these, are skipped; so are comments: 0101\n"
                      "00000 11111\r\n0000x0 111 11 # 0 1\n");
    // Samples: five 0s, five 1s, five 0s, five 1s.
    // 3.6 s of live signal hold three whole pulses wherever in a second they
    // start (the last may be 500 ms long): two even if a late read hides one.
    const SignalCase signalCases[] = {
        {"defaults: port 0x201, bit 7, level 1", {}, 0x201, 7, 1, 0, false, LIVE, 3600},
        {"port 0x379, bit 3, level 0", {"VARNEL_SIM_PORT=0x379", "VARNEL_SIM_BIT=3", "VARNEL_SIM_LEVEL=0"},
         0x379, 3, 0, 0, false, LIVE, 3600},
        {"offset -3600.25 s", {"VARNEL_SIM_OFFSET=-3600.25"}, 0x201, 7, 1, -3600250, false, LIVE, 1500},
        {"noise 1: every read inverted", {"VARNEL_SIM_NOISE=1"}, 0x201, 7, 1, 0, true, LIVE, 1200},
        {"noise 0.5", {"VARNEL_SIM_NOISE=0.5", "VARNEL_SIM_SEED=7"}, 0x201, 7, 1, 0, false, HALF_NOISE, 800},
        {"signal off", {"VARNEL_SIM_OFF=1", "VARNEL_SIM_LEVEL=0"}, 0x201, 7, 0, 0, false, STUCK_OFF, 1100},
        {"loss after 0.5 s", {"VARNEL_SIM_LOSS_AFTER=0.5"}, 0x201, 7, 1, 0, false, LOSS_AT_500, 1200},
        {"script, then carrier-on level 1", {"VARNEL_SIM_SCRIPT=" + script}, 0x201, 7, 1, 0, false, SCRIPT, 700},
        {"script, then carrier-on level 0", {"VARNEL_SIM_SCRIPT=" + script, "VARNEL_SIM_LEVEL=0", "VARNEL_SIM_BIT=0"},
         0x201, 0, 0, 0, false, SCRIPT, 700},
    };
    for (const SignalCase& c : signalCases)
        RunSignalCase(c);

    const HookCase hookCases[] = {
        {"faults: two adds, clock, COM3 missing and COM5 in use, min period 3",
         {"VARNEL_SIM_FAIL_ADDS=2", "VARNEL_SIM_FAIL_CLOCK=1", "VARNEL_SIM_FAIL_COM=3,5:5",
          "VARNEL_SIM_TIMER=min-period:3"},
         ActFaults},
        {"timer capabilities fail", {"VARNEL_SIM_TIMER=caps-fail"}, ActCapsFail},
        {"timer start fails", {"VARNEL_SIM_TIMER=start-fail"}, ActStartFail},
        {"no faults: calls reach the system", {}, ActPassThrough},
        {"resolved filters, a missing name, common controls, GetMessageA from call 2",
         {"VARNEL_SIM_NO_PROC=ChangeWindowMessageFilter", "VARNEL_SIM_FAIL_GETMESSAGE=2"}, ActResolvedAndLoop},
    };
    for (const HookCase& c : hookCases)
        RunHookCase(c);
    CheckStartLine();

    printf(Failures ? "%d failure(s)\n" : "all passed\n", Failures);
    return Failures ? 1 : 0;
}
