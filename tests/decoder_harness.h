// Test harness for the reception chain: drives the product's SampleStep through
// the platform seam, and builds sample streams from crafted time-code minutes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "reference_decoder.h"

// The product's sampling tick, fed one bit at a time through a fake I/O port
// (PortAddress 0x201, BitNumber 7) and capturing every posted message.
// Only one may exist at a time: the platform table and decoder state are global.
class ProductRunner {
public:
    ProductRunner();   // decoder and settings as at program start
    ~ProductRunner();  // restores the platform table
    // Runs one tick; true when it posted, the message in *out.
    bool Tick(uint8_t bit, uint8_t utc, RefMessage* out);
    uint64_t Index() const { return index_; }

private:
    uint64_t index_ = 0;
};

// Every message the product posts for a replay-format stream ('0', '1', 'U', 'L').
std::vector<RefMessage> ProductRun(const std::string& stream);

// The time-code bits of one minute, position p = second p (0 = marker), in the
// synthesizer's layout: bit p of A and of B.
struct CraftedMinute {
    uint64_t A;
    uint64_t B;
    uint8_t Seconds;  // 60, or 61 with an extra A = B = 0 second after second 16
};

// Encodes fields (in packing order; binary) with correct parity, the minute
// identifier and B58. Each field is sent as the BCD digits value / 10 and
// value % 10 without range checks, so month 13 or day 32 can be crafted;
// nibbles above 9 need FlipCrafted (and a parity fix).
CraftedMinute CraftMinute(const RefFields& fields, bool summer);
// Inverts A or B of time-code second n (1..59).
void FlipCrafted(CraftedMinute& m, bool bBit, unsigned n);

// Appends one minute as 20 ms samples, 50 per second: carrier off is !level.
void AppendMinute(std::string& out, const CraftedMinute& m, uint8_t level);
// Appends n samples of a constant line level.
void AppendLevel(std::string& out, uint8_t level, size_t n);

// A synthesized stream (msf_synth) as a replay-format string.
struct SynthStreamOptions;
std::string SynthString(const SynthStreamOptions& options);
