// Simulated InpOut32: reads the VARNEL_SIM_* environment variables once, at
// DLL load, into the Sim record. A bad value keeps the default and is logged.
#include "sim.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

SimConfig Sim;

// Bad values seen before the log was open; reported by SimReportConfig.
static char Rejected[512];

static void Reject(const char* name, const char* value)
{
    const size_t used = strlen(Rejected);
    snprintf(Rejected + used, sizeof Rejected - used, "%s%s=%.40s", used ? "," : "", name, value);
}

// GetEnvironmentVariableA, not getenv: the CRT's copy of the environment is
// taken when the CRT starts, so a test that sets a variable with
// SetEnvironmentVariableA just before LoadLibrary would not be seen.
static bool Env(const char* name, char* value, DWORD size)
{
    const DWORD length = GetEnvironmentVariableA(name, value, size);
    return length > 0 && length < size;
}

// Whole string must be a number in [low, high].
static bool ParseInteger(const char* text, int base, long long low, long long high, long long* out)
{
    char* end = nullptr;
    const long long value = strtoll(text, &end, base);
    if (end == text || *end != '\0' || value < low || value > high)
        return false;
    *out = value;
    return true;
}

static bool ParseReal(const char* text, double low, double high, double* out)
{
    char* end = nullptr;
    const double value = strtod(text, &end);
    if (end == text || *end != '\0' || !(value >= low && value <= high))
        return false;
    *out = value;
    return true;
}

static void ReadInteger(const char* name, int base, long long low, long long high, long long* out)
{
    char value[64];
    if (Env(name, value, sizeof value) && !ParseInteger(value, base, low, high, out))
        Reject(name, value);
}

// "3,5:5": COM port numbers 1..255, each optionally with the system error code
// its open fails with (1..65535; ERROR_FILE_NOT_FOUND when not given).
static void ReadComList(const char* text)
{
    char copy[128];
    snprintf(copy, sizeof copy, "%s", text);
    for (char* item = strtok(copy, ", "); item; item = strtok(nullptr, ", ")) {
        char* colon = strchr(item, ':');
        if (colon)
            *colon = '\0';
        long long port = 0, error = ERROR_FILE_NOT_FOUND;
        if (!ParseInteger(item, 10, 1, 255, &port) ||
            (colon && !ParseInteger(colon + 1, 10, 1, 65535, &error)) ||
            Sim.FailComCount == SIM_MAX_FAIL_COM) {
            if (colon)
                *colon = ':';
            Reject("VARNEL_SIM_FAIL_COM", item);
            continue;
        }
        Sim.FailComError[Sim.FailComCount] = uint16_t(error);
        Sim.FailCom[Sim.FailComCount++] = uint8_t(port);
    }
}

// "NameA,NameB": function names GetProcAddress is to miss.
static void ReadNoProcList(const char* text)
{
    char copy[256];
    snprintf(copy, sizeof copy, "%s", text);
    for (char* item = strtok(copy, ", "); item; item = strtok(nullptr, ", ")) {
        if (strlen(item) >= SIM_PROC_NAME_SIZE || Sim.NoProcCount == SIM_MAX_NO_PROC) {
            Reject("VARNEL_SIM_NO_PROC", item);
            continue;
        }
        snprintf(Sim.NoProc[Sim.NoProcCount++], SIM_PROC_NAME_SIZE, "%s", item);
    }
}

static void ReadTimerFault(const char* text)
{
    long long period = 0;
    if (strcmp(text, "caps-fail") == 0)
        Sim.Timer = TIMER_CAPS_FAIL;
    else if (strcmp(text, "start-fail") == 0)
        Sim.Timer = TIMER_START_FAIL;
    else if (strncmp(text, "min-period:", 11) == 0 && ParseInteger(text + 11, 10, 0, 1000000, &period)) {
        Sim.Timer = TIMER_MIN_PERIOD;
        Sim.MinPeriod = uint32_t(period);
    } else
        Reject("VARNEL_SIM_TIMER", text);
}

