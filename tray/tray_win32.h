// Win32 side of the tray application: what start-up, the window procedure and
// the platform table share.
#pragma once

#include <windows.h>

// The tray icon's callback message.
constexpr UINT WM_TRAYNOTIFY = WM_USER + 1;

// Module instance that resources and the Properties dialog are loaded from.
extern HINSTANCE AppInstance;

// Procedure of the hidden window of class "Varnel".
LRESULT CALLBACK VarnelWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Fills the platform table with the Win32 calls; first thing at start-up.
void InstallWin32Platform();

// A start-up failure: warning box, no owner, caption "VARNEL".
void ShowWarning(const char* text);
