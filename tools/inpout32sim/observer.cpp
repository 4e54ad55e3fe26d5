// Simulated InpOut32's observer: patches the loading program's import table so
// that its tray, clock, COM-port, multimedia-timer, common-controls and message
// loop calls pass through here, logs each one and fails chosen ones on request;
// functions the program resolves at run time are watched through GetProcAddress.
// Log grammar: README.md.
//
// Import patching rather than inline hooks: it needs no disassembler, touches
// only the one program that loaded us (not the system DLLs every other module
// shares), and sees exactly what the program's import table shows.
#include "sim.h"

#include <commctrl.h>
#include <mmsystem.h>
#include <shellapi.h>

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>

static HANDLE LogFile = INVALID_HANDLE_VALUE;
static LARGE_INTEGER LoadTicks;   // performance counter at DLL load: the log's ms 0
static LARGE_INTEGER TickRate;

bool SimLogOpen(const char* path)
{
    QueryPerformanceFrequency(&TickRate);
    QueryPerformanceCounter(&LoadTicks);
    LogFile = SimOpenFile(path, true);
    return LogFile != INVALID_HANDLE_VALUE;
}

void SimLogClose()
{
    if (LogFile != INVALID_HANDLE_VALUE)
        CloseHandle(LogFile);
    LogFile = INVALID_HANDLE_VALUE;
}

bool SimLogging() { return LogFile != INVALID_HANDLE_VALUE; }

void SimLog(const char* format, ...)
{
    if (LogFile == INVALID_HANDLE_VALUE)
        return;
    SYSTEMTIME utc;
    GetSystemTime(&utc);
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    const int64_t ms = (now.QuadPart - LoadTicks.QuadPart) * 1000 / TickRate.QuadPart;

    char line[1024];
    int used = snprintf(line, sizeof line, "%02u:%02u:%02u.%03u %" PRId64 " ", utc.wHour, utc.wMinute,
                        utc.wSecond, utc.wMilliseconds, ms);
    va_list args;
    va_start(args, format);
    const int text = vsnprintf(line + used, sizeof line - used - 1, format, args);
    va_end(args);
    used += text < 0 ? 0 : text;
    if (used > int(sizeof line) - 2)
        used = int(sizeof line) - 2;
    line[used++] = '\n';
    // One WriteFile per line on an append handle: lines from the UI and timer
    // threads never interleave, and a reader tailing the file sees each line
    // as soon as it is written (no buffering of our own).
    DWORD written;
    WriteFile(LogFile, line, DWORD(used), &written, nullptr);
}

int SimQuote(char* out, int outSize, const char* text, int max)
{
    int used = 0;
    out[used++] = '"';
    for (int i = 0; i < max && text[i] != '\0' && used < outSize - 6; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out[used++] = '\\';
            out[used++] = char(c);
        } else if (c < 0x20 || c >= 0x7F) {
            used += snprintf(out + used, outSize - used, "\\x%02X", c);
        } else {
            out[used++] = char(c);
        }
    }
    out[used++] = '"';
    out[used] = '\0';
    return used;
}

// --- Icon handles and the resource names they were loaded by ---

struct IconName {
    HANDLE Handle;
    char Name[40];
};
static IconName IconNames[64];
static volatile LONG IconCount;

// "VarnelGood", "#101" for an integer resource, "null" for none.
static void ResourceName(char* out, size_t size, LPCSTR name)
{
    if (name == nullptr)
        snprintf(out, size, "null");
    else if (IS_INTRESOURCE(name))
        snprintf(out, size, "#%u", unsigned(reinterpret_cast<uintptr_t>(name)));
    else
        snprintf(out, size, "%.39s", name);
    // Names go into the log unquoted: keep them one token.
    for (char* p = out; *p; ++p)
        if (*p <= ' ' || *p == '"' || *p >= 0x7F)
            *p = '_';
}

