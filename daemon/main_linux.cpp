// varneld: start-up and main loop on Linux. Reads the settings, opens the
// line, and then wakes on a monotonic timerfd: a serial line's stamped edges
// go to the portable core, which replays the 20 ms grid from them; an I/O
// port is read on every 20 ms tick; samples go to chronyd's SOCK
// socket, or the clock is set (direct mode). The status line goes to systemd
// (sd_notify's STATUS=) and to standard error at every change, and nothing
// else is written. SIGTERM or SIGINT end it with status 0.
//
// Exit statuses: 0 ended by a signal; 1 the line could not be opened; 2 a bad
// setting or option; 4 a privilege missing (CAP_SYS_TIME for direct mode,
// CAP_SYS_RAWIO for an I/O port); 5 the system refused a timer or socket.
#include <fcntl.h>
#include <linux/capability.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "../config/config.h"
#include "../reception/reception.h"
#include "daemon.h"
#include "line_linux.h"

#ifndef VARNEL_VERSION
#define VARNEL_VERSION "unknown"
#endif

enum DaemonExit : int {
    EXIT_BAD_SETTING = 2,
    EXIT_NO_PRIVILEGE = 4,
    EXIT_SYSTEM = 5,
};

// After a suspend the timer owes many ticks; a few catch up, the rest are lost,
// as the Windows timer loses them.
constexpr uint64_t MAX_CATCH_UP_TICKS = 5;

static int64_t ClockNs(clockid_t clock)
{
    timespec t;
    clock_gettime(clock, &t);
    return int64_t(t.tv_sec) * NS_PER_S + t.tv_nsec;
}

// ---- Outputs ----

// chronyd's SOCK sample, laid out as its reference-clock driver reads it.
struct SockSample {
    timeval Time;    // system time of the measurement
    double Offset;   // true time minus system time, seconds
    int Pulse;       // 0: a whole time, not a bare pulse
    int Leap;        // 0: no leap second announced
    int Padding;
    int Magic;
};
constexpr int SOCK_MAGIC = 0x534f434b;

static int ChronySocket = -1;
static sockaddr_un ChronyAddress;

// A datagram to the path each time: samples flow whenever chronyd is there,
// also after it restarts; until then they are lost, as chronyd would drop
// them anyway once older than its poll.
static void SendChronySample(int64_t realNs, int64_t offsetNs)
{
    SockSample sample{};
    sample.Time.tv_sec = time_t(realNs / NS_PER_S);
    sample.Time.tv_usec = suseconds_t(realNs % NS_PER_S / 1000);
    // The microseconds cut off the stamp move into the offset.
    sample.Offset = double(offsetNs + realNs % 1000) / 1e9;
    sample.Magic = SOCK_MAGIC;
    sendto(ChronySocket, &sample, sizeof sample, MSG_DONTWAIT,
           reinterpret_cast<const sockaddr*>(&ChronyAddress), sizeof ChronyAddress);
}

static bool SetRealTime(int64_t utcNs, int64_t atMonoNs)
{
    const int64_t ns = utcNs + (ClockNs(CLOCK_MONOTONIC) - atMonoNs);
    const timespec t{time_t(ns / NS_PER_S), long(ns % NS_PER_S)};
    return clock_settime(CLOCK_REALTIME, &t) == 0;
}

// systemd's notification socket (sd_notify's protocol: one datagram of
// NAME=value lines to $NOTIFY_SOCKET, '@' for the abstract namespace).
static int NotifySocket = -1;
static sockaddr_un NotifyAddress;
static socklen_t NotifyLength = 0;

static void OpenNotifySocket()
{
    const char* path = std::getenv("NOTIFY_SOCKET");
    if (path == nullptr || (path[0] != '/' && path[0] != '@') ||
        std::strlen(path) >= sizeof NotifyAddress.sun_path)
        return;
    NotifyAddress.sun_family = AF_UNIX;
    std::memcpy(NotifyAddress.sun_path, path, std::strlen(path));
    if (path[0] == '@')
        NotifyAddress.sun_path[0] = '\0';
    NotifyLength = socklen_t(offsetof(sockaddr_un, sun_path) + std::strlen(path));
    NotifySocket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
}

static void Notify(const char* text)
{
    if (NotifySocket >= 0)
        sendto(NotifySocket, text, std::strlen(text), MSG_NOSIGNAL,
               reinterpret_cast<const sockaddr*>(&NotifyAddress), NotifyLength);
}

static void ShowStatusLine(const char* line)
{
    std::fprintf(stderr, "%s\n", line);
    char message[TIP_SIZE + 16];
    std::snprintf(message, sizeof message, "STATUS=%s", line);
    Notify(message);
}

// ---- Start-up ----

static bool HoldsCapability(int capability)
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &header, data) != 0)
        return false;
    return (data[capability / 32].effective >> (capability % 32) & 1) != 0;
}

// Reads the settings file into text (SETTINGS_FILE_SIZE bytes). The default
// file may be absent (the built-in defaults hold); a named one may not.
static bool ReadSettingsFile(const char* path, bool named, char* text)
{
    text[0] = '\0';
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (!named && errno == ENOENT)
            return true;
        std::fprintf(stderr, "varneld: cannot read %s: %s\n", path, std::strerror(errno));
        return false;
    }
    size_t length = 0;
    ssize_t got;
    while ((got = read(fd, text + length, SETTINGS_FILE_SIZE - length)) > 0)
        length += size_t(got);
    close(fd);
    if (got < 0 || length >= SETTINGS_FILE_SIZE) {
        std::fprintf(stderr, "varneld: cannot read %s: %s\n", path,
                     got < 0 ? std::strerror(errno) : "longer than 8 KiB");
        return false;
    }
    text[length] = '\0';
    return true;
}

