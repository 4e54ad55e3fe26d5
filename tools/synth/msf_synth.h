// MSF 60 kHz signal synthesizer: the A and B bits of any minute, the carrier at
// any instant, and deterministic receiver sample streams for tests and tools.
//
// Two time scales:
//  - UTC instants are int64 milliseconds since 1970-01-01 00:00 UTC that skip
//    leap seconds, the way computer clocks count.
//  - Signal time is int64 microseconds on a scale that counts every broadcast
//    second. It equals UTC before the configured leap second and UTC plus one
//    second after it, so the 61-second leap minute fits in and the minute
//    after it starts on the next UTC minute boundary as clocks see it.
// Without a leap second the two scales differ only in their unit.
//
// The carrier query encodes the minute afresh on every call: a few dozen
// integer operations, no allocation, no static state, no time-zone database,
// so a simulated receiver may call it from a real-time timer thread.
#pragma once

#include <cstdint>

// What a transmitter broadcasts, apart from the time itself.
struct SynthSignal {
    int8_t Dut1Tenths;    // DUT1 in tenths of a second, -8..8; B1..B8 or B9..B16
    bool HasLeapSecond;   // a positive leap second ends LeapDay
    int64_t LeapDay;      // days since 1970-01-01 of the UTC day whose last minute
                          // lasts 61 s; read only when HasLeapSecond
};

// The bits of one broadcast minute. Bit p of A and B belongs to position p,
// the p-th second after the minute marker (position 0 is the marker itself).
// In a 61-second leap minute position 17 is the inserted second (A = B = 0)
// and seconds 17..59 of the time code sit at positions 18..60.
struct SynthMinute {
    int64_t MarkerUtcMs;  // UTC instant of this minute's marker
    uint8_t Seconds;      // 60, or 61 for a leap minute
    uint64_t A;
    uint64_t B;
};

// Time fields in the decoder's order: minute, hour, day of week (0 = Sunday),
// day of month, month, year within the century.
struct SynthFields {
    uint8_t Minute;
    uint8_t Hour;
    uint8_t DayOfWeek;
    uint8_t Day;
    uint8_t Month;
    uint8_t Year;
};

// What a minute tells a correct decoder: UK civil time at its next marker.
struct SynthTruth {
    SynthFields Fields;
    bool SummerTime;   // B58: BST in force at the next marker
    bool ChangeSoon;   // B53: summer-time change imminent
    bool LeapMinute;   // this minute lasts 61 s
};

// Where a signal instant falls.
struct SynthPosition {
    int64_t MarkerUtcMs;      // UTC instant of the marker of the minute in progress
    int64_t MinuteStartUs;    // signal time of that marker
    int64_t OffsetUs;         // signal time since that marker, 0..59999999 (60999999)
};

// --- Calendar (proleptic Gregorian, any year; 1970-01-01 is day 0) ---
int64_t SynthDaysFromCivil(int64_t year, unsigned month, unsigned day);
void SynthCivilFromDays(int64_t days, int64_t* year, unsigned* month, unsigned* day);
unsigned SynthWeekday(int64_t days);  // 0 = Sunday
int64_t SynthUtcMs(int64_t year, unsigned month, unsigned day, unsigned hour, unsigned minute,
                   unsigned second);
int64_t SynthFloorDiv(int64_t a, int64_t b);

// --- UK civil time ---
// The UTC instants BST starts (last Sunday of March, 01:00 UTC) and ends (last
// Sunday of October, 01:00 UTC) in a year.
int64_t SynthBstStartUtcMs(int64_t year);
int64_t SynthBstEndUtcMs(int64_t year);
bool SynthBstInForce(int64_t utcMs);
// UK civil time of a UTC instant, to the minute; *summer tells whether BST.
SynthFields SynthUkFields(int64_t utcMs, bool* summer);
// UTC instant of a UK civil time. A time repeated in October is read as its
// first (BST) occurrence; a time skipped in March is read as GMT.
int64_t SynthUtcFromUk(int64_t year, unsigned month, unsigned day, unsigned hour, unsigned minute,
                       unsigned second);

// --- B53 window ---
// B53 is set in the 61 minutes whose markers lie from 61 minutes to 1 minute
// before a change instant: their next markers lie in the hour up to and
// including the change. The minute whose fields first show the new time (its
// next marker is the change instant) still carries B53; the one after does not.
bool SynthChangeImminent(int64_t markerUtcMs);

// --- Minutes ---
// Is the minute starting at this UTC marker the 61-second leap minute?
bool SynthIsLeapMinute(const SynthSignal& signal, int64_t markerUtcMs);
// The bits of the minute that starts at markerUtcMs (a multiple of 60000).
SynthMinute SynthEncodeMinute(const SynthSignal& signal, int64_t markerUtcMs);
// What that minute transmits.
SynthTruth SynthMinuteTruth(const SynthSignal& signal, int64_t markerUtcMs);
// Inverts time-code bit A<second> or B<second> (second 1..59, time-code
// numbering: in a leap minute seconds from 17 on are found one position later).
void SynthFlipBit(SynthMinute& minute, bool bBit, unsigned second);
// Position p of a minute (0..Seconds-1): its A and B bits.
inline unsigned SynthABit(const SynthMinute& m, unsigned p) { return unsigned(m.A >> p & 1); }
inline unsigned SynthBBit(const SynthMinute& m, unsigned p) { return unsigned(m.B >> p & 1); }

