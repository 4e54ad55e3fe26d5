// The hidden window's procedure: starts and stops the 20 ms sampling timer,
// owns the tray icon and its menu, and hands WM_TIMECODE to the status report.
#include <windows.h>
#include <mmsystem.h>
#include <shellapi.h>

#include <cstddef>

#include "../config/config_win32.h"
#include "../reception/input_win32.h"
#include "../reception/reception.h"
#include "../resources/resource.h"
#include "status.h"
#include "tray_win32.h"

constexpr DWORD ADD_RETRY_MS = 500;

// The first record layout: 88 bytes in 32-bit Windows, 104 in 64-bit, ending
// with the 64-byte tip. Checked by the compiler, so the i686 build is checked
// even on machines that cannot run it; so is the timer's user data, which
// carries the window handle to the sampling tick.
static_assert(NOTIFYICONDATAA_V1_SIZE == (sizeof(void*) == 4 ? 88 : 104), "tray record size");
static_assert(offsetof(NOTIFYICONDATAA, szTip) + TIP_SIZE == NOTIFYICONDATAA_V1_SIZE,
              "the tip ends the first record");
static_assert(sizeof(DWORD_PTR) == sizeof(HWND), "timer user data holds the window");

// The window's process-wide state, live from WM_CREATE to WM_DESTROY.
struct TrayRecord {
    NOTIFYICONDATAA IconData;             // the one notify-icon record (V1 size)
    HICON Icons[TRAY_ICON_COUNT];         // indexed by TrayIconKind
    UINT TimerId;                         // periodic timer, 0 when none runs
    UINT TaskbarCreated;                  // registered message number, 0 until known
    bool Created;                         // WM_CREATE succeeded
    bool MenuOpen;                        // the popup menu is being tracked
};
static TrayRecord Tray;

// Lets the shell's "TaskbarCreated" broadcast through to the window. Windows
// keeps messages of a lower-integrity process (Explorer) from an elevated one
// (Varnel, as it normally runs) unless allowed: without this the icon would
// not come back after Explorer restarts. Resolved at run time: the per-window
// call exists from Windows 7, the process-wide one from Vista, and before
// Vista there is no such filter.
static void AllowTaskbarCreated(HWND window, UINT message)
{
    constexpr DWORD FILTER_ALLOW = 1;  // MSGFLT_ALLOW and MSGFLT_ADD alike
    typedef BOOL(WINAPI * FilterExFunction)(HWND, UINT, DWORD, void*);
    typedef BOOL(WINAPI * FilterFunction)(UINT, DWORD);
    HMODULE user32 = GetModuleHandleA("user32.dll");
    if (user32 == nullptr)
        return;
    // Through void(*)(): GetProcAddress's own type matches neither.
    if (FARPROC found = GetProcAddress(user32, "ChangeWindowMessageFilterEx")) {
        reinterpret_cast<FilterExFunction>(reinterpret_cast<void (*)()>(found))(window, message,
                                                                                 FILTER_ALLOW, nullptr);
    } else if (FARPROC found = GetProcAddress(user32, "ChangeWindowMessageFilter")) {
        reinterpret_cast<FilterFunction>(reinterpret_cast<void (*)()>(found))(message, FILTER_ALLOW);
    }
}

static void CopyTip(const char* text)
{
    lstrcpynA(Tray.IconData.szTip, text, int(TIP_SIZE));
}

