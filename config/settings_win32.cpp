// Win32 settings store and serial port opener: the three values under
// HKCU\Software\Pellworth\Varnel, and COM1..COM9 with the receiver's line settings.
#include <cstring>

#include "config.h"
#include "config_win32.h"

static const char SETTINGS_KEY[] = "Software\\Pellworth\\Varnel";
// DTR powers the receiver module; RTS stays off.
static const char SERIAL_SETTINGS[] = "baud=9600 parity=N data=8 stop=1 dtr=on rts=off";

// Reads a value of exactly size bytes into out. A value of any other size
// (larger ones fail with ERROR_MORE_DATA, shorter ones would fill only part of
// the setting) leaves out as it was, so the setting keeps its default.
static void QueryExactSize(HKEY key, const char* name, void* out, DWORD size)
{
    BYTE buffer[4];
    DWORD got = size;
    if (RegQueryValueExA(key, name, nullptr, nullptr, buffer, &got) == ERROR_SUCCESS &&
        got == size)
        memcpy(out, buffer, size);
}

void LoadSettings()
{
    HKEY key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, SETTINGS_KEY, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_READ, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return;
    uint32_t port = PortAddress;
    uint8_t bit = BitNumber;
    uint8_t utc = UTCFlag;
    QueryExactSize(key, "PortAddress", &port, sizeof port);
    QueryExactSize(key, "BitNumber", &bit, sizeof bit);
    QueryExactSize(key, "UTCFlag", &utc, sizeof utc);
    PortAddress = port;
    BitNumber = bit;
    UTCFlag = utc;
    RegCloseKey(key);
}

void SaveSettings()
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, SETTINGS_KEY, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return;
    DWORD port = PortAddress;
    BYTE bit = BitNumber;
    BYTE utc = UTCFlag;
    RegSetValueExA(key, "PortAddress", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&port),
                   sizeof port);
    RegSetValueExA(key, "BitNumber", 0, REG_BINARY, &bit, sizeof bit);
    RegSetValueExA(key, "UTCFlag", 0, REG_BINARY, &utc, sizeof utc);
    RegCloseKey(key);
}

uintptr_t OpenSerialPort(uint32_t n)
{
    if (!IsSerialPort(n))
        return INVALID_PORT_HANDLE;
    // The \\.\ prefix names the device in the system's device namespace, the
    // one form that opens every COM number.
    char device[] = "\\\\.\\COM0";
    device[sizeof device - 2] = char('0' + n);
    HANDLE port = CreateFileA(device, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    if (port == INVALID_HANDLE_VALUE)
        return INVALID_PORT_HANDLE;

    static_assert((PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR) == 15, "");
    PurgeComm(port, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    // BuildCommDCB fills only what the string names; the rest stays zero.
    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    BuildCommDCBA(SERIAL_SETTINGS, &dcb);
    SetCommState(port, &dcb);
    return uintptr_t(port);
}
