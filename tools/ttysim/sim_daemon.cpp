// The simulated daemon run; see sim_daemon.h. One process-wide run at a time
// (the core's state is process-wide, as in the daemon).
#include "sim_daemon.h"

#include <deque>

#include "config/config.h"
#include "daemon/daemon.h"
#include "reception/platform.h"
#include "reception/reception.h"

namespace {

struct Run {
    const SimDaemonOptions* Options;
    SimDaemonResult* Result;
    int64_t NowNs;             // truth of the tick being run
    uint8_t LineLevel;         // the line at NowNs
};
Run Current;

int64_t Drifted(int64_t truthNs)
{
    const SimDaemonOptions& o = *Current.Options;
    return truthNs + int64_t(double(truthNs - o.StartNs) * o.ClockPpm * 1e-6);
}
int64_t RealOf(int64_t truthNs) { return Drifted(truthNs) - Current.Options->ClockBehindNs; }
// The monotonic clocks: the same rate, other origins.
int64_t MonoOf(int64_t truthNs) { return Drifted(truthNs) - Current.Options->StartNs + 1000 * NS_PER_S; }
int64_t RawOf(int64_t truthNs) { return Drifted(truthNs) - Current.Options->StartNs + 7000 * NS_PER_S; }

bool LineStatus(uintptr_t, uint32_t* status)
{
    *status = Current.LineLevel ? 0x80u : 0;  // DCD, bit 7
    return true;
}
uint32_t LinePort(uint32_t) { return Current.LineLevel ? 0x80u : 0; }

// The truth at a system-clock reading (the inverse of RealOf).
int64_t TruthOfReal(int64_t realNs)
{
    const SimDaemonOptions& o = *Current.Options;
    const double rate = 1 + o.ClockPpm * 1e-6;
    return o.StartNs + int64_t(double(realNs + o.ClockBehindNs - o.StartNs) / rate);
}

void SendSample(int64_t realNs, int64_t offsetNs)
{
    // The sample claims the true time at realNs is realNs + offsetNs.
    SimSample s;
    s.ErrorNs = realNs + offsetNs - TruthOfReal(realNs);
    s.Second = uint8_t(DaemonState.Seconds.LastSecond);
    if (s.ErrorNs > NS_PER_S / 2 || s.ErrorNs < -NS_PER_S / 2)
        ++Current.Result->WrongSeconds;
    Current.Result->Samples.push_back(s);
}

bool SetRealTime(int64_t utcNs, int64_t atMonoNs)
{
    const int64_t set = utcNs + (MonoOf(Current.NowNs) - atMonoNs);
    Current.Result->ClockErrorsNs.push_back(set - Current.NowNs);
    return true;
}

void ShowStatus(const char* line) { Current.Result->Status.push_back(line); }

uint64_t Draw(uint64_t& state)
{
    return SynthNextRandom(state);
}

// The edge thread's queue: stamped changes, taken once their stamp has passed.
std::deque<LineEdge> Stamped;
int64_t TakeUpToMonoNs;

bool TakeStamped(LineEdge* edge)
{
    if (Stamped.empty() || Stamped.front().MonoNs > TakeUpToMonoNs)
        return false;
    *edge = Stamped.front();
    Stamped.pop_front();
    return true;
}

}  // namespace

SimDaemonOptions DefaultSimDaemonOptions()
{
    SimDaemonOptions o{};
    o.Line = DefaultEdgeLineOptions();
    o.StartNs = SynthUtcMs(2026, 12, 8, 0, 33, 2) * NS_PER_MS;
    o.DurationNs = 6 * 60 * NS_PER_S;
    o.StampLatencyNs = 20000;
    o.TickLateMaxNs = 2 * NS_PER_MS;
    o.Mode = MODE_CHRONY;
    o.UTCFlag = 1;
    o.EdgesStamped = true;
    o.Seed = 1;
    return o;
}

SimDaemonResult RunSimDaemon(const SimDaemonOptions& o)
{
    SimDaemonResult result{};
    Current = Run{};
    Current.Options = &o;
    Current.Result = &result;

    const PlatformOps saved = Platform;
    ResetSettings();
    UTCFlag = o.UTCFlag;
    PortAddress = o.EdgesStamped ? 1 : 0x201;
    PortHandle = 3;
    BitNumber = 7;
    Platform.ReadModemStatus = LineStatus;
    Platform.ReadIoPort = LinePort;
    DaemonBegin(o.Mode, o.DelaySettingNs, o.EdgesStamped, DaemonOps{SendSample, SetRealTime, ShowStatus});

    EdgeLine line;
    EdgeLineBegin(line, o.Line, o.StartNs);
    Current.LineLevel = line.Level;
    int64_t nextNs;
    uint8_t nextLevel;
    EdgeLineNext(line, &nextNs, &nextLevel);
    uint64_t counted = 0;
    uint64_t random = o.Seed ^ 0x7469636Bull;
    // The timer's phase against the seconds is anyone's.
    const int64_t period = int64_t(SAMPLE_PERIOD_MS) * NS_PER_MS;
    const int64_t phase = int64_t(Draw(random) % uint64_t(period));
    if (o.EdgesStamped) {
        // A serial line: every change stamped by the edge thread, the grid
        // replayed from the stamps at each wake.
        Stamped.clear();
        DaemonGridBegin(MonoOf(o.StartNs + phase), line.Level);
        for (int64_t wake = 1;; ++wake) {
            const int64_t late = o.TickLateMaxNs > 0 ? int64_t(Draw(random) % uint64_t(o.TickLateMaxNs)) : 0;
            const int64_t now = o.StartNs + phase + wake * REPLAY_PERIOD_NS + late;
            if (now - o.StartNs > o.DurationNs)
                break;
            for (; nextNs <= now; EdgeLineNext(line, &nextNs, &nextLevel)) {
                const int64_t stamp = nextNs + o.StampLatencyNs;
                ++counted;
                Stamped.push_back(LineEdge{MonoOf(stamp), RealOf(stamp), RawOf(stamp), nextLevel, 0});
            }
            Current.NowNs = now;
            TakeUpToMonoNs = MonoOf(now);
            const uint64_t accepted = DaemonState.MinutesAccepted;
            DaemonStoreEdges(TakeStamped);
            DaemonReplay(MonoOf(now), counted, RealOf(now) - MonoOf(now), RawOf(now) - MonoOf(now));
            if (DaemonState.MinutesAccepted > accepted && result.FirstAcceptedNs == 0)
                result.FirstAcceptedNs = now;
        }
    }
    for (int64_t tick = 1; !o.EdgesStamped; ++tick) {
        // An I/O port: read on every tick, which makes the edges.
        const int64_t late = o.TickLateMaxNs > 0 ? int64_t(Draw(random) % uint64_t(o.TickLateMaxNs)) : 0;
        const int64_t now = o.StartNs + phase + tick * period + late;
        if (now - o.StartNs > o.DurationNs)
            break;
        for (; nextNs <= now; EdgeLineNext(line, &nextNs, &nextLevel))
            Current.LineLevel = nextLevel;
        Current.NowNs = now;
        const uint64_t accepted = DaemonState.MinutesAccepted;
        DaemonTick(MonoOf(now), RealOf(now), RawOf(now));
        if (DaemonState.MinutesAccepted > accepted && result.FirstAcceptedNs == 0)
            result.FirstAcceptedNs = now;
    }
    result.MinutesAccepted = DaemonState.MinutesAccepted;
    Platform = saved;
    ResetSettings();
    return result;
}
