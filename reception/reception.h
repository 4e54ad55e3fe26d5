// Time-code reception: the decoded time fields, the reception status byte, the
// decoder's state record and the packing of the WM_TIMECODE message.
// Portable: no platform headers, so the decoder runs in native tests and tools.
#pragma once

#include <cstdint>

// WM_USER: the message the sampling tick posts to the hidden window whenever
// the decoder's status byte changes.
constexpr uint32_t WM_TIMECODE = 1024;

// Six binary bytes, in the order of the message packing.
struct TimeFields {
    uint8_t Minute;     // 0..59
    uint8_t Hour;       // 0..23
    uint8_t DayOfWeek;  // 0 = Sunday .. 6
    uint8_t Day;        // 1..31
    uint8_t Month;      // 1..12
    uint8_t Year;       // year within the century, 0..99
};
static_assert(sizeof(TimeFields) == 6, "TimeFields is six bytes");

inline bool operator==(const TimeFields& a, const TimeFields& b)
{
    return a.Minute == b.Minute && a.Hour == b.Hour && a.DayOfWeek == b.DayOfWeek &&
           a.Day == b.Day && a.Month == b.Month && a.Year == b.Year;
}

// One byte of reception status bits.
using StatusFlags = uint8_t;
constexpr StatusFlags ST_SECOND_IRREGULAR = 0x01;  // last judged second was not 48..52 ticks
constexpr StatusFlags ST_UNCONFIRMED_2MIN = 0x02;  // 120 counted seconds without confirmation
constexpr StatusFlags ST_NO_PULSE = 0x04;          // 256 samples without a second start
constexpr StatusFlags ST_UNCONFIRMED_LONG = 0x08;  // 256 counted seconds without confirmation
constexpr StatusFlags ST_NEVER_CONFIRMED = 0x10;   // no minute confirmed since start
constexpr StatusFlags ST_TIME_VALID = 0x40;        // a minute has just been confirmed
constexpr StatusFlags ST_SUMMER_TIME = 0x80;       // BST in force (local mode)
// 0x20 is never used.

constexpr StatusFlags INITIAL_STATUS = ST_NEVER_CONFIRMED;

// The decoder's process-wide state. All counters are bytes and their wraps
// are part of the behaviour.
struct DecoderRecord {
    uint8_t LevelCounter;   // saturating 0..255: up on input 0, down on input 1;
                            // 128 or more means the idle (carrier-on) level is 0
    uint8_t TickCount;      // samples since the last second start, wraps 255 -> 0
    uint8_t SecondCount;    // seconds counted (at tick 12) since the last
                            // confirmation, wraps 255 -> 0
    uint8_t BRegister;      // B bits: bit j is the B bit of the second j seconds
                            // before the newest
    uint8_t ARegister[6];   // 48 A bits, same rule; [0] holds the newest eight
    TimeFields Decoded;     // fields decoded at the last minute marker
    TimeFields Predicted;   // fields expected at the next minute marker
    StatusFlags Status;     // owned by the sampling tick; starts as 0x10
};

extern DecoderRecord DecoderState;

// Puts the decoder back to its state at program start (tools and tests).
void ResetDecoder();

// One 20 ms step of the decoder: bit is the selected input bit (0 or 1),
// status the stored status byte; returns the new status byte.
StatusFlags DecodeSample(uint8_t bit, StatusFlags status);

// The four odd-parity groups checked at a minute marker, one bit each in the
// answer of ParityGroupsPassed (set: the group passed).
constexpr uint8_t PARITY_YEAR = 0x1;     // A17..A24 with B54
constexpr uint8_t PARITY_DATE = 0x2;     // month and day, A25..A35 with B55
constexpr uint8_t PARITY_WEEKDAY = 0x4;  // A36..A38 with B56
constexpr uint8_t PARITY_TIME = 0x8;     // hour and minute, A39..A51 with B57
constexpr uint8_t PARITY_ALL = 0xF;
// The groups that the registers of d pass, read as they stand at a minute marker.
uint8_t ParityGroupsPassed(const DecoderRecord& d);
// Whether every decoded field is a possible value; a parity-clean minute that
// is not counts as a parity failure.
bool FieldsInRange(const TimeFields& f);

// Calendar arithmetic on TimeFields, in place.
extern const uint8_t FieldLimits[16];
uint8_t BcdToBinary(uint8_t bcd);
void AdvanceOneMinute(TimeFields& fields);
void SubtractOneHour(TimeFields& fields);
// Length of a month of a two-digit year (leap when year % 4 == 0). Months
// outside 1..12 never reach the table: they are given 31.
uint8_t MonthLength(uint8_t month, uint8_t year);

// WM_TIMECODE packing: wParam = minute | hour << 8 | day of week << 16 | day << 24;
// lParam = month | year << 8 | status << 16.
constexpr uint32_t PackTimeCodeWParam(const TimeFields& f)
{
    return uint32_t(f.Minute) | uint32_t(f.Hour) << 8 | uint32_t(f.DayOfWeek) << 16 |
           uint32_t(f.Day) << 24;
}
constexpr uint32_t PackTimeCodeLParam(const TimeFields& f, StatusFlags status)
{
    return uint32_t(f.Month) | uint32_t(f.Year) << 8 | uint32_t(status) << 16;
}
inline TimeFields UnpackTimeCode(uint32_t wParam, uint32_t lParam)
{
    return TimeFields{uint8_t(wParam), uint8_t(wParam >> 8), uint8_t(wParam >> 16),
                      uint8_t(wParam >> 24), uint8_t(lParam), uint8_t(lParam >> 8)};
}
constexpr StatusFlags UnpackStatus(uint32_t lParam) { return StatusFlags(lParam >> 16); }

// The sampling tick's portable body: reads the input byte of the shared port
// and handle, picks the configured bit, runs the decoder, and on a change of
// the status byte posts WM_TIMECODE to window and clears ST_TIME_VALID.
// It is ReadSampleBit followed by StepDecoder; the receiver monitor calls the
// two halves itself so that it also sees the bit it records.
void SampleStep(uintptr_t window);
// The selected bit (0 or 1) of the shared input; a bit number above 7 reads 1.
uint8_t ReadSampleBit();
// One decoder step on bit, posting WM_TIMECODE to window on a status change.
void StepDecoder(uint8_t bit, uintptr_t window);

// Raw input byte of a port value: 1..9 (and 0) read the modem status word of
// handle, 10 and above read the I/O port through Inp32.
uint8_t ReadInputByte(uint32_t port, uintptr_t handle);

// Timer thread: the raw input byte of the shared port and handle (the settings
// of config/). While it reads, the UI thread does not close the handle it may
// be using.
uint8_t ReadSharedInput();

// UI thread: makes next the shared handle and closes the one it replaces once
// no tick can still be reading through it. The tick never waits; this does, for
// at most one modem-status read.
void ReplacePortHandle(uintptr_t next);

// What a failed modem-status read hands on: every line at 1. The decoder starts
// out taking 1 as carrier on, so a dead port never shows a second start and
// ends in ST_NO_PULSE.
constexpr uint8_t FAILED_READ_BYTE = 0xFF;
