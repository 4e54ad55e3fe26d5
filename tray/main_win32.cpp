// Start-up of the Windows program: the right to set the clock, the I/O-port
// library, the settings and serial port, the hidden window and its message loop.
#include <windows.h>
#include <commctrl.h>

#include "../config/config.h"
#include "../config/config_win32.h"
#include "../reception/input_win32.h"
#include "../reception/reception.h"
#include "../resources/resource.h"
#include "tray_win32.h"

HINSTANCE AppInstance = nullptr;

// Process exit codes: 0 is the quit message's, 1 to 5 and 8 the start-up
// failures, 9 a failed message loop (6 and 7 are not used).
enum ExitCode : int {
    EXIT_PRIVILEGE_LOOKUP = 1,
    EXIT_TOKEN_OPEN = 2,
    EXIT_PRIVILEGE_ADJUST = 3,
    EXIT_LIBRARY_LOAD = 4,
    EXIT_INP32_MISSING = 5,
    EXIT_WINDOW_CREATE = 8,
    EXIT_MESSAGE_LOOP = 9,
};

static int Fail(const char* text, int code)
{
    ShowWarning(text);
    return code;
}

// Enables "SeSystemtimePrivilege" for the process; 0 or an exit code. A call
// that succeeds without granting it shows up later as a refused clock.
static int EnableClockPrivilege()
{
    TOKEN_PRIVILEGES privileges;
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (!LookupPrivilegeValueA("", "SeSystemtimePrivilege", &privileges.Privileges[0].Luid))
        return Fail("LookupPrivilegeValue failed", EXIT_PRIVILEGE_LOOKUP);
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token))
        return Fail("OpenProcessToken failed", EXIT_TOKEN_OPEN);
    const BOOL adjusted = AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
    CloseHandle(token);
    if (!adjusted)
        return Fail("AdjustTokenPrivileges failed", EXIT_PRIVILEGE_ADJUST);
    return 0;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    // Before anything can reach the core through the platform table.
    InstallWin32Platform();
    AppInstance = instance;

    OSVERSIONINFOA version;
    version.dwOSVersionInfoSize = sizeof version;
    version.dwPlatformId = 0;
    GetVersionExA(&version);
    if (version.dwPlatformId == VER_PLATFORM_WIN32_NT) {
        const int code = EnableClockPrivilege();
        if (code != 0)
            return code;
    }

    // Needed whatever input is configured.
    switch (LoadInpOut32()) {
    case INPOUT_NO_LIBRARY:
        return Fail("Couldn't load InpOut32.dll", EXIT_LIBRARY_LOAD);
    case INPOUT_NO_INP32:
        return Fail("Couldn't get Inp32 function address", EXIT_INP32_MISSING);
    case INPOUT_LOADED:
        break;
    }

    LoadSettings();
    const uint32_t port = PortAddress.load();
    if (IsSerialPort(port)) {
        // No tick runs yet, so the handle can simply be stored.
        PortHandle.store(OpenSerialPort(port));
        if (PortHandle.load() == INVALID_PORT_HANDLE)
            ShowWarning("Couldn't open selected serial port");
    }

    // The manifest asks for version 6 of the common controls, which gives the
    // dialog its themed buttons and lists; a program with that manifest must
    // initialise them, or older systems fail to open the dialog. A failure
    // leaves the classic look, nothing worse.
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);

    // A failed registration shows up as the failed creation below.
    WNDCLASSEXA windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = VarnelWindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconA(instance, IDI_VARNEL_APP);
    windowClass.hIconSm = LoadIconA(instance, IDI_VARNEL_APP);
    windowClass.lpszClassName = "Varnel";
    RegisterClassExA(&windowClass);

    // Never shown: it exists for the timer's messages and the tray icon.
    HWND window = CreateWindowExA(0, "Varnel", "Varnel", WS_OVERLAPPEDWINDOW | WS_DISABLED, 0, 0,
                                  CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance, nullptr);
    if (window == nullptr)
        return Fail("CreateWindow failed", EXIT_WINDOW_CREATE);

    // GetMessage answers -1 on an error; that must end the loop, not spin it.
    MSG message = {};
    BOOL got;
    while ((got = GetMessageA(&message, nullptr, 0, 0)) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    int code = int(message.wParam);
    if (got < 0) {
        // Not the quit message: what message holds means nothing, and a
        // zero would pass for a normal end. Nothing is shown after start-up;
        // the window goes, taking its icon and timer with it.
        DestroyWindow(window);
        code = EXIT_MESSAGE_LOOP;
    }

    ReplacePortHandle(INVALID_PORT_HANDLE);
    return code;
}