// Timer, icons and tray icon; -1 fails the window's creation.
static LRESULT OnCreate(HWND window)
{
    TIMECAPS caps;
    if (timeGetDevCaps(&caps, sizeof caps) != TIMERR_NOERROR) {
        ShowWarning("timeGetDevCaps failed");
        return -1;
    }
    if (!TimerPeriodSuitable(caps.wPeriodMin)) {
        ShowWarning("Unsuitable timer resolution");
        return -1;
    }
    Tray.TimerId = timeSetEvent(SAMPLE_PERIOD_MS, 0, SampleTick, DWORD_PTR(window),
                                TIME_PERIODIC | TIME_CALLBACK_FUNCTION);
    if (Tray.TimerId == 0) {
        ShowWarning("Couldn't start timer");
        return -1;
    }

    // Loaded in the order of TrayIconKind: fail, poor, good, application.
    static constexpr const char* names[TRAY_ICON_COUNT] = {IDI_VARNEL_FAIL, IDI_VARNEL_POOR,
                                                           IDI_VARNEL_GOOD, IDI_VARNEL_APP};
    for (UINT i = 0; i < TRAY_ICON_COUNT; ++i)
        Tray.Icons[i] = HICON(LoadImageA(AppInstance, names[i], IMAGE_ICON, 16, 16, LR_DEFAULTCOLOR));

    // The original tray record size: the shell accepts it everywhere and it
    // limits the tip to 64 bytes.
    Tray.IconData.cbSize = NOTIFYICONDATAA_V1_SIZE;
    Tray.IconData.hWnd = window;
    Tray.IconData.uID = 1;
    Tray.IconData.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    Tray.IconData.uCallbackMessage = WM_TRAYNOTIFY;
    Tray.IconData.hIcon = Tray.Icons[ICON_APP];
    CopyTip(START_TIP);

    // At log-on the taskbar may not be there yet: keep trying, each time with
    // a new id in case the old one was half registered.
    while (!Shell_NotifyIconA(NIM_ADD, &Tray.IconData)) {
        Sleep(ADD_RETRY_MS);
        ++Tray.IconData.uID;
    }
    Tray.TaskbarCreated = RegisterWindowMessageA("TaskbarCreated");
    if (Tray.TaskbarCreated != 0)
        AllowTaskbarCreated(window, Tray.TaskbarCreated);
    Tray.Created = true;
    return 0;
}

static void OnDestroy()
{
    // A failed WM_CREATE also ends here; it must not post the quit message,
    // which would close the "CreateWindow failed" box before it is read.
    if (!Tray.Created) {
        if (Tray.TimerId != 0)
            timeKillEvent(Tray.TimerId);
        Tray.TimerId = 0;
        return;
    }
    Shell_NotifyIconA(NIM_DELETE, &Tray.IconData);
    timeKillEvent(Tray.TimerId);
    Tray.TimerId = 0;
    Tray.Created = false;
    PostQuitMessage(0);
}

static void OnTimeCode(WPARAM wParam, LPARAM lParam)
{
    const TrayIconKind icon = ReportTimeCode(uint32_t(wParam), uint32_t(lParam), Tray.IconData.szTip);
    Tray.IconData.hIcon = Tray.Icons[icon];
    Shell_NotifyIconA(NIM_MODIFY, &Tray.IconData);
}

// The two-item menu at the cursor.
static void OnTrayMenu(HWND window)
{
    // One menu at a time: a second right click while tracking is ignored.
    if (Tray.MenuOpen)
        return;
    HMENU menu = CreatePopupMenu();
    if (menu == nullptr)
        return;
    AppendMenuA(menu, MF_STRING, IDM_PROPERTIES, "&Properties");
    AppendMenuA(menu, MF_STRING, IDM_CLOSE, "&Close Varnel");
    SetMenuDefaultItem(menu, IDM_PROPERTIES, FALSE);

    POINT cursor;
    GetCursorPos(&cursor);
    // Without the foreground the menu would not close when the user clicks
    // elsewhere.
    SetForegroundWindow(window);
    Tray.MenuOpen = true;
    TrackPopupMenu(menu, TPM_RIGHTALIGN | TPM_TOPALIGN | TPM_LEFTBUTTON, cursor.x, cursor.y, 0,
                   window, nullptr);
    Tray.MenuOpen = false;
    // A message after tracking makes the task switch complete, so the menu
    // opens again on the next click instead of flashing shut.
    PostMessageA(window, WM_NULL, 0, 0);
    DestroyMenu(menu);
}

static LRESULT OnTrayNotify(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (lParam) {
    case WM_LBUTTONDBLCLK:
        SetForegroundWindow(window);
        ShowPropertiesDialog(AppInstance, window);
        return 0;
    case WM_RBUTTONUP:
        OnTrayMenu(window);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

LRESULT CALLBACK VarnelWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        return OnCreate(window);
    case WM_DESTROY:
        OnDestroy();
        return 0;
    case WM_COMMAND:
        // The whole word: menu commands carry no notification code.
        if (wParam == IDM_PROPERTIES) {
            ShowPropertiesDialog(AppInstance, window);
            return 0;
        }
        if (wParam == IDM_CLOSE) {
            DestroyWindow(window);
            return 0;
        }
        break;
    case WM_TIMECODE:
        OnTimeCode(wParam, lParam);
        return 0;
    case WM_TRAYNOTIFY:
        return OnTrayNotify(window, message, wParam, lParam);
    default:
        // The taskbar was restarted: the icon must be added again.
        if (Tray.TaskbarCreated != 0 && message == Tray.TaskbarCreated)
            Shell_NotifyIconA(NIM_ADD, &Tray.IconData);
        break;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}