// Keeps only the '0' and '1' characters outside '#' comments, as the replay
// tool reads its input.
static void ReadScript(const char* name)
{
    HANDLE file = SimOpenFile(name, false);
    if (file == INVALID_HANDLE_VALUE) {
        Reject("VARNEL_SIM_SCRIPT", name);
        return;
    }
    const DWORD size = GetFileSize(file, nullptr);
    char* text = size == INVALID_FILE_SIZE ? nullptr
                                           : static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, size + 1));
    DWORD got = 0;
    if (text && ReadFile(file, text, size, &got, nullptr)) {
        uint32_t kept = 0;
        bool inComment = false;  // from a '#' to the end of its line
        for (DWORD i = 0; i < got; ++i) {
            if (inComment)
                inComment = text[i] != '\n';
            else if (text[i] == '#')
                inComment = true;
            else if (text[i] == '0' || text[i] == '1')
                text[kept++] = text[i];
        }
        Sim.Script = text;
        Sim.ScriptLength = kept;
    } else {
        Reject("VARNEL_SIM_SCRIPT", name);
    }
    CloseHandle(file);
}

HANDLE SimOpenFile(const char* name, bool forAppend)
{
    const DWORD access = forAppend ? FILE_APPEND_DATA : GENERIC_READ;
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const DWORD disposition = forAppend ? OPEN_ALWAYS : OPEN_EXISTING;
    // Under Wine a Unix path is handed over as it is; "/tmp/x" would otherwise
    // mean \tmp\x on the current drive, which is not / when the program sits in
    // drive_c. kernel32's Wine-only export does the mapping.
    typedef WCHAR*(CDECL * ToDosName)(const char*);
    ToDosName toDos = nullptr;
    if (name[0] == '/') {
        FARPROC proc = GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_dos_file_name");
        memcpy(&toDos, &proc, sizeof toDos);
    }
    if (toDos) {
        WCHAR* dosName = toDos(name);
        if (dosName) {
            HANDLE file = CreateFileW(dosName, access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
            HeapFree(GetProcessHeap(), 0, dosName);
            return file;
        }
    }
    return CreateFileA(name, access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

void SimReadConfig()
{
    Sim.Port = 0x201;
    Sim.Bit = 7;
    Sim.Level = 1;
    Sim.Seed = 1;
    Sim.LossAfterMs = -1;

    long long value = Sim.Port;
    ReadInteger("VARNEL_SIM_PORT", 16, 0, 0xFFFF, &value);
    Sim.Port = uint16_t(value);
    value = Sim.Bit;
    ReadInteger("VARNEL_SIM_BIT", 10, 0, 7, &value);
    Sim.Bit = uint8_t(value);
    value = Sim.Level;
    ReadInteger("VARNEL_SIM_LEVEL", 10, 0, 1, &value);
    Sim.Level = uint8_t(value);
    value = 0;
    ReadInteger("VARNEL_SIM_OFF", 10, 0, 1, &value);
    Sim.Off = value != 0;
    value = 1;
    ReadInteger("VARNEL_SIM_SEED", 10, 0, 0x7FFFFFFFFFFFFFFFLL, &value);
    Sim.Seed = uint64_t(value);

    char text[MAX_PATH * 2];
    if (Env("VARNEL_SIM_NOISE", text, sizeof text) && !ParseReal(text, 0, 1, &Sim.Noise))
        Reject("VARNEL_SIM_NOISE", text);
    // 2^64 does not fit: a certain flip uses the largest threshold and the
    // draw compares with <=, below.
    Sim.NoiseThreshold = Sim.Noise >= 1 ? UINT64_MAX : uint64_t(Sim.Noise * 18446744073709551616.0);

    double seconds = 0;
    if (Env("VARNEL_SIM_OFFSET", text, sizeof text)) {
        if (ParseReal(text, -1e9, 1e9, &seconds))
            Sim.OffsetMs = int64_t(llround(seconds * 1000));
        else
            Reject("VARNEL_SIM_OFFSET", text);
    }
    if (Env("VARNEL_SIM_LOSS_AFTER", text, sizeof text)) {
        if (ParseReal(text, 0, 1e9, &seconds))
            Sim.LossAfterMs = int64_t(llround(seconds * 1000));
        else
            Reject("VARNEL_SIM_LOSS_AFTER", text);
    }
    if (Env("VARNEL_SIM_SCRIPT", text, sizeof text))
        ReadScript(text);

    value = 0;
    Sim.Hooks |= Env("VARNEL_SIM_FAIL_ADDS", text, sizeof text);
    ReadInteger("VARNEL_SIM_FAIL_ADDS", 10, 0, 0xFFFFFFFF, &value);
    Sim.FailAdds = uint32_t(value);
    value = 0;
    Sim.Hooks |= Env("VARNEL_SIM_FAIL_CLOCK", text, sizeof text);
    ReadInteger("VARNEL_SIM_FAIL_CLOCK", 10, 0, 1, &value);
    Sim.FailClock = value != 0;
    if (Env("VARNEL_SIM_FAIL_COM", text, sizeof text)) {
        Sim.Hooks = true;
        ReadComList(text);
    }
    if (Env("VARNEL_SIM_TIMER", text, sizeof text)) {
        Sim.Hooks = true;
        ReadTimerFault(text);
    }
    value = 0;
    Sim.Hooks |= Env("VARNEL_SIM_FAIL_GETMESSAGE", text, sizeof text);
    ReadInteger("VARNEL_SIM_FAIL_GETMESSAGE", 10, 0, 0xFFFFFFFF, &value);
    Sim.FailGetMessage = uint32_t(value);
    if (Env("VARNEL_SIM_NO_PROC", text, sizeof text)) {
        Sim.Hooks = true;
        ReadNoProcList(text);
    }
    if (Env("VARNEL_SIM_LOG", text, sizeof text)) {
        Sim.Hooks = true;
        if (!SimLogOpen(text))
            Reject("VARNEL_SIM_LOG", text);
    }
}

void SimReportConfig()
{
    if (!SimLogging())
        return;
    char module[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, module, sizeof module);
    module[length < sizeof module ? length : 0] = '\0';
    char quoted[2 * MAX_PATH];
    SimQuote(quoted, sizeof quoted, module, MAX_PATH);
    char failCom[10 * SIM_MAX_FAIL_COM + 2] = "-";
    for (unsigned i = 0, used = 0; i < Sim.FailComCount; ++i) {
        used += snprintf(failCom + used, sizeof failCom - used, "%s%u", i ? "," : "", Sim.FailCom[i]);
        if (Sim.FailComError[i] != ERROR_FILE_NOT_FOUND)
            used += snprintf(failCom + used, sizeof failCom - used, ":%u", unsigned(Sim.FailComError[i]));
    }
    static const char* const timerNames[] = {"-", "caps-fail", "min-period:", "start-fail"};
    char timer[32];
    snprintf(timer, sizeof timer, "%s", timerNames[Sim.Timer]);
    if (Sim.Timer == TIMER_MIN_PERIOD)
        snprintf(timer, sizeof timer, "min-period:%u", unsigned(Sim.MinPeriod));
    char script[24] = "-";
    if (Sim.Script)
        snprintf(script, sizeof script, "%u", unsigned(Sim.ScriptLength));
    char lossAfter[24] = "-";
    char noProc[SIM_MAX_NO_PROC * SIM_PROC_NAME_SIZE + 2] = "-";
    for (unsigned i = 0, used = 0; i < Sim.NoProcCount; ++i)
        used += snprintf(noProc + used, sizeof noProc - used, "%s%s", i ? "," : "", Sim.NoProc[i]);
    if (Sim.LossAfterMs >= 0)
        snprintf(lossAfter, sizeof lossAfter, "%.3f", double(Sim.LossAfterMs) / 1000);

    SimLog("START pid=%lu module=%s port=0x%x bit=%u level=%u noise=%g offset=%.3f off=%u loss-after=%s "
           "script=%s fail-adds=%u fail-clock=%u fail-com=%s timer=%s fail-getmessage=%u no-proc=%s",
           GetCurrentProcessId(), quoted, unsigned(Sim.Port), unsigned(Sim.Bit), unsigned(Sim.Level),
           Sim.Noise, double(Sim.OffsetMs) / 1000, unsigned(Sim.Off), lossAfter, script,
           unsigned(Sim.FailAdds), unsigned(Sim.FailClock), failCom, timer, unsigned(Sim.FailGetMessage), noProc);
    if (Rejected[0])
        SimLog("WARN ignored=%s", Rejected);
}
