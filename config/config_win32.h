// Win32 side of configuration: the registry settings store, the serial port
// opener and the Properties dialog.
#pragma once

#include <windows.h>

#include <cstdint>

// Reads "PortAddress", "BitNumber" and "UTCFlag" from HKCU\Software\Pellworth\Varnel
// (creating the key); a missing or unreadable value keeps its current value.
void LoadSettings();
// Writes the three values; nothing when the key cannot be opened.
void SaveSettings();
// Opens COM1..COM9 (n is 1..9; callers test the range) with the receiver's line
// settings; INVALID_PORT_HANDLE on failure.
uintptr_t OpenSerialPort(uint32_t n);

// Opens the modal Properties dialog owned by owner, or brings the one already
// open to the front.
void ShowPropertiesDialog(HINSTANCE instance, HWND owner);
