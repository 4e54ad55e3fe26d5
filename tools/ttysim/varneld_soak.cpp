// varneld-soak: varneld's core on a simulated receiver line for hours of
// simulated time, every sample judged against the line's truth. A benchmark
// (tests/linux/bench runs it), not a test. Exit status 1 when any sample
// named a wrong second.
//
//   varneld-soak [--hours H] [--seed S] [--jitter-ms J] [--bias-ms B]
//                [--delay-ms D] [--glitches G] [--ppm P] [--late-ms L] [--io-port]
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "sim_daemon.h"

int main(int argc, char** argv)
{
    SimDaemonOptions o = DefaultSimDaemonOptions();
    double hours = 1;
    for (int i = 1; i < argc; ++i) {
        const char* name = argv[i];
        if (std::strcmp(name, "--io-port") == 0) {
            o.EdgesStamped = false;
            continue;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "varneld-soak: %s needs a value\n", name);
            return 2;
        }
        const double v = std::atof(argv[++i]);
        if (std::strcmp(name, "--hours") == 0)
            hours = v;
        else if (std::strcmp(name, "--seed") == 0)
            o.Seed = o.Line.Seed = uint64_t(v);
        else if (std::strcmp(name, "--jitter-ms") == 0)
            o.Line.JitterNs = int64_t(v * 1e6);
        else if (std::strcmp(name, "--bias-ms") == 0)
            o.Line.BiasNs = int64_t(v * 1e6);
        else if (std::strcmp(name, "--delay-ms") == 0)
            o.Line.DelayNs = o.DelaySettingNs = int64_t(v * 1e6);
        else if (std::strcmp(name, "--glitches") == 0)
            o.Line.GlitchesPerSecond = v;
        else if (std::strcmp(name, "--ppm") == 0)
            o.ClockPpm = v;
        else if (std::strcmp(name, "--late-ms") == 0)
            o.TickLateMaxNs = int64_t(v * 1e6);
        else {
            std::fprintf(stderr, "varneld-soak: unknown option %s\n", name);
            return 2;
        }
    }
    o.DurationNs = int64_t(hours * 3600e9);
    const SimDaemonResult r = RunSimDaemon(o);

    std::vector<double> errors;
    errors.reserve(r.Samples.size());
    double sum = 0;
    for (const SimSample& s : r.Samples) {
        errors.push_back(double(s.ErrorNs) / 1000);
        sum += errors.back();
    }
    const double n = double(std::max<size_t>(errors.size(), 1));
    const double mean = sum / n;
    double squares = 0;
    for (double e : errors)
        squares += (e - mean) * (e - mean);
    std::vector<double> magnitudes;
    for (double e : errors)
        magnitudes.push_back(std::fabs(e));
    std::sort(magnitudes.begin(), magnitudes.end());
    const double p99 = magnitudes.empty() ? 0 : magnitudes[size_t(0.99 * double(magnitudes.size() - 1))];
    const double worst = magnitudes.empty() ? 0 : magnitudes.back();
    const double minutes = r.FirstAcceptedNs > 0
                               ? double(o.StartNs + o.DurationNs - r.FirstAcceptedNs) / 60e9
                               : 0;
    std::printf("hours %.1f  accepted_minutes %llu  samples %zu  per_minute %.2f  "
                "per_accepted_minute %.2f  wrong_seconds %llu  error_us mean %.2f sd %.2f "
                "p99 %.1f max %.1f\n",
                hours, (unsigned long long)r.MinutesAccepted, r.Samples.size(),
                minutes > 0 ? double(r.Samples.size()) / minutes : 0,
                r.MinutesAccepted > 0 ? double(r.Samples.size()) / double(r.MinutesAccepted) : 0,
                (unsigned long long)r.WrongSeconds, mean, std::sqrt(squares / n), p99, worst);
    return r.WrongSeconds == 0 ? 0 : 1;
}
