// A stand-in for InpOut32.dll in the Wine tests: the two port calls, with every
// input line reading 1 and writes going nowhere.
#include <windows.h>

extern "C" short __stdcall Inp32(short) { return 0xFF; }

extern "C" void __stdcall Out32(short, short) {}
