// A simulated tty for varneld, loaded with LD_PRELOAD: opening the simulated
// device path gives a pseudo-terminal (so termios calls work), whose modem
// line follows an MSF receiver's output (line_edges.h) at exactly known
// instants, answered as the kernel answers for a real serial port: TIOCMGET
// gives the line now, TIOCMIWAIT sleeps until it changes, TIOCGICOUNT counts
// its changes. The kernel's pseudo-terminals have no modem lines; this is
// what stands in for them. A TEST AND DEMONSTRATION TOOL, NOT A DRIVER.
//
// Any clock_settime or settimeofday of the process is recorded in the log and
// answered as done, without touching the clock: nothing this library is
// loaded into can change the machine's time.
//
// The signal's truth is the system clock plus VARNEL_SIM_OFFSET, so a daemon
// that measures right reports exactly that offset. Environment (read once):
//   VARNEL_SIM_DEVICE   the simulated device path (/dev/ttyMSF0)
//   VARNEL_SIM_LINE     cts, dsr, ri or dcd (dcd)
//   VARNEL_SIM_LEVEL    line level while the carrier is on, 0 or 1 (1)
//   VARNEL_SIM_OFFSET   seconds the signal is ahead of the clock (0)
//   VARNEL_SIM_DELAY_MS, VARNEL_SIM_JITTER_MS (sd), VARNEL_SIM_BIAS_MS,
//   VARNEL_SIM_GLITCHES (per second, 2..40 ms each), VARNEL_SIM_SEED (1)
//   VARNEL_SIM_LOG      a file the library appends its records to
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "line_edges.h"

