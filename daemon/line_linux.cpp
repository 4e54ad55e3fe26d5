// Linux input lines. A serial port is opened like the Windows program opens
// its COM port (9600 8N1, DTR on to power the receiver, RTS off, not shared);
// its modem status (TIOCMGET) is read once at the start, and an edge thread
// sleeps in TIOCMIWAIT and stamps each change on the clocks as soon as it
// wakes, with the kernel's change count (TIOCGICOUNT) telling of changes it
// slept through; the 20 ms grid is replayed from the stamps. The kernel
// offers no stamp of its own for a modem-line change, so the wake-up is the
// best there is: tens of microseconds. An I/O port is read with inb on every
// 20 ms tick.
#include "line_linux.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#if defined(__i386__) || defined(__x86_64__)
#include <sys/io.h>
#endif

#include "../config/config.h"
#include "../reception/platform.h"

// Exit statuses of start-up (main_linux.cpp uses the same).
constexpr int EXIT_NO_LINE = 1;
constexpr int EXIT_NO_PRIVILEGE = 4;

static int64_t ClockNs(clockid_t clock)
{
    timespec t;
    clock_gettime(clock, &t);
    return int64_t(t.tv_sec) * NS_PER_S + t.tv_nsec;
}

// ---- Serial port ----

static int SerialFd = -1;
static int SerialMask = 0;      // the TIOCM_ bit of the selected line
static uint64_t SerialBase = 0;  // its change count at Open
static uint64_t SerialSeen = 0;  // the edge thread's last count

// The modem-status byte as Windows gives it: CTS bit 4, DSR 5, RI 6, DCD 7.
static bool SerialModemStatus(uintptr_t handle, uint32_t* status)
{
    int lines = 0;
    if (ioctl(int(handle), TIOCMGET, &lines) != 0)
        return false;
    *status = ((lines & TIOCM_CTS) ? 0x10u : 0) | ((lines & TIOCM_DSR) ? 0x20u : 0) |
              ((lines & TIOCM_RNG) ? 0x40u : 0) | ((lines & TIOCM_CD) ? 0x80u : 0);
    return true;
}

static void SerialClosePort(uintptr_t handle) { close(int(handle)); }

static void SerialYield() { sched_yield(); }

static bool SerialCount(uint64_t* count)
{
    serial_icounter_struct counts{};
    if (ioctl(SerialFd, TIOCGICOUNT, &counts) != 0)
        return false;
    int n = counts.dcd;
    if (SerialMask == TIOCM_CTS)
        n = counts.cts;
    else if (SerialMask == TIOCM_DSR)
        n = counts.dsr;
    else if (SerialMask == TIOCM_RNG)
        n = counts.rng;
    *count = uint32_t(n);  // the kernel's counter is an int that wraps
    return true;
}

