// The Properties dialog: the user picks the input, its bit and the clock mode
// while a small square shows the chosen bit's live level; OK applies and saves.
//
// The decisions (reading the port field, which handle to close or open, what
// OK changes) live in port_field.cpp and are tested natively; this file only
// carries them out on the controls, the serial ports and the shared settings.
// Only one dialog exists at a time: its state below is single.
#include "../reception/reception.h"
#include "../resources/resource.h"
#include "config.h"
#include "config_win32.h"
#include "port_field.h"

// The open dialog's state.
static struct {
    bool Open;             // from the request until the dialog has ended
    HWND Window;           // the dialog once it exists, else null
    HWND OkButton;         // disabled while a chosen serial port cannot be opened
    uint32_t TestPort;     // the port value the indicator reads
    uintptr_t TestHandle;  // the serial handle it reads through, or invalid
} Dialog = {false, nullptr, nullptr, 0, INVALID_PORT_HANDLE};

constexpr UINT_PTR INDICATOR_TIMER = 1;
constexpr UINT INDICATOR_PERIOD_MS = 10;

// The test handle is the dialog's own unless it is the shared PortHandle,
// which the sampling tick may be reading through.
static void CloseTestHandle()
{
    if (Dialog.TestHandle != INVALID_PORT_HANDLE && Dialog.TestHandle != PortHandle)
        CloseHandle(HANDLE(Dialog.TestHandle));
    Dialog.TestHandle = INVALID_PORT_HANDLE;
}

static uint32_t ReadPortField(HWND dialog)
{
    // CB_ERR (-1) when nothing is selected, which is NO_ITEM.
    int32_t selected = int32_t(SendDlgItemMessageA(dialog, IDC_PORT, CB_GETCURSEL, 0, 0));
    char text[PORT_FIELD_CHARS + 1] = "";
    GetDlgItemTextA(dialog, IDC_PORT, text, sizeof text);
    return ParsePortField(selected, text);
}

static int32_t ReadBitSelection(HWND dialog)
{
    return int32_t(SendDlgItemMessageA(dialog, IDC_BIT, CB_GETCURSEL, 0, 0));
}

// WM_INITDIALOG: fills and sets the controls from the settings and starts
// the indicator's refresh with the port in use.
static INT_PTR OnInitDialog(HWND dialog)
{
    Dialog.Window = dialog;
    HWND port = GetDlgItem(dialog, IDC_PORT);
    for (const char* item : PortItems)
        SendMessageA(port, CB_ADDSTRING, 0, LPARAM(item));
    PortFieldOpening opening = MatchPortAtOpen(PortAddress);
    if (opening.Item != NO_ITEM)
        SendMessageA(port, CB_SETCURSEL, WPARAM(opening.Item), 0);
    else
        SetWindowTextA(port, opening.EditText);

    HWND bit = GetDlgItem(dialog, IDC_BIT);
    for (const char* item : BitItems)
        SendMessageA(bit, CB_ADDSTRING, 0, LPARAM(item));
    // A stored bit above 7 selects nothing; OK then stores 7.
    uint8_t bitNumber = BitNumber;
    if (bitNumber < BIT_ITEM_COUNT)
        SendMessageA(bit, CB_SETCURSEL, bitNumber, 0);
    CheckRadioButton(dialog, IDC_BST, IDC_UTC, UTCFlag ? IDC_UTC : IDC_BST);

    SetFocus(dialog);
    SetTimer(dialog, INDICATOR_TIMER, INDICATOR_PERIOD_MS, nullptr);
    Dialog.OkButton = GetDlgItem(dialog, IDOK);
    Dialog.TestPort = PortAddress;
    Dialog.TestHandle = PortHandle;
    return FALSE;  // the focus is set
}