static void RememberIcon(HANDLE handle, LPCSTR name)
{
    if (handle == nullptr)
        return;
    // Loads happen on the UI thread only; the atomic slot claim keeps a
    // reader on another thread from seeing a half-written count.
    const LONG count = IconCount;
    for (LONG i = 0; i < count && i < 64; ++i)
        if (IconNames[i].Handle == handle)
            return;  // LR_SHARED: the same handle again
    if (count >= 64)
        return;
    ResourceName(IconNames[count].Name, sizeof IconNames[count].Name, name);
    IconNames[count].Handle = handle;
    InterlockedExchange(&IconCount, count + 1);
}

static void IconLabel(char* out, size_t size, HICON icon)
{
    if (icon == nullptr) {
        snprintf(out, size, "null");
        return;
    }
    const LONG count = IconCount;
    for (LONG i = 0; i < count && i < 64; ++i)
        if (IconNames[i].Handle == icon) {
            snprintf(out, size, "%s", IconNames[i].Name);
            return;
        }
    snprintf(out, size, "0x%" PRIxPTR, reinterpret_cast<uintptr_t>(icon));
}

// --- The hooked calls ---

enum HookIndex {
    HOOK_SHELL_NOTIFY,
    HOOK_SET_LOCAL_TIME,
    HOOK_LOAD_IMAGE,
    HOOK_LOAD_ICON,
    HOOK_CREATE_FILE,
    HOOK_TIME_GET_DEV_CAPS,
    HOOK_TIME_SET_EVENT,
    HOOK_TIME_KILL_EVENT,
    HOOK_INIT_COMMON_CONTROLS,
    HOOK_GET_MESSAGE,
    HOOK_GET_PROC_ADDRESS,
    HOOK_COUNT
};

struct Hook {
    const char* Name;
    void* Replacement;
    void* Original;  // the slot's value before patching: the system's function
};
static Hook Hooks[HOOK_COUNT];

template <typename Function>
static Function Original(HookIndex index)
{
    Function function;
    static_assert(sizeof function == sizeof(void*), "function pointer size");
    memcpy(&function, &Hooks[index].Original, sizeof function);
    return function;
}

template <typename Function>
static void* AsPointer(Function function)
{
    void* pointer;
    static_assert(sizeof pointer == sizeof function, "function pointer size");
    memcpy(&pointer, &function, sizeof pointer);
    return pointer;
}

static volatile LONG AddsFailed;

static BOOL WINAPI HookShellNotifyIconA(DWORD message, PNOTIFYICONDATAA data)
{
    static const char* const names[] = {"ADD", "MODIFY", "DELETE", "SETFOCUS", "SETVERSION"};
    BOOL result;
    bool injected = false;
    if (message == NIM_ADD && Sim.FailAdds > 0 && uint32_t(InterlockedIncrement(&AddsFailed)) <= Sim.FailAdds) {
        injected = true;
        result = FALSE;
    } else {
        result = Original<BOOL(WINAPI*)(DWORD, PNOTIFYICONDATAA)>(HOOK_SHELL_NOTIFY)(message, data);
    }
    const DWORD error = GetLastError();

    char op[16];
    if (message < 5)
        snprintf(op, sizeof op, "%s", names[message]);
    else
        snprintf(op, sizeof op, "op%lu", message);
    if (data == nullptr) {
        SimLog("NOTIFY op=%s data=null result=%d injected=%d", op, result ? 1 : 0, injected ? 1 : 0);
    } else {
        // Only the fields inside the caller's declared size exist; 88 bytes
        // (the first version, i686) or 104 (x64) both hold the 64-byte tip.
        const DWORD size = data->cbSize;
        const size_t tipEnd = offsetof(NOTIFYICONDATAA, szTip) + 64;
        char icon[48] = "-";
        if (size >= offsetof(NOTIFYICONDATAA, hIcon) + sizeof(HICON))
            IconLabel(icon, sizeof icon, data->hIcon);
        char tip[64 * 4 + 3] = "-";
        if (size >= tipEnd)
            SimQuote(tip, sizeof tip, data->szTip, 64);
        SimLog("NOTIFY op=%s hwnd=0x%" PRIxPTR " id=%u flags=0x%x msg=%u icon=%s tip=%s size=%lu result=%d injected=%d",
               op, reinterpret_cast<uintptr_t>(data->hWnd), data->uID, data->uFlags, data->uCallbackMessage, icon,
               tip, size, result ? 1 : 0, injected ? 1 : 0);
    }
    SetLastError(error);
    return result;
}