static int LoadOptions(int argc, char* argv[], DaemonOptions& options)
{
    char error[OPTION_ERROR_SIZE];
    DefaultOptions(options);
    CommandLine command = FindConfigOption(argc, argv, options, error);
    if (command == COMMAND_RUN) {
        static char text[SETTINGS_FILE_SIZE + 1];
        const bool named = std::strcmp(options.ConfigPath, DEFAULT_CONFIG_PATH) != 0;
        if (!ReadSettingsFile(options.ConfigPath, named, text))
            return EXIT_BAD_SETTING;
        if (!ParseSettings(options, text, options.ConfigPath, error)) {
            std::fprintf(stderr, "varneld: %s\n", error);
            return EXIT_BAD_SETTING;
        }
        command = ParseCommandLine(argc, argv, options, error);
    }
    switch (command) {
    case COMMAND_HELP:
        std::fputs(USAGE_TEXT, stdout);
        std::exit(0);
    case COMMAND_VERSION:
        std::printf("varneld %s\n", VARNEL_VERSION);
        std::exit(0);
    case COMMAND_BAD:
        std::fprintf(stderr, "varneld: %s\n", error);
        return EXIT_BAD_SETTING;
    case COMMAND_RUN:
        break;
    }
    if (!CheckOptions(options, error)) {
        std::fprintf(stderr, "varneld: %s\n", error);
        return EXIT_BAD_SETTING;
    }
    return 0;
}

int main(int argc, char* argv[])
{
    DaemonOptions options;
    if (const int code = LoadOptions(argc, argv, options))
        return code;
    if (options.Mode == MODE_DIRECT && !HoldsCapability(CAP_SYS_TIME)) {
        std::fprintf(stderr,
                     "varneld: direct mode sets the clock and needs CAP_SYS_TIME: run it as "
                     "root, or as the varneld-direct service\n");
        return EXIT_NO_PRIVILEGE;
    }

    // The signals that end the daemon arrive through a signalfd; every thread
    // made from here on keeps them blocked.
    sigset_t ending;
    sigemptyset(&ending);
    sigaddset(&ending, SIGTERM);
    sigaddset(&ending, SIGINT);
    sigaddset(&ending, SIGHUP);
    sigprocmask(SIG_BLOCK, &ending, nullptr);
    const int signals = signalfd(-1, &ending, SFD_CLOEXEC);
    const int timer = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
    ChronySocket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (signals < 0 || timer < 0 || ChronySocket < 0) {
        std::fprintf(stderr, "varneld: %s\n", std::strerror(errno));
        return EXIT_SYSTEM;
    }
    ChronyAddress.sun_family = AF_UNIX;
    std::memcpy(ChronyAddress.sun_path, options.SocketPath, std::strlen(options.SocketPath));

    const LineDriver& line = options.PortPath[0] != '\0' ? SerialLine : IoPortLine;
    if (const int code = line.Open(options))
        return code;
    UTCFlag = options.UTCFlag;

    OpenNotifySocket();
    const DaemonOps ops = {SendChronySample, SetRealTime, ShowStatusLine};
    DaemonBegin(options.Mode, options.DelayNs, line.WaitChange != nullptr, ops);
    // A stamped line is read where it changes, so the grid is replayed once a
    // second; a sampled one is read on every tick.
    const bool stamped = line.WaitChange != nullptr;
    const int64_t wakeNs = stamped ? REPLAY_PERIOD_NS : int64_t(SAMPLE_PERIOD_MS) * NS_PER_MS;
    const timespec every{time_t(wakeNs / NS_PER_S), long(wakeNs % NS_PER_S)};
    const itimerspec period{every, every};
    if (stamped)
        DaemonGridBegin(ClockNs(CLOCK_MONOTONIC), ReadSampleBit());
    if (stamped && !StartEdgeThread(line)) {
        std::fprintf(stderr, "varneld: cannot start the edge thread\n");
        return EXIT_SYSTEM;
    }
    timerfd_settime(timer, 0, &period, nullptr);
    Notify("READY=1");

    pollfd waits[2] = {{timer, POLLIN, 0}, {signals, POLLIN, 0}};
    for (;;) {
        if (poll(waits, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (waits[1].revents & POLLIN) {
            signalfd_siginfo info;
            if (read(signals, &info, sizeof info) == ssize_t(sizeof info) &&
                info.ssi_signo != SIGHUP)
                break;
        }
        if (waits[0].revents & POLLIN) {
            uint64_t ticks = 0;
            if (read(timer, &ticks, sizeof ticks) != ssize_t(sizeof ticks))
                continue;
            if (stamped) {
                // The count first: every change it counts is then stored or
                // still on its way.
                const int64_t countedAtNs = ClockNs(CLOCK_MONOTONIC);
                const uint64_t counted = line.CountChanges();
                DaemonStoreEdges(TakeEdge);
                const int64_t monoNs = ClockNs(CLOCK_MONOTONIC);
                const int64_t realNs = ClockNs(CLOCK_REALTIME);
                const int64_t rawNs = ClockNs(CLOCK_MONOTONIC_RAW);
                DaemonReplay(countedAtNs, counted, realNs - monoNs, rawNs - monoNs);
                continue;
            }
            for (uint64_t i = 0; i < ticks && i < MAX_CATCH_UP_TICKS; ++i) {
                const int64_t monoNs = ClockNs(CLOCK_MONOTONIC);
                const int64_t realNs = ClockNs(CLOCK_REALTIME);
                const int64_t rawNs = ClockNs(CLOCK_MONOTONIC_RAW);
                DaemonTick(monoNs, realNs, rawNs);
            }
        }
    }
    Notify("STOPPING=1");
    StopEdgeThread();
    line.Close();
    return 0;
}
