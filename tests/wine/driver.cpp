// Drives varnel.exe from outside under Wine, as a user and the shell would:
// starts it, reads and dismisses its message boxes, opens its Properties dialog
// and tray menu by the tray's own messages, reads the registry, and prints one
// line per finding for the smoke script to check.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>

constexpr UINT WM_TRAYNOTIFY = WM_USER + 1;
constexpr DWORD WAIT_MS = 15000;

static PROCESS_INFORMATION Child;

struct FindRecord {
    const char* ClassName;
    DWORD Pid;
    bool VisibleOnly;
    HWND Found;
};

static BOOL CALLBACK MatchWindow(HWND window, LPARAM data)
{
    FindRecord* find = reinterpret_cast<FindRecord*>(data);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    char name[64];
    if (pid != find->Pid || !GetClassNameA(window, name, sizeof name) ||
        lstrcmpiA(name, find->ClassName) != 0)
        return TRUE;
    if (find->VisibleOnly && !IsWindowVisible(window))
        return TRUE;
    find->Found = window;
    return FALSE;
}

static HWND FindOwnWindow(const char* className, bool visibleOnly)
{
    FindRecord find = {className, Child.dwProcessId, visibleOnly, nullptr};
    EnumWindows(MatchWindow, LPARAM(&find));
    return find.Found;
}

static bool ChildRunning() { return WaitForSingleObject(Child.hProcess, 0) == WAIT_TIMEOUT; }

static void GetText(HWND window, char* text, int size)
{
    text[0] = '\0';
    DWORD_PTR result = 0;
    SendMessageTimeoutA(window, WM_GETTEXT, WPARAM(size), LPARAM(text), SMTO_ABORTIFHUNG, 2000,
                        &result);
    text[size - 1] = '\0';
}

static void Click(HWND button)
{
    DWORD_PTR result = 0;
    SendMessageTimeoutA(button, BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, 2000, &result);
}

// Prints and dismisses a message box of the child, if one is up.
static bool DismissBox()
{
    HWND box = FindOwnWindow("#32770", true);
    if (box == nullptr)
        return false;
    char text[256], caption[128];
    HWND label = GetDlgItem(box, 0xFFFF);
    if (label == nullptr)
        return false;  // a dialog, not a message box
    GetText(label, text, sizeof text);
    GetText(box, caption, sizeof caption);
    printf("BOX: %s\nCAPTION: %s\n", text, caption);
    fflush(stdout);
    Click(GetDlgItem(box, IDOK));
    Sleep(200);
    return true;
}

// Waits for a window of the child, dismissing message boxes meanwhile.
static HWND WaitWindow(const char* className, bool visibleOnly)
{
    for (DWORD waited = 0; waited < WAIT_MS && ChildRunning(); waited += 50) {
        DismissBox();
        HWND window = FindOwnWindow(className, visibleOnly);
        if (window != nullptr && (strcmp(className, "#32770") != 0 || !GetDlgItem(window, 0xFFFF)))
            return window;
        Sleep(50);
    }
    return nullptr;
}

static void WaitExit()
{
    for (DWORD waited = 0; waited < WAIT_MS && ChildRunning(); waited += 50) {
        DismissBox();
        Sleep(50);
    }
    if (ChildRunning()) {
        printf("EXIT: timeout\n");
        TerminateProcess(Child.hProcess, 99);
        return;
    }
    DWORD code = 0;
    GetExitCodeProcess(Child.hProcess, &code);
    printf("EXIT: %lu\n", code);
}

static void PrintSettings()
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Pellworth\\Varnel", 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        printf("KEY: absent\n");
        return;
    }
    printf("KEY: present\n");
    for (const char* name : {"PortAddress", "BitNumber", "UTCFlag"}) {
        BYTE data[16];
        DWORD type = 0, size = sizeof data;
        if (RegQueryValueExA(key, name, nullptr, &type, data, &size) != ERROR_SUCCESS) {
            printf("VALUE %s: absent\n", name);
            continue;
        }
        printf("VALUE %s: type %lu, data", name, type);
        for (DWORD i = 0; i < size; ++i)
            printf(" %02x", data[i]);
        printf("\n");
    }
    RegCloseKey(key);
}

// Start-up only: report the boxes and the exit code.
static void RunUntilExit() { WaitExit(); }

// A full short life: window, Properties dialog confirmed with OK, menu close.
static void RunAndClose()
{
    HWND window = WaitWindow("Varnel", false);
    if (window == nullptr) {
        printf("WINDOW: none\n");
        WaitExit();
        return;
    }
    printf("WINDOW: found\n");
    PrintSettings();

    PostMessageA(window, WM_TRAYNOTIFY, 1, WM_LBUTTONDBLCLK);
    HWND dialog = WaitWindow("#32770", true);
    if (dialog != nullptr) {
        char caption[128];
        GetText(dialog, caption, sizeof caption);
        printf("DIALOG: %s\n", caption);
        Click(GetDlgItem(dialog, IDOK));
        for (int i = 0; i < 100 && IsWindow(dialog); ++i)
            Sleep(50);
        printf("DIALOG: %s\n", IsWindow(dialog) ? "still open" : "closed");
        PrintSettings();
    } else {
        printf("DIALOG: none\n");
    }

    // The menu is modal: post, then pick "&Close Varnel" (the last item) by keys.
    PostMessageA(window, WM_TRAYNOTIFY, 1, WM_RBUTTONUP);
    HWND menu = WaitWindow("#32768", true);
    if (menu != nullptr) {
        printf("MENU: open\n");
        PostMessageA(menu, WM_KEYDOWN, VK_UP, 0);
        PostMessageA(menu, WM_KEYDOWN, VK_RETURN, 0);
    } else {
        printf("MENU: none\n");
    }
    WaitExit();
}

int main(int argc, char** argv)
{
    if (argc != 3 || (strcmp(argv[1], "start") != 0 && strcmp(argv[1], "close") != 0)) {
        fprintf(stderr, "usage: driver start|close program.exe\n");
        return 2;
    }
    // Started from C:\ so that nothing is found through the current directory.
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    if (!CreateProcessA(argv[2], nullptr, nullptr, nullptr, FALSE, 0, nullptr, "C:\\", &startup,
                        &Child)) {
        printf("START: failed %lu\n", GetLastError());
        return 1;
    }
    if (strcmp(argv[1], "start") == 0)
        RunUntilExit();
    else
        RunAndClose();
    fflush(stdout);
    CloseHandle(Child.hThread);
    CloseHandle(Child.hProcess);
    return 0;
}