static int SerialOpen(const DaemonOptions& o)
{
    static const int MASKS[4] = {TIOCM_CTS, TIOCM_DSR, TIOCM_RNG, TIOCM_CD};
    SerialMask = MASKS[(o.BitNumber - 4) & 3];
    SerialFd = open(o.PortPath, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (SerialFd < 0) {
        std::fprintf(stderr, "varneld: cannot open %s: %s\n", o.PortPath, std::strerror(errno));
        return EXIT_NO_LINE;
    }
    // Not shared, as on Windows: nobody else may open it while it is ours.
    if (ioctl(SerialFd, TIOCEXCL) != 0 && errno != ENOTTY) {
        std::fprintf(stderr, "varneld: cannot hold %s: %s\n", o.PortPath, std::strerror(errno));
        return EXIT_NO_LINE;
    }
    termios line{};
    if (tcgetattr(SerialFd, &line) != 0) {
        std::fprintf(stderr, "varneld: %s is no serial port: %s\n", o.PortPath,
                     std::strerror(errno));
        return EXIT_NO_LINE;
    }
    cfmakeraw(&line);
    cfsetispeed(&line, B9600);
    cfsetospeed(&line, B9600);
    line.c_cflag |= CLOCAL | CREAD;  // the modem lines are read, not obeyed
    tcsetattr(SerialFd, TCSANOW, &line);
    const int dtr = TIOCM_DTR;  // DTR powers the receiver; RTS stays off
    const int rts = TIOCM_RTS;
    ioctl(SerialFd, TIOCMBIS, &dtr);
    ioctl(SerialFd, TIOCMBIC, &rts);
    if (!SerialCount(&SerialBase)) {
        std::fprintf(stderr, "varneld: %s does not count its modem-line changes (TIOCGICOUNT): %s\n",
                     o.PortPath, std::strerror(errno));
        return EXIT_NO_LINE;
    }
    SerialSeen = SerialBase;
    PortAddress = 1;  // a serial port: the tick reads the handle's modem status
    PortHandle = uintptr_t(SerialFd);
    BitNumber = o.BitNumber;
    Platform.ReadModemStatus = SerialModemStatus;
    Platform.ClosePort = SerialClosePort;
    Platform.YieldThread = SerialYield;
    return 0;
}

static uint64_t SerialCountChanges()
{
    uint64_t count = 0;
    if (!SerialCount(&count))
        return 0;
    return uint32_t(count - SerialBase);
}

static bool SerialWaitChange(LineEdge* edge)
{
    for (;;) {
        if (ioctl(SerialFd, TIOCMIWAIT, SerialMask) != 0)
            return false;  // interrupted, or the port went away
        // Stamped first: everything after this only reads what happened.
        const int64_t realNs = ClockNs(CLOCK_REALTIME);
        const int64_t monoNs = ClockNs(CLOCK_MONOTONIC);
        const int64_t rawNs = ClockNs(CLOCK_MONOTONIC_RAW);
        uint64_t count;
        int lines = 0;
        if (!SerialCount(&count) || ioctl(SerialFd, TIOCMGET, &lines) != 0)
            return false;
        const uint32_t changes = uint32_t(count - SerialSeen);
        SerialSeen = count;
        if (changes == 0)
            continue;  // another line changed
        edge->MonoNs = monoNs;
        edge->RealNs = realNs;
        edge->RawNs = rawNs;
        edge->Level = (lines & SerialMask) ? 1 : 0;
        edge->Missed = uint8_t(changes - 1 < 255 ? changes - 1 : 255);
        return true;
    }
}

static void SerialClose()
{
    if (SerialFd >= 0)
        close(SerialFd);
    SerialFd = -1;
    PortHandle = INVALID_PORT_HANDLE;
}

const LineDriver SerialLine = {"serial", SerialOpen, SerialCountChanges, SerialWaitChange,
                               SerialClose};

// ---- I/O port ----

#if defined(__i386__) || defined(__x86_64__)
static uint32_t IoPortRead(uint32_t port) { return inb(uint16_t(port)); }

static int IoPortOpen(const DaemonOptions& o)
{
    // ioperm reaches the first 0x400 ports; a card above them needs iopl.
    const int result = o.IoAddress < 0x400 ? ioperm(o.IoAddress, 1, 1) : iopl(3);
    if (result != 0) {
        std::fprintf(stderr, "varneld: reading I/O port 0x%X needs CAP_SYS_RAWIO: %s\n",
                     unsigned(o.IoAddress), std::strerror(errno));
        return EXIT_NO_PRIVILEGE;
    }
    PortAddress = o.IoAddress;
    PortHandle = INVALID_PORT_HANDLE;
    BitNumber = o.BitNumber;
    Platform.ReadIoPort = IoPortRead;
    return 0;
}
#else
static int IoPortOpen(const DaemonOptions& o)
{
    std::fprintf(stderr, "varneld: I/O port 0x%X: this computer has no I/O ports\n",
                 unsigned(o.IoAddress));
    return EXIT_NO_LINE;
}
#endif

static uint64_t NoChanges() { return 0; }
static void NoClose() {}

const LineDriver IoPortLine = {"I/O port", IoPortOpen, NoChanges, nullptr, NoClose};

// ---- The edge thread and its queue ----

// A single-producer, single-consumer ring: the edge thread writes Head, the
// main thread Tail; each slot is read only after the release of its index.
constexpr uint32_t EDGE_QUEUE_SIZE = 64;
static LineEdge EdgeQueue[EDGE_QUEUE_SIZE];
static std::atomic<uint32_t> EdgeHead{0};
static std::atomic<uint32_t> EdgeTail{0};
static_assert(std::atomic<uint32_t>::is_always_lock_free, "lock-free queue");

static const LineDriver* EdgeDriver = nullptr;
static pthread_t EdgeThread;
static std::atomic<bool> EdgeStop{false};
static std::atomic<bool> EdgeEnded{false};

// Real-time priority of the edge thread: its stamps are taken when it runs,
// and a busy computer would otherwise hold it up for milliseconds.
constexpr int EDGE_THREAD_PRIORITY = 10;

static void* WatchEdges(void*)
{
    // Without the right (CAP_SYS_NICE, or an RLIMIT_RTPRIO as the unit
    // gives) it runs as any thread, its stamps now and then late.
    sched_param priority{};
    priority.sched_priority = EDGE_THREAD_PRIORITY;
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &priority);
    uint32_t dropped = 0;  // changes the full queue could not take
    LineEdge edge;
    while (!EdgeStop.load()) {
        if (!EdgeDriver->WaitChange(&edge)) {
            if (errno == EINTR)
                continue;  // a signal, perhaps the one that stops this thread
            break;         // the line is gone: the tick's reads now fail too
        }
        const uint32_t head = EdgeHead.load(std::memory_order_relaxed);
        if (head - EdgeTail.load(std::memory_order_acquire) == EDGE_QUEUE_SIZE) {
            dropped += 1 + edge.Missed;
            continue;
        }
        // The dropped ones are counted into the next edge that gets through.
        const uint32_t missed = edge.Missed + dropped;
        edge.Missed = uint8_t(missed < 255 ? missed : 255);
        dropped = 0;
        EdgeQueue[head % EDGE_QUEUE_SIZE] = edge;
        EdgeHead.store(head + 1, std::memory_order_release);
    }
    EdgeEnded.store(true);
    return nullptr;
}