// --- Carrier ---
// Signal time of a UTC instant (after the leap second, one second later).
int64_t SynthSignalUsFromUtcMs(const SynthSignal& signal, int64_t utcMs);
SynthPosition SynthLocate(const SynthSignal& signal, int64_t signalUs);
// Carrier within a minute, offsetUs after its marker: the marker is off for
// 500 ms; every other second is off for 0..100 ms, for 100..200 ms when A is 1
// and for 200..300 ms when B is 1, and on for the rest.
bool SynthCarrierOnInMinute(const SynthMinute& minute, int64_t offsetUs);
// The same as spans: the carrier-off spans of position p, in ms from the
// second's start (the marker 0..500, others 0..100, A 100..200, B 200..300,
// merged where they touch); returns how many (1 or 2).
uint8_t SynthSecondPulses(const SynthMinute& minute, unsigned position, int16_t start[2], int16_t end[2]);
// The core query: is the carrier on at this signal instant?
bool SynthCarrierOn(const SynthSignal& signal, int64_t signalUs);

// --- Sample streams ---
// What the receiver's line does while it has lost the signal.
enum SynthDropoutLine : uint8_t {
    DROPOUT_NOISE,    // random level every sample (an AGC turned up on static)
    DROPOUT_ON,       // stuck at the carrier-on level: no pulses at all
    DROPOUT_OFF,      // stuck at the carrier-off level
};

struct SynthFlip {
    bool BBit;         // false: A bit, true: B bit
    uint8_t Second;    // 1..59, time-code numbering
    uint32_t Minute;   // 1 = the minute in progress at the start of the stream,
                       // 2 = the one after the first marker in the stream, ...
};

constexpr unsigned SYNTH_MAX_FLIPS = 16;

struct SynthStreamOptions {
    SynthSignal Signal;
    int64_t StartUtcMs;      // the stream begins at this UTC instant
    int64_t DurationNs;      // samples are taken while less than this has elapsed
    int64_t OffsetNs;        // first sample this long after StartUtcMs
    int64_t PeriodNs;        // sample period, > 0 (20 ms: 20000000)
    int64_t DelayNs;         // receiver delay: the line shows the carrier this late
    uint8_t Level;           // line level while the carrier is on (1 or 0)
    double Noise;            // chance that a sample is inverted, 0..1
    double DropoutsPerHour;  // mean rate of outages (0: none)
    int64_t DropoutMeanNs;   // mean outage length
    SynthDropoutLine DropoutLine;
    uint64_t Seed;
    unsigned FlipCount;
    SynthFlip Flips[SYNTH_MAX_FLIPS];
};

// Defaults: 20 ms period, level 1, no offset, delay, noise, dropouts or flips,
// seed 1, start 2026-12-07 04:16:05 UTC, three minutes.
SynthStreamOptions SynthDefaultStreamOptions();

// The generator's own state; one per stream, so streams may run side by side.
struct SynthStream {
    SynthStreamOptions Options;
    int64_t StartSignalUs;     // signal time of StartUtcMs
    int64_t FirstMinuteOrdinal;  // minute ordinal (marker / 60 s) of stream minute 1
    uint64_t Count;            // samples in the stream
    uint64_t Index;            // samples produced so far
    uint64_t NoiseState;       // splitmix64 states: one for per-sample noise,
    uint64_t DropoutState;     // one for the outage schedule,
    uint64_t LineState;        // one for the line's level during an outage
    uint64_t NoiseThreshold;   // a draw below this inverts the sample
    int64_t OutageStartNs;     // current or next outage, elapsed stream time
    int64_t OutageEndNs;
    int64_t QuietMeanNs;       // mean gap between outages
    SynthMinute Cached;        // the minute of the last sample, with flips applied
    bool CachedValid;
};

// Number of samples: those taken at offset + k * period < duration.
uint64_t SynthStreamCount(const SynthStreamOptions& options);
void SynthStreamBegin(SynthStream& stream, const SynthStreamOptions& options);
// Next sample (0 or 1) into *sample; false once the stream is over.
bool SynthStreamNext(SynthStream& stream, uint8_t* sample);
// Stream minute number (1-based, as in SynthFlip) of a signal instant.
uint32_t SynthStreamMinute(const SynthStream& stream, int64_t signalUs);
// UTC marker of stream minute n (its start; minute 1 may have begun earlier).
int64_t SynthStreamMinuteMarker(const SynthStream& stream, uint32_t minute);

// splitmix64: the same numbers from every compiler.
uint64_t SynthNextRandom(uint64_t& state);