// WM_CTLCOLORSTATIC for the indicator: follows the port field (opening a newly
// chosen serial port, guarding OK), then answers the brush of the bit's level.
static INT_PTR OnIndicatorColour(HWND dialog)
{
    IndicatorPlan plan = PlanIndicator(ReadPortField(dialog), Dialog.TestPort,
                                       Dialog.TestHandle, PortAddress, PortHandle);
    if (plan.Close != INVALID_PORT_HANDLE)
        CloseHandle(HANDLE(plan.Close));
    if (plan.Open != 0)
        ResolveIndicatorOpen(plan, OpenSerialPort(plan.Open));
    Dialog.TestPort = plan.TestPort;
    Dialog.TestHandle = plan.TestHandle;
    if (plan.Ok != OK_UNCHANGED)
        EnableWindow(Dialog.OkButton, plan.Ok == OK_ENABLE);
    if (plan.Grey)
        return INT_PTR(GetStockObject(GRAY_BRUSH));

    uint8_t input = ReadInputByte(Dialog.TestPort, Dialog.TestHandle);
    bool white = IndicatorColour(input, ReadBitSelection(dialog)) == BRUSH_WHITE;
    return INT_PTR(GetStockObject(white ? WHITE_BRUSH : BLACK_BRUSH));
}

// OK: applies the port, bit and clock mode at once and saves them.
static INT_PTR OnOk(HWND dialog)
{
    // Enter or a sent command can still arrive while the button is disabled:
    // a chosen port that cannot be opened is not taken.
    if (!IsWindowEnabled(Dialog.OkButton))
        return 1;
    OkPlan plan = PlanOk(ReadPortField(dialog), Dialog.TestHandle, PortAddress, PortHandle,
                         ReadBitSelection(dialog),
                         IsDlgButtonChecked(dialog, IDC_UTC) == BST_CHECKED);
    // The test port is closed before the same port is opened again for the
    // tick: serial ports are opened without sharing.
    if (plan.CloseTest != INVALID_PORT_HANDLE)
        CloseHandle(HANDLE(plan.CloseTest));
    Dialog.TestHandle = INVALID_PORT_HANDLE;

    if (plan.PortChanged) {
        // The tick reads the address and the handle one after the other; the
        // order below gives it a matching pair on each side of the change (a
        // serial address never meets a stale or invalid handle). The old
        // handle is closed only once no tick can be reading through it.
        if (plan.OpenPort != 0) {
            ReplacePortHandle(OpenSerialPort(plan.OpenPort));
            PortAddress = plan.PortAddress;
        } else {
            PortAddress = plan.PortAddress;
            ReplacePortHandle(INVALID_PORT_HANDLE);
        }
    }
    BitNumber = plan.BitNumber;
    UTCFlag = plan.UTCFlag;
    SaveSettings();

    KillTimer(dialog, INDICATOR_TIMER);
    EndDialog(dialog, 0);
    return 1;
}

static INT_PTR OnCancel(HWND dialog)
{
    CloseTestHandle();
    EndDialog(dialog, 0);
    return 0;
}

static INT_PTR CALLBACK PropertiesProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        return OnInitDialog(dialog);
    case WM_TIMER:
        // Erasing makes the indicator ask for its colour again.
        InvalidateRect(GetDlgItem(dialog, IDC_INDICATOR), nullptr, TRUE);
        return 0;
    case WM_CTLCOLORSTATIC:
        if (GetDlgCtrlID(HWND(lParam)) == IDC_INDICATOR)
            return OnIndicatorColour(dialog);
        return 0;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK)
            return OnOk(dialog);
        if (LOWORD(wParam) == IDCANCEL)
            return OnCancel(dialog);
        return 0;
    case WM_DESTROY:
        // Also reached when the owner goes away with the dialog still open.
        CloseTestHandle();
        Dialog.Window = nullptr;
        return 0;
    default:
        return 0;
    }
}

void ShowPropertiesDialog(HINSTANCE instance, HWND owner)
{
    // The tray still takes double clicks and menu commands while the dialog
    // runs its own loop: a second request brings the open dialog forward.
    if (Dialog.Open) {
        if (Dialog.Window != nullptr)
            SetForegroundWindow(Dialog.Window);
        return;
    }
    Dialog.Open = true;
    DialogBoxParamA(instance, IDD_PROPERTIES, owner, PropertiesProc, 0);
    Dialog.Open = false;
    Dialog.Window = nullptr;
}
