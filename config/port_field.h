// The Properties dialog's decisions as pure functions: the two lists, reading
// the port field, matching the stored port at open, the indicator and OK.
#pragma once

#include <cstdint>

#include "config.h"

// The port list, unsorted, so that item i of 0..8 is COM(i + 1). The addresses
// are the game port, the parallel status registers and the serial controllers'
// modem-status registers of the standard PC I/O map.
constexpr int32_t PORT_ITEM_COUNT = 16;
constexpr const char* PortItems[PORT_ITEM_COUNT] = {
    "COM1:", "COM2:", "COM3:", "COM4:", "COM5:", "COM6:", "COM7:", "COM8:",
    "COM9:", "201",   "279",   "2EE",   "2FE",   "379",   "3EE",   "3FE"};
constexpr int32_t SERIAL_ITEM_COUNT = 9;  // items 0..8 are the serial ports

constexpr int32_t BIT_ITEM_COUNT = 8;
constexpr const char* BitItems[BIT_ITEM_COUNT] = {"0", "1", "2", "3", "4", "5", "6", "7"};

// A list with nothing selected answers this index.
constexpr int32_t NO_ITEM = -1;

// How much of the port field is read: longer addresses are cut to their first
// four characters.
constexpr int32_t PORT_FIELD_CHARS = 4;

// The leading hexadecimal number of the first PORT_FIELD_CHARS characters of
// text, scanned as the C library's "%x" does: blanks skipped, an optional sign,
// an optional 0x, then digits up to the first non-digit; a "-" negates modulo
// 2^32. False (and *value untouched) when no digit is found.
bool ScanPortHex(const char* text, uint32_t* value);

// The port value the dialog stands for: selected (NO_ITEM when none) 0..8 give
// COM1..COM9; otherwise the hexadecimal number in the edit text, or
// selected + 1 when it has none (0 with nothing selected).
uint32_t ParsePortField(int32_t selected, const char* editText);

// How the port field opens for a stored PortAddress: Item is the list item to
// select, or NO_ITEM with EditText to put into the edit field (empty for none).
struct PortFieldOpening {
    int32_t Item;
    char EditText[9];  // up to eight hex digits and the terminating zero
};
PortFieldOpening MatchPortAtOpen(uint32_t portAddress);

// The bit list's selection as a bit number: NO_ITEM (a stored BitNumber above
// 7 selects nothing) reads as 7, the default, both for the indicator and OK.
uint8_t SelectedBit(int32_t selection);

// One indicator refresh when the port field names P. PlanIndicator says what
// to close and open; after the open (if any) ResolveIndicatorOpen completes it.
enum OkButtonChange : uint8_t { OK_UNCHANGED, OK_ENABLE, OK_DISABLE };
struct IndicatorPlan {
    uintptr_t Close;       // close this handle first, or INVALID_PORT_HANDLE
    uint32_t Open;         // serial port to open for the test, 0 for none
    uint32_t TestPort;     // the new TestPort
    uintptr_t TestHandle;  // the new TestHandle (when Open is 0)
    OkButtonChange Ok;
    bool Grey;             // the open failed: grey square, no read
};
IndicatorPlan PlanIndicator(uint32_t p, uint32_t testPort, uintptr_t testHandle,
                            uint32_t portAddress, uintptr_t portHandle);
// opened is what opening plan.Open gave (INVALID_PORT_HANDLE on failure).
void ResolveIndicatorOpen(IndicatorPlan& plan, uintptr_t opened);

// The indicator's colour for a read input byte and the bit list's selection.
enum IndicatorBrush : uint8_t { BRUSH_WHITE, BRUSH_BLACK, BRUSH_GRAY };
IndicatorBrush IndicatorColour(uint8_t input, int32_t bitSelection);

// What OK does, decided before any of it is done, in this order: close
// CloseTest; when PortChanged set PortAddress and open OpenPort (0: none) as
// the new shared handle, replacing (and closing) the old one; store the bit
// and the clock mode; save.
struct OkPlan {
    uintptr_t CloseTest;  // the test handle to close, or INVALID_PORT_HANDLE
    bool PortChanged;     // P differs from PortAddress
    uint32_t PortAddress; // the new PortAddress (P)
    uint32_t OpenPort;    // serial port to open as the shared handle, 0 for none
    uint8_t BitNumber;
    uint8_t UTCFlag;
};
OkPlan PlanOk(uint32_t p, uintptr_t testHandle, uint32_t portAddress, uintptr_t portHandle,
              int32_t bitSelection, bool utcChecked);
