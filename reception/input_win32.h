// Win32 side of reception: the periodic timer's callback and the platform
// calls the sampling tick reads its input through.
#pragma once

#include <windows.h>

#include <cstdint>

#include "platform.h"

// InpOut32's port read: one I/O port address in, the port's byte in the low
// byte of the result. Resolved once at start-up.
typedef short(__stdcall* Inp32Function)(short port);
extern Inp32Function Inp32;

// Loads InpOut32.dll from the program's own folder or the system folder
// (never the current folder or PATH) and resolves Inp32.
enum InpOutLoad : int { INPOUT_LOADED, INPOUT_NO_LIBRARY, INPOUT_NO_INP32 };
InpOutLoad LoadInpOut32();

// The multimedia timer's callback, every 20 ms on the timer's own thread;
// user is the hidden window's handle.
void CALLBACK SampleTick(UINT timerId, UINT message, DWORD_PTR user, DWORD_PTR, DWORD_PTR);

// Platform calls for the input line: the modem status of a serial handle, an
// I/O port through Inp32, posting to the window, closing a serial handle.
bool Win32ReadModemStatus(uintptr_t handle, uint32_t* status);
uint32_t Win32ReadIoPort(uint32_t port);
void Win32PostTimeCode(uintptr_t window, uint32_t wParam, uint32_t lParam);
void Win32ClosePort(uintptr_t handle);
// The local clock's reading, and the performance counter in ms (any thread).
ClockTime Win32ReadClock();
uint64_t Win32MonotonicMs();