// Only interrupts the edge thread's wait (no SA_RESTART).
static void WakeEdgeThread(int) {}

bool StartEdgeThread(const LineDriver& driver)
{
    struct sigaction wake{};
    wake.sa_handler = WakeEdgeThread;
    sigemptyset(&wake.sa_mask);
    sigaction(SIGUSR1, &wake, nullptr);
    EdgeDriver = &driver;
    return pthread_create(&EdgeThread, nullptr, WatchEdges, nullptr) == 0;
}

void StopEdgeThread()
{
    if (EdgeDriver == nullptr)
        return;
    EdgeStop.store(true);
    // A signal sent just before the thread enters its wait is lost: send
    // again until it has ended.
    while (!EdgeEnded.load()) {
        pthread_kill(EdgeThread, SIGUSR1);
        const timespec pause{0, 20 * 1000000};
        nanosleep(&pause, nullptr);
    }
    pthread_join(EdgeThread, nullptr);
    EdgeDriver = nullptr;
}

bool TakeEdge(LineEdge* edge)
{
    const uint32_t tail = EdgeTail.load(std::memory_order_relaxed);
    if (tail == EdgeHead.load(std::memory_order_acquire))
        return false;
    *edge = EdgeQueue[tail % EDGE_QUEUE_SIZE];
    EdgeTail.store(tail + 1, std::memory_order_release);
    return true;
}
