// An independent reference model of the sampling tick, the decoder and the
// calendar rules, written from the reception rules alone, for comparing message streams.
//
// It deliberately shares nothing with reception/: the A bits live in one
// uint64_t, fields are read by the MSF weights of each time-code second rather
// than by BCD nibbles, and each numbered rule is its own small function. Two
// implementations built differently are unlikely to share a misreading.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Decoded or predicted time, in message packing order.
struct RefFields {
    uint8_t Minute, Hour, DayOfWeek, Day, Month, Year;
};

struct RefModel {
    uint8_t Level;      // saturating level counter
    uint8_t Tick;       // samples since the last second start, wraps
    uint8_t Seconds;    // seconds counted since the last confirmation, wraps
    uint8_t B;          // B shift register, newest in bit 0
    uint64_t A;         // A shift register, 48 bits kept, newest in bit 0
    RefFields Decoded;
    RefFields Predicted;
    uint8_t Status;     // stored status byte (the sampling tick's copy)
};

// One WM_TIMECODE the sampling tick would post.
struct RefMessage {
    uint64_t Index;  // 1-based sample index of the posting tick
    uint32_t WParam;
    uint32_t LParam;
    bool operator==(const RefMessage& o) const
    {
        return Index == o.Index && WParam == o.WParam && LParam == o.LParam;
    }
};

// State at program start.
RefModel RefInitial();

// One 20 ms tick with input bit and clock mode (utc nonzero = UTC); true when
// it posts, with the two parameters in *wParam and *lParam.
bool RefTick(RefModel& m, uint8_t bit, uint8_t utc, uint32_t* wParam, uint32_t* lParam);

// Calendar steps on fields, in place (exposed so tests can cross-check them).
void RefAdvanceMinute(RefFields& f);
void RefSubtractHour(RefFields& f);
bool RefFieldsInRange(const RefFields& f);

// Runs a replay-format stream ('0'/'1' samples, 'U'/'L' mode switches, all
// else ignored) from program start and returns every posted message.
std::vector<RefMessage> RefRun(const std::string& stream);

// Formats a message like the replay tool's first three fields.
std::string RefFormat(const RefMessage& m);
