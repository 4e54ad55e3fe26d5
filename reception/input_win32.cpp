// Win32 glue of the sampling tick: the timer callback hands each 20 ms tick to
// the portable SampleStep and makes no user-interface call but PostMessage.
#include "input_win32.h"

#include "reception.h"

Inp32Function Inp32 = nullptr;

void CALLBACK SampleTick(UINT, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR)
{
    SampleStep(uintptr_t(user));
}

bool Win32ReadModemStatus(uintptr_t handle, uint32_t* status)
{
    DWORD modemStatus = 0;
    if (!GetCommModemStatus(HANDLE(handle), &modemStatus))
        return false;
    *status = modemStatus;
    return true;
}

uint32_t Win32ReadIoPort(uint32_t port)
{
    // The port value is passed on as it is; Inp32 takes a 16-bit address.
    return uint32_t(uint16_t(Inp32(short(port))));
}

void Win32PostTimeCode(uintptr_t window, uint32_t wParam, uint32_t lParam)
{
    PostMessageA(HWND(window), WM_TIMECODE, WPARAM(wParam), LPARAM(lParam));
}

void Win32ClosePort(uintptr_t handle) { CloseHandle(HANDLE(handle)); }