static BOOL WINAPI HookSetLocalTime(const SYSTEMTIME* time)
{
    BOOL result;
    bool injected = false;
    if (Sim.FailClock) {
        injected = true;
        result = FALSE;
        SetLastError(ERROR_PRIVILEGE_NOT_HELD);
    } else {
        result = Original<BOOL(WINAPI*)(const SYSTEMTIME*)>(HOOK_SET_LOCAL_TIME)(time);
    }
    const DWORD error = result ? 0 : GetLastError();
    if (time == nullptr)
        SimLog("CLOCK call=SetLocalTime time=null result=%d error=%lu injected=%d", result ? 1 : 0, error,
               injected ? 1 : 0);
    else
        SimLog("CLOCK call=SetLocalTime time=%04u-%02u-%02uT%02u:%02u:%02u.%03u dow=%u result=%d error=%lu injected=%d",
               time->wYear, time->wMonth, time->wDay, time->wHour, time->wMinute, time->wSecond,
               time->wMilliseconds, time->wDayOfWeek, result ? 1 : 0, error, injected ? 1 : 0);
    SetLastError(error);
    return result;
}

static HANDLE WINAPI HookLoadImageA(HINSTANCE instance, LPCSTR name, UINT type, int cx, int cy, UINT flags)
{
    HANDLE result = Original<HANDLE(WINAPI*)(HINSTANCE, LPCSTR, UINT, int, int, UINT)>(HOOK_LOAD_IMAGE)(
        instance, name, type, cx, cy, flags);
    const DWORD error = GetLastError();
    if (type == IMAGE_ICON)
        RememberIcon(result, name);
    char label[48];
    ResourceName(label, sizeof label, name);
    SimLog("ICON call=LoadImageA name=%s type=%u cx=%d cy=%d flags=0x%x result=0x%" PRIxPTR, label, type, cx, cy,
           flags, reinterpret_cast<uintptr_t>(result));
    SetLastError(error);
    return result;
}

static HICON WINAPI HookLoadIconA(HINSTANCE instance, LPCSTR name)
{
    HICON result = Original<HICON(WINAPI*)(HINSTANCE, LPCSTR)>(HOOK_LOAD_ICON)(instance, name);
    const DWORD error = GetLastError();
    RememberIcon(result, name);
    char label[48];
    ResourceName(label, sizeof label, name);
    SimLog("ICON call=LoadIconA name=%s result=0x%" PRIxPTR, label, reinterpret_cast<uintptr_t>(result));
    SetLastError(error);
    return result;
}

// COM port number of "COMn" or "\\.\COMn" (any case), else 0.
static unsigned ComNumber(const char* name)
{
    if (name == nullptr)
        return 0;
    if (strncmp(name, "\\\\.\\", 4) == 0)
        name += 4;
    if (_strnicmp(name, "COM", 3) != 0)
        return 0;
    unsigned number = 0;
    const char* p = name + 3;
    for (; *p >= '0' && *p <= '9' && number < 1000; ++p)
        number = number * 10 + unsigned(*p - '0');
    if (*p == ':')
        ++p;
    return p > name + 3 && *p == '\0' ? number : 0;
}

