// The Properties dialog's decisions: port field parsing and matching, the
// indicator's port switching and OK, free of any window so they run natively.
#include "port_field.h"

// Value of a hexadecimal digit, or -1. Written out rather than through
// <cctype>, whose answers depend on the locale.
static int32_t HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The blanks the C library's scan skips in the "C" locale.
static bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

static char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }

bool ScanPortHex(const char* text, uint32_t* value)
{
    // The field is read into a five-byte buffer: nothing past four characters.
    int32_t length = 0;
    while (length < PORT_FIELD_CHARS && text[length] != '\0')
        length++;

    int32_t i = 0;
    while (i < length && IsBlank(text[i]))
        i++;
    bool negative = false;
    if (i < length && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    // "0x" is a prefix only when a digit follows; otherwise the 0 is the number
    // and the scan stops at the x, as strtoul does.
    if (i + 2 < length && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X') &&
        HexDigit(text[i + 2]) >= 0)
        i += 2;

    uint32_t result = 0;
    bool anyDigit = false;
    for (; i < length && HexDigit(text[i]) >= 0; i++) {
        result = result << 4 | uint32_t(HexDigit(text[i]));
        anyDigit = true;
    }
    if (!anyDigit)
        return false;
    *value = negative ? uint32_t(0) - result : result;
    return true;
}

uint32_t ParsePortField(int32_t selected, const char* editText)
{
    if (selected >= 0 && selected < SERIAL_ITEM_COUNT)
        return uint32_t(selected) + 1;
    uint32_t value = 0;
    if (ScanPortHex(editText, &value))
        return value;
    return uint32_t(selected + 1);
}

PortFieldOpening MatchPortAtOpen(uint32_t portAddress)
{
    PortFieldOpening opening = {NO_ITEM, {0}};
    if (portAddress <= 9) {
        opening.Item = int32_t(portAddress) - 1;  // 0 selects nothing
        return opening;
    }

    // Upper-case hex without leading zeros: at most eight digits.
    char digits[9];
    int32_t count = 0;
    for (int32_t shift = 28; shift >= 0; shift -= 4) {
        uint32_t nibble = (portAddress >> shift) & 0xF;
        if (count == 0 && nibble == 0)
            continue;
        digits[count++] = "0123456789ABCDEF"[nibble];
    }
    digits[count] = '\0';

    // The first item that begins with the digits, case-insensitively: so 0x20
    // finds "201" and 0xC finds "COM1:".
    for (int32_t item = 0; item < PORT_ITEM_COUNT; item++) {
        const char* text = PortItems[item];
        int32_t k = 0;
        while (k < count && text[k] != '\0' && UpperAscii(text[k]) == digits[k])
            k++;
        if (k == count) {
            opening.Item = item;
            return opening;
        }
    }
    for (int32_t k = 0; k <= count; k++)
        opening.EditText[k] = digits[k];
    return opening;
}

uint8_t SelectedBit(int32_t selection)
{
    if (selection >= 0 && selection < BIT_ITEM_COUNT)
        return uint8_t(selection);
    return DEFAULT_BIT_NUMBER;
}

IndicatorPlan PlanIndicator(uint32_t p, uint32_t testPort, uintptr_t testHandle,
                            uint32_t portAddress, uintptr_t portHandle)
{
    IndicatorPlan plan = {INVALID_PORT_HANDLE, 0, testPort, testHandle, OK_UNCHANGED, false};
    if (p == testPort)
        return plan;

    plan.TestPort = p;
    // The shared handle belongs to the sampling tick: never closed from here.
    if (testHandle != INVALID_PORT_HANDLE && testHandle != portHandle)
        plan.Close = testHandle;
    plan.Ok = OK_ENABLE;
    if (!IsSerialPort(p))
        plan.TestHandle = INVALID_PORT_HANDLE;  // I/O ports need no handle
    else if (p == portAddress)
        plan.TestHandle = portHandle;  // shared as it is, even when invalid
    else {
        plan.TestHandle = INVALID_PORT_HANDLE;
        plan.Open = p;
    }
    return plan;
}

void ResolveIndicatorOpen(IndicatorPlan& plan, uintptr_t opened)
{
    if (plan.Open == 0)
        return;
    plan.TestHandle = opened;
    if (opened == INVALID_PORT_HANDLE) {
        // TestPort 0 makes the next refresh try the open again.
        plan.TestPort = 0;
        plan.Ok = OK_DISABLE;
        plan.Grey = true;
    }
}

IndicatorBrush IndicatorColour(uint8_t input, int32_t bitSelection)
{
    return ((input >> SelectedBit(bitSelection)) & 1) ? BRUSH_WHITE : BRUSH_BLACK;
}

OkPlan PlanOk(uint32_t p, uintptr_t testHandle, uint32_t portAddress, uintptr_t portHandle,
              int32_t bitSelection, bool utcChecked)
{
    OkPlan plan = {INVALID_PORT_HANDLE, false, portAddress, 0, SelectedBit(bitSelection),
                   uint8_t(utcChecked ? 1 : 0)};
    if (testHandle != INVALID_PORT_HANDLE && testHandle != portHandle)
        plan.CloseTest = testHandle;
    if (p != portAddress) {
        plan.PortChanged = true;
        plan.PortAddress = p;
        plan.OpenPort = IsSerialPort(p) ? p : 0;
    }
    return plan;
}
