// Simulated InpOut32.dll: Inp32 returns a live MSF signal, synthesized from the
// computer's own clock, on one bit of one I/O port; Out32 does nothing. NOT the
// real library: it touches no hardware. Environment variables: see README.md.
//
// The line is computed from the clock at each call rather than from a sample
// thread of our own: no thread to start inside DllMain, no drift between a
// thread's ticks and the caller's, and the caller may read at any rate.
#include "sim.h"

#include <cinttypes>
#include <cstring>

#include "msf_synth.h"

// Signal time zero for scripts and the loss timer: the first read of the
// simulated port, in performance-counter ticks (0 until then).
static volatile LONG64 FirstReadTicks;
static int64_t TicksPerSecond;
static volatile LONG64 NoiseDraws;  // Inp32 reads so far: one noise draw each

// Ports already read, to log the first read of each (the tick reads every
// 20 ms, the Properties dialog every 10 ms: logging every read would bury the rest).
static volatile LONG SeenPorts[64];
static volatile LONG SeenCount;

typedef VOID(WINAPI* PreciseTimeFunction)(LPFILETIME);
static PreciseTimeFunction PreciseTime;

static int64_t NowUtcMs()
{
    FILETIME now;
    // The precise call exists from Windows 8 on (and in Wine); the plain one
    // may step by 10-16 ms, still fine for a 20 ms sampler.
    if (PreciseTime)
        PreciseTime(&now);
    else
        GetSystemTimeAsFileTime(&now);
    const int64_t ticks = int64_t(uint64_t(now.dwHighDateTime) << 32 | now.dwLowDateTime);
    return (ticks - 116444736000000000LL) / 10000;  // 100 ns since 1601 -> ms since 1970
}

static int64_t MsSinceFirstRead()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    InterlockedCompareExchange64(&FirstReadTicks, now.QuadPart ? now.QuadPart : 1, 0);
    return (now.QuadPart - FirstReadTicks) * 1000 / TicksPerSecond;
}

// The receiver line for the simulated port at this moment: 0 or 1.
static unsigned LineLevel()
{
    const int64_t elapsedMs = MsSinceFirstRead();
    unsigned line;
    if (Sim.Script) {
        // Past the end the receiver holds the carrier-on level: no pulses.
        const int64_t index = elapsedMs / 20;
        line = index < int64_t(Sim.ScriptLength) ? unsigned(Sim.Script[index] - '0') : Sim.Level;
    } else {
        bool carrier = false;
        if (!Sim.Off && (Sim.LossAfterMs < 0 || elapsedMs < Sim.LossAfterMs)) {
            const SynthSignal signal = {0, false, 0};
            carrier = SynthCarrierOn(signal, SynthSignalUsFromUtcMs(signal, NowUtcMs() + Sim.OffsetMs));
        }
        line = carrier ? Sim.Level : 1u - Sim.Level;
    }
    if (Sim.NoiseThreshold) {
        // Counter-based draws: thread-safe without a lock (the tick's timer
        // thread and the dialog's UI thread both read).
        uint64_t state = Sim.Seed + uint64_t(InterlockedIncrement64(&NoiseDraws)) * 0x9E3779B97F4A7C15ULL;
        if (SynthNextRandom(state) <= Sim.NoiseThreshold)
            line ^= 1;
    }
    return line;
}

static void NotePort(uint16_t port, unsigned value)
{
    if (!SimLogging())
        return;
    const LONG count = SeenCount;
    for (LONG i = 0; i < count && i < 64; ++i)
        if (SeenPorts[i] == port)
            return;
    // Two threads may both log a new port once; harmless.
    const LONG slot = InterlockedIncrement(&SeenCount) - 1;
    if (slot < 64)
        SeenPorts[slot] = port;
    SimLog("INP port=0x%x value=0x%02x first=1", unsigned(port), value);
}

// The time of the last read of the simulated port (ms since the first), -1
// before it. A read more than READ_GAP_MS after the one before means the
// caller's 20 ms timer stalled (a loaded host drops its ticks): logged, so
// that tests can tell a stall from a fault in what the reads made of the line.
static volatile LONG64 LastReadMs = -1;
constexpr int64_t READ_GAP_MS = 50;

static void NoteReadGap()
{
    if (!SimLogging())
        return;
    const int64_t now = MsSinceFirstRead();
    const int64_t last = InterlockedExchange64(&LastReadMs, now);
    if (last >= 0 && now - last > READ_GAP_MS)
        SimLog("GAP ms=%ld from=%ld", long(now - last), long(last));
}

extern "C" short __stdcall Inp32(short portAddress)
{
    const uint16_t port = uint16_t(portAddress);
    unsigned value = 0xFF;  // an absent port reads all ones, like an open bus
    if (port == Sim.Port) {
        if (LineLevel() == 0)
            value &= ~(1u << Sim.Bit);
        NoteReadGap();
    }
    NotePort(port, value);
    return short(value);
}

extern "C" void __stdcall Out32(short portAddress, short data)
{
    if (SimLogging())
        SimLog("OUT port=0x%x value=0x%02x", unsigned(uint16_t(portAddress)), unsigned(uint16_t(data)) & 0xFF);
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_ATTACH) {
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        TicksPerSecond = frequency.QuadPart;
        FARPROC precise = GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetSystemTimePreciseAsFileTime");
        static_assert(sizeof precise == sizeof PreciseTime, "function pointer sizes");
        memcpy(&PreciseTime, &precise, sizeof PreciseTime);
        SimReadConfig();
        SimReportConfig();
        // Patched under the loader lock, before LoadLibrary returns: the
        // program has not yet opened its port or created its window.
        if (Sim.Hooks)
            SimInstallHooks();
    } else if (reason == DLL_PROCESS_DETACH) {
        // reserved is non-null when the process is ending: the imports are
        // not called again. On FreeLibrary put them back, since our code is
        // about to be unmapped.
        if (reserved == nullptr)
            SimRemoveHooks();
        if (Sim.Script && reserved == nullptr)
            HeapFree(GetProcessHeap(), 0, Sim.Script);
        SimLogClose();
    }
    return TRUE;
}
