// MSF signal synthesizer: calendar, UK summer time, the bits of a minute, the
// carrier at an instant and receiver sample streams.
//
// Everything is plain integer arithmetic on caller-owned records: the carrier
// query keeps no state between calls (encoding a minute is cheaper than a
// cache, and a cache would be shared mutable state across timer threads).
// Random numbers come from splitmix64 and are turned into decisions with
// integer comparisons only, so a seed gives the same stream from clang, gcc
// and MinGW (x87 floating point on i686 is never involved in a decision).
#include "msf_synth.h"

constexpr int64_t MS_PER_MINUTE = 60000;
constexpr int64_t MS_PER_DAY = 86400000;
constexpr int64_t US_PER_MS = 1000;
constexpr int64_t US_PER_SECOND = 1000000;
constexpr int64_t NS_PER_US = 1000;

int64_t SynthFloorDiv(int64_t a, int64_t b)
{
    const int64_t q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

// Days from civil and back by 400-year eras counted from 1 March, so that the
// leap day falls at the end of each computed year.
int64_t SynthDaysFromCivil(int64_t year, unsigned month, unsigned day)
{
    year -= month <= 2;
    const int64_t era = SynthFloorDiv(year, 400);
    const int64_t yoe = year - era * 400;                                    // 0..399
    const int64_t doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;  // 0..365
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;               // 0..146096
    return era * 146097 + doe - 719468;  // 719468: days from 0000-03-01 to 1970-01-01
}

void SynthCivilFromDays(int64_t days, int64_t* year, unsigned* month, unsigned* day)
{
    days += 719468;
    const int64_t era = SynthFloorDiv(days, 146097);
    const int64_t doe = days - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;  // 0 = March
    *day = unsigned(doy - (153 * mp + 2) / 5 + 1);
    *month = unsigned(mp < 10 ? mp + 3 : mp - 9);
    *year = yoe + era * 400 + (*month <= 2);
}

unsigned SynthWeekday(int64_t days)
{
    const int64_t w = (days + 4) % 7;  // 1970-01-01 was a Thursday
    return unsigned(w < 0 ? w + 7 : w);
}

int64_t SynthUtcMs(int64_t year, unsigned month, unsigned day, unsigned hour, unsigned minute,
                   unsigned second)
{
    return SynthDaysFromCivil(year, month, day) * MS_PER_DAY +
           ((int64_t(hour) * 60 + minute) * 60 + second) * 1000;
}

// 01:00 UTC on the last Sunday of a 31-day month.
static int64_t LastSundayOneUtc(int64_t year, unsigned month)
{
    const int64_t last = SynthDaysFromCivil(year, month, 31);
    return (last - SynthWeekday(last)) * MS_PER_DAY + 3600000;
}

int64_t SynthBstStartUtcMs(int64_t year) { return LastSundayOneUtc(year, 3); }
int64_t SynthBstEndUtcMs(int64_t year) { return LastSundayOneUtc(year, 10); }

static int64_t YearOf(int64_t utcMs)
{
    int64_t year;
    unsigned month, day;
    SynthCivilFromDays(SynthFloorDiv(utcMs, MS_PER_DAY), &year, &month, &day);
    return year;
}

bool SynthBstInForce(int64_t utcMs)
{
    const int64_t year = YearOf(utcMs);  // the changes are far from New Year
    return utcMs >= SynthBstStartUtcMs(year) && utcMs < SynthBstEndUtcMs(year);
}

SynthFields SynthUkFields(int64_t utcMs, bool* summer)
{
    *summer = SynthBstInForce(utcMs);
    const int64_t civil = utcMs + (*summer ? 3600000 : 0);
    const int64_t days = SynthFloorDiv(civil, MS_PER_DAY);
    const int64_t msOfDay = civil - days * MS_PER_DAY;
    int64_t year;
    unsigned month, day;
    SynthCivilFromDays(days, &year, &month, &day);
    int64_t year2 = year % 100;
    if (year2 < 0)
        year2 += 100;
    return SynthFields{uint8_t(msOfDay / MS_PER_MINUTE % 60), uint8_t(msOfDay / 3600000),
                       uint8_t(SynthWeekday(days)), uint8_t(day), uint8_t(month), uint8_t(year2)};
}

int64_t SynthUtcFromUk(int64_t year, unsigned month, unsigned day, unsigned hour, unsigned minute,
                       unsigned second)
{
    const int64_t asGmt = SynthUtcMs(year, month, day, hour, minute, second);
    const int64_t asBst = asGmt - 3600000;
    return SynthBstInForce(asBst) ? asBst : asGmt;
}

bool SynthChangeImminent(int64_t markerUtcMs)
{
    const int64_t next = markerUtcMs + MS_PER_MINUTE;
    const int64_t year = YearOf(next);
    const int64_t changes[2] = {SynthBstStartUtcMs(year), SynthBstEndUtcMs(year)};
    for (int64_t change : changes) {
        if (next >= change - 60 * MS_PER_MINUTE && next <= change)
            return true;
    }
    return false;
}

bool SynthIsLeapMinute(const SynthSignal& signal, int64_t markerUtcMs)
{
    return signal.HasLeapSecond && markerUtcMs == (signal.LeapDay + 1) * MS_PER_DAY - MS_PER_MINUTE;
}

// Puts value as BCD, most significant weight first, into width bits of A from
// time-code second first on.
static uint64_t PutBcd(uint64_t bits, unsigned first, unsigned width, unsigned value)
{
    const unsigned bcd = (value / 10) << 4 | value % 10;
    for (unsigned k = 0; k < width; ++k)
        bits |= uint64_t(bcd >> (width - 1 - k) & 1) << (first + k);
    return bits;
}

// 1 when bits first..last of word hold an even number of ones, so that the
// parity bit makes the group odd.
static uint64_t OddParityBit(uint64_t word, unsigned first, unsigned last)
{
    unsigned ones = 0;
    for (unsigned p = first; p <= last; ++p)
        ones += unsigned(word >> p & 1);
    return (ones & 1) ? 0 : 1;
}

// Moves time-code seconds 17..59 one position later to make room for the
// inserted second 17.
static uint64_t InsertLeapSecond(uint64_t bits)
{
    const uint64_t low = bits & ((uint64_t(1) << 17) - 1);
    return low | (bits >> 17) << 18;
}

SynthMinute SynthEncodeMinute(const SynthSignal& signal, int64_t markerUtcMs)
{
    bool summer;
    const SynthFields f = SynthUkFields(markerUtcMs + MS_PER_MINUTE, &summer);

    uint64_t a = 0;
    a = PutBcd(a, 17, 8, f.Year);
    a = PutBcd(a, 25, 5, f.Month);
    a = PutBcd(a, 30, 6, f.Day);
    a = PutBcd(a, 36, 3, f.DayOfWeek);  // 0..6: BCD and binary agree
    a = PutBcd(a, 39, 6, f.Hour);
    a = PutBcd(a, 45, 7, f.Minute);
    a |= uint64_t(0x3F) << 53;  // minute identifier A52..A59 = 01111110

    uint64_t b = 0;
    const int dut1 = signal.Dut1Tenths < -8 ? -8 : signal.Dut1Tenths > 8 ? 8 : signal.Dut1Tenths;
    for (int k = 0; k < (dut1 < 0 ? -dut1 : dut1); ++k)
        b |= uint64_t(1) << ((dut1 > 0 ? 1 : 9) + k);
    b |= uint64_t(SynthChangeImminent(markerUtcMs)) << 53;
    b |= OddParityBit(a, 17, 24) << 54;
    b |= OddParityBit(a, 25, 35) << 55;
    b |= OddParityBit(a, 36, 38) << 56;
    b |= OddParityBit(a, 39, 51) << 57;
    b |= uint64_t(summer) << 58;

    SynthMinute m{markerUtcMs, 60, a, b};
    if (SynthIsLeapMinute(signal, markerUtcMs)) {
        m.Seconds = 61;
        m.A = InsertLeapSecond(a);
        m.B = InsertLeapSecond(b);
    }
    return m;
}

SynthTruth SynthMinuteTruth(const SynthSignal& signal, int64_t markerUtcMs)
{
    SynthTruth t;
    t.Fields = SynthUkFields(markerUtcMs + MS_PER_MINUTE, &t.SummerTime);
    t.ChangeSoon = SynthChangeImminent(markerUtcMs);
    t.LeapMinute = SynthIsLeapMinute(signal, markerUtcMs);
    return t;
}

void SynthFlipBit(SynthMinute& minute, bool bBit, unsigned second)
{
    if (second < 1 || second > 59)
        return;
    const unsigned p = (minute.Seconds == 61 && second >= 17) ? second + 1 : second;
    (bBit ? minute.B : minute.A) ^= uint64_t(1) << p;
}

// Signal time of the leap minute's marker, or the largest value when there is none.
static int64_t LeapMinuteStartUs(const SynthSignal& signal)
{
    if (!signal.HasLeapSecond)
        return INT64_MAX;
    return ((signal.LeapDay + 1) * MS_PER_DAY - MS_PER_MINUTE) * US_PER_MS;
}

int64_t SynthSignalUsFromUtcMs(const SynthSignal& signal, int64_t utcMs)
{
    const bool afterLeap = signal.HasLeapSecond && utcMs >= (signal.LeapDay + 1) * MS_PER_DAY;
    return utcMs * US_PER_MS + (afterLeap ? US_PER_SECOND : 0);
}

SynthPosition SynthLocate(const SynthSignal& signal, int64_t signalUs)
{
    const int64_t leapStart = LeapMinuteStartUs(signal);
    SynthPosition pos;
    if (signalUs >= leapStart && signalUs - leapStart < 61 * US_PER_SECOND) {
        pos.MarkerUtcMs = leapStart / US_PER_MS;
        pos.MinuteStartUs = leapStart;
    } else {
        // After the leap minute the signal runs one second ahead of UTC.
        const int64_t shift = signalUs >= leapStart ? US_PER_SECOND : 0;
        const int64_t minutes = SynthFloorDiv(signalUs - shift, MS_PER_MINUTE * US_PER_MS);
        pos.MarkerUtcMs = minutes * MS_PER_MINUTE;
        pos.MinuteStartUs = pos.MarkerUtcMs * US_PER_MS + shift;
    }
    pos.OffsetUs = signalUs - pos.MinuteStartUs;
    return pos;
}

bool SynthCarrierOnInMinute(const SynthMinute& minute, int64_t offsetUs)
{
    const unsigned p = unsigned(offsetUs / US_PER_SECOND);
    const int64_t within = offsetUs % US_PER_SECOND;
    if (offsetUs < 0 || p >= minute.Seconds)
        return true;  // not part of this minute
    if (p == 0)
        return within >= 500000;  // minute marker: 500 ms off
    if (within < 100000)
        return false;
    if (within < 200000)
        return SynthABit(minute, p) == 0;
    if (within < 300000)
        return SynthBBit(minute, p) == 0;
    return true;
}

uint8_t SynthSecondPulses(const SynthMinute& minute, unsigned position, int16_t start[2], int16_t end[2])
{
    start[0] = 0;
    if (position == 0) {
        end[0] = 500;
        return 1;
    }
    const bool a = SynthABit(minute, position);
    const bool b = SynthBBit(minute, position);
    if (a || !b) {
        end[0] = a ? (b ? 300 : 200) : 100;
        return 1;
    }
    end[0] = 100;
    start[1] = 200;
    end[1] = 300;
    return 2;
}

bool SynthCarrierOn(const SynthSignal& signal, int64_t signalUs)
{
    const SynthPosition pos = SynthLocate(signal, signalUs);
    return SynthCarrierOnInMinute(SynthEncodeMinute(signal, pos.MarkerUtcMs), pos.OffsetUs);
}

uint64_t SynthNextRandom(uint64_t& state)
{
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// A whole number of nanoseconds uniformly in [low, high].
static int64_t UniformNs(uint64_t& state, int64_t low, int64_t high)
{
    if (high <= low)
        return low;
    return low + int64_t(SynthNextRandom(state) % uint64_t(high - low + 1));
}

// Probability 0..1 as a threshold on a 64-bit draw; computed once, so the only
// floating point is this conversion.
static uint64_t ProbabilityThreshold(double p)
{
    if (!(p > 0))
        return 0;
    if (p >= 1)
        return UINT64_MAX;
    return uint64_t(p * 18446744073709551616.0);
}

SynthStreamOptions SynthDefaultStreamOptions()
{
    SynthStreamOptions o{};
    o.Signal = SynthSignal{0, false, 0};
    o.StartUtcMs = SynthUtcMs(2026, 12, 7, 4, 16, 5);
    o.DurationNs = int64_t(180) * 1000000000;
    o.OffsetNs = 0;
    o.PeriodNs = 20000000;
    o.DelayNs = 0;
    o.Level = 1;
    o.Noise = 0;
    o.DropoutsPerHour = 0;
    o.DropoutMeanNs = int64_t(2) * 1000000000;
    o.DropoutLine = DROPOUT_NOISE;
    o.Seed = 1;
    o.FlipCount = 0;
    return o;
}

uint64_t SynthStreamCount(const SynthStreamOptions& o)
{
    if (o.PeriodNs <= 0 || o.DurationNs <= o.OffsetNs)
        return 0;
    return uint64_t((o.DurationNs - o.OffsetNs + o.PeriodNs - 1) / o.PeriodNs);
}

// Draws the next outage after the one ending at from: a quiet span uniform in
// [0, 2 G] then an outage uniform in [L/2, 3L/2], G and L their means.
static void ScheduleOutage(SynthStream& s, int64_t from)
{
    s.OutageStartNs = from + UniformNs(s.DropoutState, 0, 2 * s.QuietMeanNs);
    const int64_t mean = s.Options.DropoutMeanNs;
    s.OutageEndNs = s.OutageStartNs + UniformNs(s.DropoutState, mean / 2, mean + mean / 2);
}

void SynthStreamBegin(SynthStream& s, const SynthStreamOptions& options)
{
    s = SynthStream{};
    s.Options = options;
    if (s.Options.FlipCount > SYNTH_MAX_FLIPS)
        s.Options.FlipCount = SYNTH_MAX_FLIPS;
    s.StartSignalUs = SynthSignalUsFromUtcMs(options.Signal, options.StartUtcMs);
    s.FirstMinuteOrdinal =
        SynthLocate(options.Signal, s.StartSignalUs).MarkerUtcMs / MS_PER_MINUTE;
    s.Count = SynthStreamCount(options);
    s.Index = 0;
    // Separate generators: turning noise on does not move the outages.
    s.NoiseState = options.Seed ^ 0x6E6F697365ull;     // "noise"
    s.DropoutState = options.Seed ^ 0x64726F70ull;     // "drop"
    s.LineState = options.Seed ^ 0x6C696E65ull;        // "line"
    s.NoiseThreshold = ProbabilityThreshold(options.Noise);
    s.OutageStartNs = INT64_MAX;
    s.OutageEndNs = INT64_MAX;
    if (options.DropoutsPerHour > 0 && options.DropoutMeanNs > 0) {
        const double cycleNs = 3600e9 / options.DropoutsPerHour;
        const double quiet = cycleNs - double(options.DropoutMeanNs);
        s.QuietMeanNs = quiet > 4.0e18 ? int64_t(4.0e18) : quiet > 0 ? int64_t(quiet) : 0;
        ScheduleOutage(s, 0);
    }
    s.CachedValid = false;
}

uint32_t SynthStreamMinute(const SynthStream& s, int64_t signalUs)
{
    const int64_t ordinal = SynthLocate(s.Options.Signal, signalUs).MarkerUtcMs / MS_PER_MINUTE;
    return uint32_t(ordinal - s.FirstMinuteOrdinal + 1);
}

int64_t SynthStreamMinuteMarker(const SynthStream& s, uint32_t minute)
{
    return (s.FirstMinuteOrdinal + int64_t(minute) - 1) * MS_PER_MINUTE;
}

// The minute in progress at a transmit instant, with its flips; reused while
// the samples stay in one minute.
static const SynthMinute& StreamMinuteAt(SynthStream& s, const SynthPosition& pos)
{
    if (!s.CachedValid || s.Cached.MarkerUtcMs != pos.MarkerUtcMs) {
        s.Cached = SynthEncodeMinute(s.Options.Signal, pos.MarkerUtcMs);
        const uint32_t n = uint32_t(pos.MarkerUtcMs / MS_PER_MINUTE - s.FirstMinuteOrdinal + 1);
        for (unsigned i = 0; i < s.Options.FlipCount; ++i) {
            const SynthFlip& f = s.Options.Flips[i];
            if (f.Minute == n)
                SynthFlipBit(s.Cached, f.BBit, f.Second);
        }
        s.CachedValid = true;
    }
    return s.Cached;
}

bool SynthStreamNext(SynthStream& s, uint8_t* sample)
{
    if (s.Index >= s.Count)
        return false;
    const SynthStreamOptions& o = s.Options;
    const int64_t elapsedNs = o.OffsetNs + int64_t(s.Index) * o.PeriodNs;
    ++s.Index;

    // The line shows the carrier as it was DelayNs ago.
    const int64_t transmitUs = s.StartSignalUs + SynthFloorDiv(elapsedNs - o.DelayNs, NS_PER_US);
    const SynthPosition pos = SynthLocate(o.Signal, transmitUs);
    const bool on = SynthCarrierOnInMinute(StreamMinuteAt(s, pos), pos.OffsetUs);
    const uint8_t level = o.Level ? 1 : 0;
    uint8_t bit = on ? level : uint8_t(level ^ 1);

    while (elapsedNs >= s.OutageEndNs)
        ScheduleOutage(s, s.OutageEndNs);
    if (elapsedNs >= s.OutageStartNs) {
        if (o.DropoutLine == DROPOUT_ON)
            bit = level;
        else if (o.DropoutLine == DROPOUT_OFF)
            bit = uint8_t(level ^ 1);
        else
            bit = uint8_t(SynthNextRandom(s.LineState) >> 63);
    }

    // One draw per sample whatever the outcome, so a sample's noise depends
    // only on its index.
    if (SynthNextRandom(s.NoiseState) < s.NoiseThreshold)
        bit ^= 1;
    *sample = bit;
    return true;
}