static HANDLE WINAPI HookCreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                     DWORD disposition, DWORD flags, HANDLE templateFile)
{
    const unsigned com = ComNumber(name);
    bool injected = false;
    DWORD injectedError = 0;
    for (unsigned i = 0; com != 0 && i < Sim.FailComCount && !injected; ++i) {
        injected = Sim.FailCom[i] == com;
        injectedError = Sim.FailComError[i];
    }
    HANDLE result;
    if (injected) {
        result = INVALID_HANDLE_VALUE;
        SetLastError(injectedError);
    } else {
        result = Original<HANDLE(WINAPI*)(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE)>(
            HOOK_CREATE_FILE)(name, access, share, security, disposition, flags, templateFile);
    }
    // Only COM devices are logged: the program's other files are not our business.
    if (com != 0) {
        const DWORD error = result == INVALID_HANDLE_VALUE ? GetLastError() : 0;
        char quoted[80];
        SimQuote(quoted, sizeof quoted, name, 40);
        char handle[24] = "invalid";
        if (result != INVALID_HANDLE_VALUE)
            snprintf(handle, sizeof handle, "0x%" PRIxPTR, reinterpret_cast<uintptr_t>(result));
        SimLog("COM call=CreateFileA name=%s port=%u result=%s error=%lu injected=%d", quoted, com, handle, error,
               injected ? 1 : 0);
        SetLastError(error);
    }
    return result;
}

static MMRESULT WINAPI HookTimeGetDevCaps(LPTIMECAPS caps, UINT size)
{
    MMRESULT result;
    bool injected = false;
    if (Sim.Timer == TIMER_CAPS_FAIL) {
        injected = true;
        result = TIMERR_NOCANDO;
    } else {
        result = Original<MMRESULT(WINAPI*)(LPTIMECAPS, UINT)>(HOOK_TIME_GET_DEV_CAPS)(caps, size);
        if (result == TIMERR_NOERROR && Sim.Timer == TIMER_MIN_PERIOD && caps && size >= sizeof(TIMECAPS)) {
            injected = true;
            caps->wPeriodMin = Sim.MinPeriod;
        }
    }
    if (result == TIMERR_NOERROR && caps && size >= sizeof(TIMECAPS))
        SimLog("TIMER call=timeGetDevCaps result=%u min=%u max=%u injected=%d", result, caps->wPeriodMin,
               caps->wPeriodMax, injected ? 1 : 0);
    else
        SimLog("TIMER call=timeGetDevCaps result=%u min=- max=- injected=%d", result, injected ? 1 : 0);
    return result;
}

static MMRESULT WINAPI HookTimeSetEvent(UINT delay, UINT resolution, LPTIMECALLBACK callback, DWORD_PTR user,
                                        UINT flags)
{
    MMRESULT result = 0;
    bool injected = Sim.Timer == TIMER_START_FAIL;
    if (!injected)
        result = Original<MMRESULT(WINAPI*)(UINT, UINT, LPTIMECALLBACK, DWORD_PTR, UINT)>(HOOK_TIME_SET_EVENT)(
            delay, resolution, callback, user, flags);
    SimLog("TIMER call=timeSetEvent delay=%u resolution=%u flags=0x%x result=%u injected=%d", delay, resolution,
           flags, result, injected ? 1 : 0);
    return result;
}

static MMRESULT WINAPI HookTimeKillEvent(UINT id)
{
    const MMRESULT result = Original<MMRESULT(WINAPI*)(UINT)>(HOOK_TIME_KILL_EVENT)(id);
    SimLog("TIMER call=timeKillEvent id=%u result=%u injected=0", id, result);
    return result;
}

static BOOL WINAPI HookInitCommonControlsEx(const INITCOMMONCONTROLSEX* controls)
{
    const BOOL result =
        Original<BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*)>(HOOK_INIT_COMMON_CONTROLS)(controls);
    const DWORD error = GetLastError();
    if (controls == nullptr)
        SimLog("COMCTL call=InitCommonControlsEx data=null result=%d", result ? 1 : 0);
    else
        SimLog("COMCTL call=InitCommonControlsEx size=%lu classes=0x%lx result=%d", controls->dwSize,
               controls->dwICC, result ? 1 : 0);
    SetLastError(error);
    return result;
}

// Only injected answers are logged: a message loop calls this all the time.
static volatile LONG GetMessageCalls;

