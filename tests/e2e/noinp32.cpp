// An InpOut32.dll without Inp32, for the start-up failure with exit code 5:
// the library loads, but the port-read function cannot be resolved.
#include <windows.h>

extern "C" void __stdcall Out32(short, short) {}
