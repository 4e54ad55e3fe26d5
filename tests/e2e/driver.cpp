// End-to-end driver: acts on varnel.exe from outside as a user and the shell
// would (windows, tray messages, dialog controls, registry), one subcommand per
// call, printing one line per finding for tests/e2e/e2e.sh to check.
//
// The program is found only through what Windows shows: its process id, the
// window class "Varnel", visible "#32768" menus and "#32770" dialogs. A message
// box is told from the Properties dialog by its text control (id 0xFFFF).
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr UINT WM_TRAYNOTIFY = WM_USER + 1;
constexpr DWORD WAIT_MS = 15000;
constexpr DWORD STEP_MS = 50;

DWORD TargetPid;  // the process every window search is restricted to

void Line(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Line(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    putchar('\n');
    fflush(stdout);  // the script reads the output file while we run
}

// Quoted for the script: backslash and quote escaped, control bytes as \xHH.
std::string Quote(const std::wstring& text)
{
    std::string out = "\"";
    for (wchar_t c : text) {
        if (c == L'"' || c == L'\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20 || c > 0x7E) {
            char hex[12];
            snprintf(hex, sizeof hex, "\\x%02X", unsigned(c));
            out += hex;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

// Cross-process texts through the wide calls: the narrow ones hand back UTF-16
// bytes under Wine.
std::wstring TextOf(HWND window)
{
    wchar_t text[512] = {};
    DWORD_PTR result = 0;
    SendMessageTimeoutW(window, WM_GETTEXT, WPARAM(512), LPARAM(text), SMTO_ABORTIFHUNG, 2000,
                        &result);
    text[511] = L'\0';
    return text;
}

LRESULT Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    DWORD_PTR result = 0;
    SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, 3000, &result);
    return LRESULT(result);
}

std::string ClassOf(HWND window)
{
    char name[64] = {};
    GetClassNameA(window, name, sizeof name);
    return name;
}

bool IsMessageBox(HWND window) { return GetDlgItem(window, 0xFFFF) != nullptr; }

struct WindowSearch {
    const char* ClassName;
    bool VisibleOnly;
    std::vector<HWND> Found;
};

// A named CALLBACK: on i686 a lambda does not convert to a stdcall pointer.
BOOL CALLBACK MatchWindow(HWND window, LPARAM data)
{
    WindowSearch* search = reinterpret_cast<WindowSearch*>(data);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid == TargetPid && lstrcmpiA(ClassOf(window).c_str(), search->ClassName) == 0 &&
        (!search->VisibleOnly || IsWindowVisible(window)))
        search->Found.push_back(window);
    return TRUE;
}

// Top-level windows of the target process with the class, in Z order.
std::vector<HWND> OwnWindows(const char* className, bool visibleOnly)
{
    WindowSearch search = {className, visibleOnly, {}};
    EnumWindows(MatchWindow, LPARAM(&search));
    return search.Found;
}

std::vector<HWND> OwnDialogs()
{
    std::vector<HWND> dialogs;
    for (HWND window : OwnWindows("#32770", true))
        if (!IsMessageBox(window))
            dialogs.push_back(window);
    return dialogs;
}

template <typename Probe> HWND WaitFor(Probe probe, DWORD ms = WAIT_MS)
{
    for (DWORD waited = 0; waited <= ms; waited += STEP_MS) {
        if (HWND found = probe())
            return found;
        Sleep(STEP_MS);
    }
    return nullptr;
}

HWND HiddenWindow()
{
    std::vector<HWND> found = OwnWindows("Varnel", false);
    return found.empty() ? nullptr : found.front();
}

HWND NeedHidden()
{
    HWND window = WaitFor(HiddenWindow);
    if (window == nullptr) {
        Line("WINDOW none");
        exit(1);
    }
    return window;
}

HWND NeedDialog()
{
    HWND dialog = WaitFor([] {
        std::vector<HWND> dialogs = OwnDialogs();
        return dialogs.empty() ? HWND(nullptr) : dialogs.front();
    });
    if (dialog == nullptr) {
        Line("DIALOG none");
        exit(1);
    }
    return dialog;
}

HWND NeedControl(HWND dialog, int id)
{
    HWND control = GetDlgItem(dialog, id);
    if (control == nullptr) {
        Line("CONTROL %d none", id);
        exit(1);
    }
    return control;
}

// launch EXE [SECONDS]: starts the program from C:\ (so nothing is found
// through the current folder), prints its pid, reports and dismisses each
// message box it shows, and prints its exit code.
int Launch(const char* program, DWORD seconds)
{
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child = {};
    if (!CreateProcessA(program, nullptr, nullptr, nullptr, FALSE, 0, nullptr, "C:\\", &startup,
                        &child)) {
        Line("START failed error=%lu", GetLastError());
        return 1;
    }
    TargetPid = child.dwProcessId;
    Line("PID %lu", TargetPid);
    DWORD waited = 0;
    while (WaitForSingleObject(child.hProcess, STEP_MS) == WAIT_TIMEOUT) {
        waited += STEP_MS;
        if (waited > seconds * 1000) {
            Line("EXIT timeout");
            TerminateProcess(child.hProcess, 99);
            return 1;
        }
        for (HWND box : OwnWindows("#32770", true)) {
            if (!IsMessageBox(box))
                continue;
            Line("BOX caption=%s text=%s", Quote(TextOf(box)).c_str(),
                 Quote(TextOf(GetDlgItem(box, 0xFFFF))).c_str());
            Send(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
            // Wait for this box to go, so it is reported once.
            for (int i = 0; i < 100 && IsWindow(box) && IsWindowVisible(box); ++i)
                Sleep(20);
        }
    }
    DWORD code = 0;
    GetExitCodeProcess(child.hProcess, &code);
    Line("EXIT %lu", code);
    return 0;
}

// One line per control of the dialog, in creation (tab) order.
void DumpDialog(HWND dialog)
{
    Line("DIALOGS %u", unsigned(OwnDialogs().size()));
    Line("CAPTION %s", Quote(TextOf(dialog)).c_str());
    Line("FOREGROUND %d", GetForegroundWindow() == dialog ? 1 : 0);
    for (HWND control = GetWindow(dialog, GW_CHILD); control != nullptr;
         control = GetWindow(control, GW_HWNDNEXT)) {
        const int id = GetDlgCtrlID(control);
        const std::string kind = ClassOf(control);
        const LONG style = GetWindowLongA(control, GWL_STYLE);
        Line("CONTROL %d class=%s style=0x%lx enabled=%d text=%s", id, kind.c_str(),
             (unsigned long)style, IsWindowEnabled(control) ? 1 : 0,
             Quote(TextOf(control)).c_str());
        if (lstrcmpiA(kind.c_str(), "Button") == 0)
            Line("CHECK %d %d", id, int(Send(control, BM_GETCHECK, 0, 0)));
        if (lstrcmpiA(kind.c_str(), "ComboBox") == 0) {
            const int count = int(Send(control, CB_GETCOUNT, 0, 0));
            std::string items;
            for (int i = 0; i < count; ++i) {
                wchar_t item[64] = {};
                if (Send(control, CB_GETLBTEXTLEN, i, 0) < 63)
                    Send(control, CB_GETLBTEXT, i, LPARAM(item));
                items += (i ? "," : "") + Quote(item);
            }
            Line("LIST %d %s", id, items.c_str());
            Line("SEL %d %d", id, int(Send(control, CB_GETCURSEL, 0, 0)));
        }
    }
}

// Colour of a control's centre as the screen shows it.
COLORREF ColourOf(HWND control)
{
    RECT box;
    GetWindowRect(control, &box);
    HDC screen = GetDC(nullptr);
    const COLORREF colour = GetPixel(screen, (box.left + box.right) / 2, (box.top + box.bottom) / 2);
    ReleaseDC(nullptr, screen);
    return colour;
}

// The colour at the control's middle; given one, waits (up to WAIT_MS) for a
// repaint to bring it, and prints what was seen last.
void Pixel(HWND control, const COLORREF* awaited)
{
    COLORREF colour = ColourOf(control);
    for (DWORD waited = 0; awaited && colour != *awaited && waited < WAIT_MS; waited += STEP_MS) {
        Sleep(STEP_MS);
        colour = ColourOf(control);
    }
    Line("PIXEL %d %d %d", GetRValue(colour), GetGValue(colour), GetBValue(colour));
}

std::vector<BYTE> ParseHex(const char* hex)
{
    std::vector<BYTE> bytes;
    for (size_t i = 0; hex[i] && hex[i + 1]; i += 2) {
        char pair[3] = {hex[i], hex[i + 1], 0};
        bytes.push_back(BYTE(strtoul(pair, nullptr, 16)));
    }
    return bytes;
}

const char* const KEY = "Software\\Pellworth\\Varnel";

// One value with its exact type, size and bytes.
void PrintValue(HKEY key, const char* name)
{
    BYTE data[64];
    DWORD type = 0, size = sizeof data;
    if (RegQueryValueExA(key, name, nullptr, &type, data, &size) != ERROR_SUCCESS) {
        Line("VALUE %s absent", name);
        return;
    }
    std::string hex;
    for (DWORD i = 0; i < size; ++i) {
        char pair[3];
        snprintf(pair, sizeof pair, "%02x", data[i]);
        hex += pair;
    }
    Line("VALUE %s type=%lu size=%lu data=%s", name, type, size, hex.c_str());
}

// reg key | reg all | reg get NAME | reg set NAME TYPE HEXBYTES | reg delete NAME | reg drop
int Registry(int argc, char** argv)
{
    const std::string what = argc > 0 ? argv[0] : "";
    if (what == "drop") {
        RegDeleteKeyA(HKEY_CURRENT_USER, KEY);
        Line("KEY dropped");
        return 0;
    }
    if (what == "set" && argc == 4) {
        HKEY key;
        if (RegCreateKeyExA(HKEY_CURRENT_USER, KEY, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr) != ERROR_SUCCESS)
            return 1;
        std::vector<BYTE> data = ParseHex(argv[3]);
        LONG result = RegSetValueExA(key, argv[1], 0, strtoul(argv[2], nullptr, 10), data.data(),
                                     DWORD(data.size()));
        RegCloseKey(key);
        Line("SET %s result=%ld", argv[1], result);
        return result == ERROR_SUCCESS ? 0 : 1;
    }
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, KEY, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
        Line("KEY absent");
        return 0;
    }
    if (what == "key") {
        Line("KEY present");
    } else if (what == "get" && argc == 2) {
        PrintValue(key, argv[1]);
    } else if (what == "all") {
        for (const char* name : {"PortAddress", "BitNumber", "UTCFlag"})
            PrintValue(key, name);
    } else if (what == "delete" && argc == 2) {
        Line("DELETE %s result=%ld", argv[1], RegDeleteValueA(key, argv[1]));
    } else {
        RegCloseKey(key);
        return 2;
    }
    RegCloseKey(key);
    return 0;
}

int Usage()
{
    fprintf(stderr,
            "usage: driver launch EXE [SECONDS]\n"
            "       driver broadcast\n"
            "       driver reg key|drop|all|get NAME|set NAME TYPE HEX|delete NAME\n"
            "       driver PID window|count CLASS [N]|tray rclick|dblclick [ID]\n"
            "       driver PID menu [close|properties|escape]\n"
            "       driver PID dialog|select ID INDEX|type ID TEXT|click ID|pixel ID [R G B]\n"
            "       (count with N and pixel with a colour wait up to 15 s for it)\n"
            "       commands after PID may be chained with +, e.g. select 1137 3 + sleep 300 + dialog\n");
    return 2;
}

// One command on the target process; 0 on success.
int Act(const std::string& command, char** rest, int restCount)
{

    if (command == "window") {
        Line("WINDOW 0x%llx", (unsigned long long)(UINT_PTR)NeedHidden());
        return 0;
    }
    if (command == "count" && (restCount == 1 || restCount == 2)) {
        const auto countNow = [&] {
            return lstrcmpiA(rest[0], "#32770") == 0 ? OwnDialogs().size() : OwnWindows(rest[0], true).size();
        };
        // Given a number, waits (up to WAIT_MS) for a window that is coming or going.
        size_t count = countNow();
        for (DWORD waited = 0; restCount == 2 && count != strtoul(rest[1], nullptr, 10) && waited < WAIT_MS;
             waited += STEP_MS) {
            Sleep(STEP_MS);
            count = countNow();
        }
        Line("COUNT %s %u", rest[0], unsigned(count));
        return 0;
    }
    if (command == "tray" && restCount >= 1) {
        const LPARAM mouse = strcmp(rest[0], "rclick") == 0 ? WM_RBUTTONUP : WM_LBUTTONDBLCLK;
        const WPARAM id = restCount > 1 ? strtoul(rest[1], nullptr, 10) : 1;
        // Posted, not sent: the menu and the dialog are modal.
        PostMessageA(NeedHidden(), WM_TRAYNOTIFY, id, mouse);
        Line("POSTED %s", rest[0]);
        return 0;
    }
    if (command == "menu") {
        HWND menu = WaitFor([] {
            std::vector<HWND> menus = OwnWindows("#32768", true);
            return menus.empty() ? HWND(nullptr) : menus.front();
        });
        if (menu == nullptr) {
            Line("MENU none");
            return 1;
        }
        Line("MENU open");
        // Wine cannot read another process's menu items: pick by keys, from
        // no highlighted item (down: the first, up: the last).
        const std::string pick = restCount > 0 ? rest[0] : "";
        if (pick == "close")
            PostMessageA(menu, WM_KEYDOWN, VK_UP, 0);
        else if (pick == "properties")
            PostMessageA(menu, WM_KEYDOWN, VK_DOWN, 0);
        if (pick == "close" || pick == "properties")
            PostMessageA(menu, WM_KEYDOWN, VK_RETURN, 0);
        else if (pick == "escape")
            PostMessageA(menu, WM_KEYDOWN, VK_ESCAPE, 0);
        return 0;
    }
    if (command == "dialog") {
        DumpDialog(NeedDialog());
        return 0;
    }
    if (command == "select" && restCount == 2) {
        HWND dialog = NeedDialog();
        const int id = atoi(rest[0]);
        HWND combo = NeedControl(dialog, id);
        Send(combo, CB_SETCURSEL, WPARAM(atoi(rest[1])), 0);
        // CB_SETCURSEL notifies nobody: tell the dialog as a user's pick would.
        Send(dialog, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), LPARAM(combo));
        Line("SELECTED %d %d", id, int(Send(combo, CB_GETCURSEL, 0, 0)));
        return 0;
    }
    if (command == "type" && restCount == 2) {
        HWND combo = NeedControl(NeedDialog(), atoi(rest[0]));
        HWND edit = FindWindowExA(combo, nullptr, "Edit", nullptr);
        if (edit == nullptr) {
            Line("EDIT none");
            return 1;
        }
        // Typing leaves no list item selected.
        Send(combo, CB_SETCURSEL, WPARAM(-1), 0);
        std::wstring text(rest[1], rest[1] + strlen(rest[1]));
        Send(edit, WM_SETTEXT, 0, LPARAM(text.c_str()));
        Line("TYPED %s sel=%d", Quote(TextOf(edit)).c_str(), int(Send(combo, CB_GETCURSEL, 0, 0)));
        return 0;
    }
    if (command == "click" && restCount == 1) {
        HWND control = NeedControl(NeedDialog(), atoi(rest[0]));
        Line("CLICK %s", rest[0]);
        Send(control, BM_CLICK, 0, 0);
        return 0;
    }
    if (command == "pixel" && (restCount == 1 || restCount == 4)) {
        const COLORREF awaited = restCount == 4 ? RGB(atoi(rest[1]), atoi(rest[2]), atoi(rest[3])) : 0;
        Pixel(NeedControl(NeedDialog(), atoi(rest[0])), restCount == 4 ? &awaited : nullptr);
        return 0;
    }
    if (command == "sleep" && restCount == 1) {
        Sleep(strtoul(rest[0], nullptr, 10));
        return 0;
    }
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return Usage();
    const std::string first = argv[1];
    if (first == "launch" && argc >= 3)
        return Launch(argv[2], argc > 3 ? strtoul(argv[3], nullptr, 10) : 600);
    if (first == "reg")
        return Registry(argc - 2, argv + 2);
    if (first == "broadcast") {
        DWORD_PTR result = 0;
        const UINT message = RegisterWindowMessageA("TaskbarCreated");
        SendMessageTimeoutA(HWND_BROADCAST, message, 0, 0, SMTO_ABORTIFHUNG, 3000, &result);
        Line("BROADCAST TaskbarCreated %u", message);
        return 0;
    }
    if (argc < 3)
        return Usage();
    // Several commands in one start, separated by "+": each Wine start costs
    // about half a second.
    TargetPid = strtoul(argv[1], nullptr, 10);
    int status = 0;
    for (int from = 2; from < argc;) {
        int to = from;
        while (to < argc && strcmp(argv[to], "+") != 0)
            ++to;
        const int result = Act(argv[from], argv + from + 1, to - from - 1);
        if (result == 2)
            return Usage();
        status |= result;
        from = to + 1;
    }
    return status;
}