static BOOL WINAPI HookGetMessageA(LPMSG message, HWND window, UINT first, UINT last)
{
    const uint32_t call = uint32_t(InterlockedIncrement(&GetMessageCalls));
    if (Sim.FailGetMessage == 0 || call < Sim.FailGetMessage)
        return Original<BOOL(WINAPI*)(LPMSG, HWND, UINT, UINT)>(HOOK_GET_MESSAGE)(message, window, first, last);
    SimLog("LOOP call=GetMessageA count=%u result=-1 error=%u injected=1", call,
           unsigned(ERROR_INVALID_WINDOW_HANDLE));
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return -1;
}

// --- Functions resolved at run time ---
//
// The program's GetProcAddress goes through here. For the names below it
// gets a logging wrapper instead of the system's function; a name listed in
// VARNEL_SIM_NO_PROC is not found at all, as on a system that lacks it.

static void* RealFilterEx;  // the system's ChangeWindowMessageFilterEx
static void* RealFilter;    // the system's ChangeWindowMessageFilter

static BOOL WINAPI WrapChangeWindowMessageFilterEx(HWND window, UINT message, DWORD action, void* status)
{
    const BOOL result = reinterpret_cast<BOOL(WINAPI*)(HWND, UINT, DWORD, void*)>(
        reinterpret_cast<void (*)()>(RealFilterEx))(window, message, action, status);
    const DWORD error = result ? 0 : GetLastError();
    SimLog("FILTER call=ChangeWindowMessageFilterEx hwnd=0x%" PRIxPTR " msg=%u action=%lu result=%d error=%lu",
           reinterpret_cast<uintptr_t>(window), message, action, result ? 1 : 0, error);
    SetLastError(error);
    return result;
}

static BOOL WINAPI WrapChangeWindowMessageFilter(UINT message, DWORD flag)
{
    const BOOL result =
        reinterpret_cast<BOOL(WINAPI*)(UINT, DWORD)>(reinterpret_cast<void (*)()>(RealFilter))(message, flag);
    const DWORD error = result ? 0 : GetLastError();
    SimLog("FILTER call=ChangeWindowMessageFilter msg=%u flag=%lu result=%d error=%lu", message, flag,
           result ? 1 : 0, error);
    SetLastError(error);
    return result;
}

static FARPROC WINAPI HookGetProcAddress(HMODULE module, LPCSTR name)
{
    typedef FARPROC(WINAPI * GetProcFunction)(HMODULE, LPCSTR);
    // An ordinal is no name of ours.
    if (IS_INTRESOURCE(name))
        return Original<GetProcFunction>(HOOK_GET_PROC_ADDRESS)(module, name);
    for (unsigned i = 0; i < Sim.NoProcCount; ++i) {
        if (strcmp(name, Sim.NoProc[i]) == 0) {
            SimLog("PROC call=GetProcAddress name=%s result=null error=%u injected=1", Sim.NoProc[i],
                   unsigned(ERROR_PROC_NOT_FOUND));
            SetLastError(ERROR_PROC_NOT_FOUND);
            return nullptr;
        }
    }
    void** real = strcmp(name, "ChangeWindowMessageFilterEx") == 0 ? &RealFilterEx
                  : strcmp(name, "ChangeWindowMessageFilter") == 0 ? &RealFilter
                                                                   : nullptr;
    FARPROC result = Original<GetProcFunction>(HOOK_GET_PROC_ADDRESS)(module, name);
    if (real == nullptr)
        return result;
    const DWORD error = result ? 0 : GetLastError();
    if (result == nullptr) {
        SimLog("PROC call=GetProcAddress name=%s result=null error=%lu injected=0", name, error);
        SetLastError(error);
        return nullptr;
    }
    memcpy(real, &result, sizeof *real);
    void* wrapper = real == &RealFilterEx ? AsPointer(&WrapChangeWindowMessageFilterEx)
                                          : AsPointer(&WrapChangeWindowMessageFilter);
    SimLog("PROC call=GetProcAddress name=%s result=wrapped injected=0", name);
    FARPROC wrapped;
    memcpy(&wrapped, &wrapper, sizeof wrapped);
    return wrapped;
}

// --- Import table patching ---

struct PatchedSlot {
    void** Slot;
    void* Original;
};
static PatchedSlot Patched[32];
static unsigned PatchedCount;