namespace {

struct Simulation {
    pthread_mutex_t Lock = PTHREAD_MUTEX_INITIALIZER;
    bool Configured = false;
    char Device[256] = "/dev/ttyMSF0";
    int LineMask = TIOCM_CD;
    int64_t OffsetNs = 0;
    EdgeLineOptions Options;
    FILE* Log = nullptr;
    int Fd = -1;             // the pseudo-terminal handed out for the device
    int Master = -1;
    int Controls = TIOCM_DTR | TIOCM_RTS;  // what the program set
    bool Started = false;
    EdgeLine Line;
    int64_t NextNs = 0;      // truth time of the next change
    uint8_t NextLevel = 0;
    uint8_t Level = 0;       // the line now
    uint32_t Changes = 0;    // changes so far, as TIOCGICOUNT counts them
};
Simulation Sim;

int64_t RealNow()
{
    timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

double EnvNumber(const char* name, double fallback)
{
    const char* text = getenv(name);
    if (text == nullptr || *text == '\0')
        return fallback;
    char* end;
    const double v = strtod(text, &end);
    return *end == '\0' ? v : fallback;
}

void Record(const char* format, ...)
{
    if (Sim.Log == nullptr)
        return;
    va_list args;
    va_start(args, format);
    vfprintf(Sim.Log, format, args);
    va_end(args);
    fflush(Sim.Log);
}

void Configure()
{
    if (Sim.Configured)
        return;
    Sim.Configured = true;
    if (const char* device = getenv("VARNEL_SIM_DEVICE"))
        snprintf(Sim.Device, sizeof Sim.Device, "%s", device);
    if (const char* line = getenv("VARNEL_SIM_LINE")) {
        Sim.LineMask = strcmp(line, "cts") == 0   ? TIOCM_CTS
                       : strcmp(line, "dsr") == 0 ? TIOCM_DSR
                       : strcmp(line, "ri") == 0  ? TIOCM_RNG
                                                  : TIOCM_CD;
    }
    Sim.Options = DefaultEdgeLineOptions();
    Sim.Options.Level = EnvNumber("VARNEL_SIM_LEVEL", 1) != 0;
    Sim.Options.DelayNs = int64_t(EnvNumber("VARNEL_SIM_DELAY_MS", 0) * 1e6);
    Sim.Options.JitterNs = int64_t(EnvNumber("VARNEL_SIM_JITTER_MS", 0) * 1e6);
    Sim.Options.BiasNs = int64_t(EnvNumber("VARNEL_SIM_BIAS_MS", 0) * 1e6);
    Sim.Options.GlitchesPerSecond = EnvNumber("VARNEL_SIM_GLITCHES", 0);
    Sim.Options.Seed = uint64_t(EnvNumber("VARNEL_SIM_SEED", 1));
    Sim.OffsetNs = int64_t(EnvNumber("VARNEL_SIM_OFFSET", 0) * 1e9);
    if (const char* log = getenv("VARNEL_SIM_LOG"))
        Sim.Log = fopen(log, "ae");
}

// Moves the line up to truth time nowNs. Lock held.
void Advance(int64_t nowNs)
{
    if (!Sim.Started) {
        EdgeLineBegin(Sim.Line, Sim.Options, nowNs);
        Sim.Level = Sim.Line.Level;
        EdgeLineNext(Sim.Line, &Sim.NextNs, &Sim.NextLevel);
        Sim.Started = true;
    }
    while (Sim.NextNs <= nowNs) {
        Sim.Level = Sim.NextLevel;
        ++Sim.Changes;
        EdgeLineNext(Sim.Line, &Sim.NextNs, &Sim.NextLevel);
    }
}

int64_t TruthNow() { return RealNow() + Sim.OffsetNs; }

// The simulated interrupt: the waiter sleeps until this long before the
// change and spins the rest. A sleeping thread on an idle virtual machine
// wakes hundreds of microseconds late; a real port's interrupt wakes the
// waiter within tens. The spinning is the simulator's, not the daemon's
// work: its CPU time is recorded ("SPIN total_ns=", once a minute) for
// measurements of the daemon to take off.
constexpr int64_t SPIN_NS = 600000;
int64_t SpunNs = 0;          // CPU time spent spinning so far (edge thread only)
int64_t SpinReportedNs = 0;  // when the total was last recorded

int64_t ThreadCpuNow()
{
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// TIOCMIWAIT: sleeps until the line's next change, timer slack cut.
int WaitForChange()
{
    pthread_mutex_lock(&Sim.Lock);
    Advance(TruthNow());
    const int64_t wakeReal = Sim.NextNs - Sim.OffsetNs;
    pthread_mutex_unlock(&Sim.Lock);
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    const int64_t sleepUntil = wakeReal - SPIN_NS;
    if (sleepUntil > RealNow()) {
        const timespec t{time_t(sleepUntil / 1000000000), long(sleepUntil % 1000000000)};
        const int result = clock_nanosleep(CLOCK_REALTIME, TIMER_ABSTIME, &t, nullptr);
        if (result != 0) {
            errno = result;  // EINTR: a signal, as the kernel's wait ends
            return -1;
        }
    }
    const int64_t spinFrom = ThreadCpuNow();
    int64_t now;
    while ((now = RealNow()) < wakeReal) {
    }
    SpunNs += ThreadCpuNow() - spinFrom;
    if (now - SpinReportedNs >= 60000000000) {
        SpinReportedNs = now;
        Record("SPIN total_ns=%lld at=%lld\n", (long long)SpunNs, (long long)now);
    }
    return 0;
}

int ModemLines()
{
    pthread_mutex_lock(&Sim.Lock);
    Advance(TruthNow());
    const bool asserted = Sim.Level != 0;
    pthread_mutex_unlock(&Sim.Lock);
    return Sim.Controls | (asserted ? Sim.LineMask : 0);
}

void CountChanges(serial_icounter_struct* counts)
{
    memset(counts, 0, sizeof *counts);
    pthread_mutex_lock(&Sim.Lock);
    Advance(TruthNow());
    const int n = int(Sim.Changes);
    pthread_mutex_unlock(&Sim.Lock);
    if (Sim.LineMask == TIOCM_CTS)
        counts->cts = n;
    else if (Sim.LineMask == TIOCM_DSR)
        counts->dsr = n;
    else if (Sim.LineMask == TIOCM_RNG)
        counts->rng = n;
    else
        counts->dcd = n;
}

template <typename F>
F Next(const char* name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// The device path opened: a fresh pseudo-terminal's other end.
int OpenSimulated()
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return -1;
    char name[64];
    if (ptsname_r(master, name, sizeof name) != 0)
        return -1;
    using OpenFunction = int (*)(const char*, int, ...);
    const int fd = Next<OpenFunction>("open")(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        close(master);
        return -1;
    }
    Sim.Master = master;
    Sim.Fd = fd;
    Record("OPEN %s line=0x%x offset_ns=%lld delay_ns=%lld jitter_ns=%lld bias_ns=%lld glitches=%g\n",
           Sim.Device, Sim.LineMask, (long long)Sim.OffsetNs, (long long)Sim.Options.DelayNs,
           (long long)Sim.Options.JitterNs, (long long)Sim.Options.BiasNs,
           Sim.Options.GlitchesPerSecond);
    return fd;
}

bool IsDevice(const char* path)
{
    Configure();
    return path != nullptr && strcmp(path, Sim.Device) == 0;
}

int RecordClockSetting(clockid_t clock, int64_t setNs)
{
    const int64_t atNs = RealNow();
    Record("CLOCK clock=%d set_ns=%lld at_ns=%lld error_ns=%lld\n", int(clock), (long long)setNs,
           (long long)atNs, (long long)(setNs - (atNs + Sim.OffsetNs)));
    return 0;
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...)
{
    if (IsDevice(path))
        return OpenSimulated();
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_t(va_arg(args, int));
    va_end(args);
    using F = int (*)(const char*, int, ...);
    return Next<F>("open")(path, flags, mode);
}

int open64(const char* path, int flags, ...)
{
    if (IsDevice(path))
        return OpenSimulated();
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_t(va_arg(args, int));
    va_end(args);
    using F = int (*)(const char*, int, ...);
    return Next<F>("open64")(path, flags, mode);
}

int openat(int dir, const char* path, int flags, ...)
{
    if (IsDevice(path))
        return OpenSimulated();
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_t(va_arg(args, int));
    va_end(args);
    using F = int (*)(int, const char*, int, ...);
    return Next<F>("openat")(dir, path, flags, mode);
}

int __open_2(const char* path, int flags)
{
    if (IsDevice(path))
        return OpenSimulated();
    using F = int (*)(const char*, int);
    return Next<F>("__open_2")(path, flags);
}

int close(int fd)
{
    if (fd >= 0 && fd == Sim.Fd) {
        Sim.Fd = -1;
        using F = int (*)(int);
        Next<F>("close")(Sim.Master);
        Sim.Master = -1;
    }
    using F = int (*)(int);
    return Next<F>("close")(fd);
}

int ioctl(int fd, unsigned long request, ...)
{
    va_list args;
    va_start(args, request);
    void* argument = va_arg(args, void*);
    va_end(args);
    if (fd >= 0 && fd == Sim.Fd) {
        switch (request) {
        case TIOCMGET:
            *static_cast<int*>(argument) = ModemLines();
            return 0;
        case TIOCMBIS:
            Sim.Controls |= *static_cast<int*>(argument) & (TIOCM_DTR | TIOCM_RTS);
            return 0;
        case TIOCMBIC:
            Sim.Controls &= ~(*static_cast<int*>(argument) & (TIOCM_DTR | TIOCM_RTS));
            return 0;
        case TIOCMSET:
            Sim.Controls = *static_cast<int*>(argument) & (TIOCM_DTR | TIOCM_RTS);
            return 0;
        case TIOCMIWAIT:
            return WaitForChange();
        case TIOCGICOUNT:
            CountChanges(static_cast<serial_icounter_struct*>(argument));
            return 0;
        default:
            break;
        }
    }
    using F = int (*)(int, unsigned long, ...);
    return Next<F>("ioctl")(fd, request, argument);
}

int clock_settime(clockid_t clock, const struct timespec* t)
{
    Configure();
    return RecordClockSetting(clock, int64_t(t->tv_sec) * 1000000000 + t->tv_nsec);
}

int settimeofday(const struct timeval* tv, const struct timezone*)
{
    Configure();
    return tv == nullptr ? 0 : RecordClockSetting(CLOCK_REALTIME,
                                                  int64_t(tv->tv_sec) * 1000000000 + tv->tv_usec * 1000);
}

}  // extern "C"
