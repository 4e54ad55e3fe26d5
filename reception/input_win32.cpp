// Win32 glue of the sampling tick: the timer callback hands each 20 ms tick to
// the portable SampleStep and makes no user-interface call but PostMessage;
// the platform calls of the input line, the monotonic count and the clock
// reading; loading InpOut32.dll from trusted places.
#include "input_win32.h"

#include "reception.h"

Inp32Function Inp32 = nullptr;

// Handles travel as uintptr_t (the shared PortHandle, the platform table) and
// WM_TIMECODE's 32-bit fields in WPARAM and LPARAM, in both builds.
static_assert(sizeof(HANDLE) == sizeof(uintptr_t) && sizeof(HWND) == sizeof(uintptr_t),
              "handles fit uintptr_t");
static_assert(sizeof(WPARAM) >= sizeof(uint32_t) && sizeof(LPARAM) >= sizeof(uint32_t),
              "WM_TIMECODE's fields fit its parameters");

void CALLBACK SampleTick(UINT, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR)
{
    SampleStep(uintptr_t(user));
}

bool Win32ReadModemStatus(uintptr_t handle, uint32_t* status)
{
    DWORD modemStatus = 0;
    if (!GetCommModemStatus(HANDLE(handle), &modemStatus))
        return false;
    *status = modemStatus;
    return true;
}

uint32_t Win32ReadIoPort(uint32_t port)
{
    // The port value is passed on as it is; Inp32 takes a 16-bit address.
    return uint32_t(uint16_t(Inp32(short(port))));
}

void Win32PostTimeCode(uintptr_t window, uint32_t wParam, uint32_t lParam)
{
    PostMessageA(HWND(window), WM_TIMECODE, WPARAM(wParam), LPARAM(lParam));
}

void Win32ClosePort(uintptr_t handle) { CloseHandle(HANDLE(handle)); }

ClockTime Win32ReadClock()
{
    SYSTEMTIME s;
    GetLocalTime(&s);
    return ClockTime{s.wYear, s.wMonth, s.wDayOfWeek, s.wDay, s.wHour, s.wMinute, s.wSecond,
                     s.wMilliseconds};
}

// The performance counter: 64 bits, not moved by clock settings, and on
// Windows XP and later (Vista is the oldest Varnel supports) both calls always
// succeed. Read by the sampling tick at each second start and by the window.
uint64_t Win32MonotonicMs()
{
    LARGE_INTEGER frequency, count;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&count);
    const uint64_t f = frequency.QuadPart > 0 ? uint64_t(frequency.QuadPart) : 1000;
    const uint64_t c = uint64_t(count.QuadPart);
    return c / f * 1000 + c % f * 1000 / f;
}

// Loads name from the program's own folder, else the system folder; never
// from the current directory or PATH, where anyone could plant a library that
// then runs with the right to set the clock.
static HMODULE LoadTrustedLibrary(const char* name)
{
    // The safe search flags exist where kernel32 has AddDllDirectory (Windows
    // 8, or 7 and Vista with KB2533623); elsewhere LoadLibraryEx rejects them.
    if (GetProcAddress(GetModuleHandleA("kernel32.dll"), "AddDllDirectory") != nullptr)
        return LoadLibraryExA(name, nullptr,
                              LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);

    // Older systems: the same two folders by full path.
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
        char* slash = nullptr;
        for (char* p = path; *p != '\0'; ++p)
            if (*p == '\\' || *p == '/')
                slash = p;
        const size_t folder = slash ? size_t(slash - path) + 1 : 0;
        if (folder + lstrlenA(name) < MAX_PATH) {
            lstrcpyA(path + folder, name);
            HMODULE library = LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
            if (library != nullptr)
                return library;
        }
    }
    const UINT system = GetSystemDirectoryA(path, MAX_PATH);
    if (system == 0 || system + 1 + lstrlenA(name) >= MAX_PATH)
        return nullptr;
    lstrcatA(path, "\\");
    lstrcatA(path, name);
    return LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

InpOutLoad LoadInpOut32()
{
    HMODULE inpout = LoadTrustedLibrary("InpOut32.dll");
    if (inpout == nullptr)
        return INPOUT_NO_LIBRARY;
    // Through void(*)(): GetProcAddress's own type does not match Inp32's.
    Inp32 = reinterpret_cast<Inp32Function>(
        reinterpret_cast<void (*)()>(GetProcAddress(inpout, "Inp32")));
    return Inp32 == nullptr ? INPOUT_NO_INP32 : INPOUT_LOADED;
}