static bool WriteSlot(void** slot, void* value)
{
    // The import address table usually sits in a read-only section once the
    // loader is done with it.
    DWORD old;
    if (!VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &old))
        return false;
    *slot = value;
    VirtualProtect(slot, sizeof *slot, old, &old);
    FlushInstructionCache(GetCurrentProcess(), slot, sizeof *slot);
    return true;
}

void SimInstallHooks()
{
    Hooks[HOOK_SHELL_NOTIFY] = {"Shell_NotifyIconA", AsPointer(&HookShellNotifyIconA), nullptr};
    Hooks[HOOK_SET_LOCAL_TIME] = {"SetLocalTime", AsPointer(&HookSetLocalTime), nullptr};
    Hooks[HOOK_LOAD_IMAGE] = {"LoadImageA", AsPointer(&HookLoadImageA), nullptr};
    Hooks[HOOK_LOAD_ICON] = {"LoadIconA", AsPointer(&HookLoadIconA), nullptr};
    Hooks[HOOK_CREATE_FILE] = {"CreateFileA", AsPointer(&HookCreateFileA), nullptr};
    Hooks[HOOK_TIME_GET_DEV_CAPS] = {"timeGetDevCaps", AsPointer(&HookTimeGetDevCaps), nullptr};
    Hooks[HOOK_TIME_SET_EVENT] = {"timeSetEvent", AsPointer(&HookTimeSetEvent), nullptr};
    Hooks[HOOK_TIME_KILL_EVENT] = {"timeKillEvent", AsPointer(&HookTimeKillEvent), nullptr};
    Hooks[HOOK_INIT_COMMON_CONTROLS] = {"InitCommonControlsEx", AsPointer(&HookInitCommonControlsEx), nullptr};
    Hooks[HOOK_GET_MESSAGE] = {"GetMessageA", AsPointer(&HookGetMessageA), nullptr};
    Hooks[HOOK_GET_PROC_ADDRESS] = {"GetProcAddress", AsPointer(&HookGetProcAddress), nullptr};

    uint8_t* base = reinterpret_cast<uint8_t*>(GetModuleHandleA(nullptr));
    const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const IMAGE_NT_HEADERS* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE || nt->Signature != IMAGE_NT_SIGNATURE)
        return;
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    const IMAGE_IMPORT_DESCRIPTOR* descriptor =
        imports.VirtualAddress ? reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress)
                               : nullptr;
    for (; descriptor && descriptor->Name != 0; ++descriptor) {
        // The lookup table names each slot; the address table holds what the
        // loader resolved. A module bound without a lookup table is skipped.
        if (descriptor->OriginalFirstThunk == 0)
            continue;
        const IMAGE_THUNK_DATA* lookup =
            reinterpret_cast<const IMAGE_THUNK_DATA*>(base + descriptor->OriginalFirstThunk);
        IMAGE_THUNK_DATA* address = reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor->FirstThunk);
        for (; lookup->u1.AddressOfData != 0; ++lookup, ++address) {
            if (IMAGE_SNAP_BY_ORDINAL(lookup->u1.Ordinal))
                continue;
            const IMAGE_IMPORT_BY_NAME* byName =
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + lookup->u1.AddressOfData);
            for (Hook& hook : Hooks) {
                if (strcmp(reinterpret_cast<const char*>(byName->Name), hook.Name) != 0 ||
                    PatchedCount == sizeof Patched / sizeof Patched[0])
                    continue;
                void** slot = reinterpret_cast<void**>(&address->u1.Function);
                void* original = *slot;
                if (WriteSlot(slot, hook.Replacement)) {
                    hook.Original = original;
                    Patched[PatchedCount++] = {slot, original};
                }
            }
        }
    }
    for (const Hook& hook : Hooks)
        SimLog("HOOK name=%s result=%s", hook.Name, hook.Original ? "patched" : "absent");
}

void SimRemoveHooks()
{
    for (unsigned i = 0; i < PatchedCount; ++i)
        WriteSlot(Patched[i].Slot, Patched[i].Original);
    PatchedCount = 0;
}
