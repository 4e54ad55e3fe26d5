// Test harness for the reception chain: the product driven through its seam,
// and time-code minutes crafted bit by bit.
#include "decoder_harness.h"

#include "config/config.h"
#include "reception/platform.h"
#include "reception/reception.h"
#include "tools/synth/msf_synth.h"

namespace {

uint8_t LineLevel;                // what the fake port shows on bit 7
RefMessage* Captured = nullptr;   // where the fake poster writes
bool Posted = false;
PlatformOps Saved;

uint32_t ReadLine(uint32_t) { return LineLevel ? 0x80 : 0x00; }
void Capture(uintptr_t, uint32_t wParam, uint32_t lParam)
{
    Posted = true;
    Captured->WParam = wParam;
    Captured->LParam = lParam;
}

// Writes the BCD digits of value across consecutive time-code seconds, most
// significant first, with the given weights.
void PutBcd(CraftedMinute& m, unsigned first, unsigned value, std::initializer_list<unsigned> weights)
{
    // The BCD pattern of value: tens in the upper nibble, units in the lower.
    unsigned bcd = (value / 10) << 4 | (value % 10);
    unsigned n = first;
    for (unsigned w : weights) {
        // Weights 80/40/20/10 are the tens nibble's bits, 8/4/2/1 the units'.
        const unsigned bit = w >= 10 ? (bcd >> 4 & (w / 10)) : (bcd & w);
        if (bit)
            m.A |= uint64_t(1) << n;
        ++n;
    }
}

void PutParity(CraftedMinute& m, unsigned first, unsigned last, unsigned parityBit)
{
    unsigned ones = 0;
    for (unsigned n = first; n <= last; ++n)
        ones += unsigned(m.A >> n & 1);
    if (ones % 2 == 0)
        m.B |= uint64_t(1) << parityBit;
}

void AppendSecond(std::string& out, unsigned a, unsigned b, bool marker, char on, char off)
{
    // 50 samples: marker off 25; else off 5, A slot 5, B slot 5, then on.
    for (unsigned s = 0; s < 50; ++s) {
        bool carrierOff;
        if (marker)
            carrierOff = s < 25;
        else
            carrierOff = s < 5 || (s < 10 && a) || (s >= 10 && s < 15 && b);
        out.push_back(carrierOff ? off : on);
    }
}

}  // namespace

ProductRunner::ProductRunner()
{
    Saved = Platform;
    ResetSettings();
    ResetDecoder();
    Platform.ReadIoPort = ReadLine;
    Platform.PostTimeCode = Capture;
}

ProductRunner::~ProductRunner()
{
    Platform = Saved;
    ResetSettings();
}

bool ProductRunner::Tick(uint8_t bit, uint8_t utc, RefMessage* out)
{
    LineLevel = bit;
    UTCFlag = utc;
    Posted = false;
    RefMessage local{};
    Captured = out ? out : &local;
    ++index_;
    SampleStep(0);
    Captured->Index = index_;
    return Posted;
}

std::vector<RefMessage> ProductRun(const std::string& stream)
{
    std::vector<RefMessage> out;
    ProductRunner product;
    uint8_t utc = 0;
    for (char c : stream) {
        if (c == 'U') {
            utc = 1;
        } else if (c == 'L') {
            utc = 0;
        } else if (c == '0' || c == '1') {
            RefMessage msg{};
            if (product.Tick(uint8_t(c - '0'), utc, &msg))
                out.push_back(msg);
        }
    }
    return out;
}

CraftedMinute CraftMinute(const RefFields& f, bool summer)
{
    CraftedMinute m{0, 0, 60};
    PutBcd(m, 17, f.Year, {80, 40, 20, 10, 8, 4, 2, 1});
    PutBcd(m, 25, f.Month, {10, 8, 4, 2, 1});
    PutBcd(m, 30, f.Day, {20, 10, 8, 4, 2, 1});
    // Day of week is plain binary.
    for (unsigned i = 0; i < 3; ++i)
        if (f.DayOfWeek >> (2 - i) & 1)
            m.A |= uint64_t(1) << (36 + i);
    PutBcd(m, 39, f.Hour, {20, 10, 8, 4, 2, 1});
    PutBcd(m, 45, f.Minute, {40, 20, 10, 8, 4, 2, 1});
    for (unsigned n = 53; n <= 58; ++n)  // identifier 01111110 over A52..A59
        m.A |= uint64_t(1) << n;
    PutParity(m, 17, 24, 54);
    PutParity(m, 25, 35, 55);
    PutParity(m, 36, 38, 56);
    PutParity(m, 39, 51, 57);
    if (summer)
        m.B |= uint64_t(1) << 58;
    return m;
}

void FlipCrafted(CraftedMinute& m, bool bBit, unsigned n)
{
    (bBit ? m.B : m.A) ^= uint64_t(1) << n;
}

void AppendMinute(std::string& out, const CraftedMinute& m, uint8_t level)
{
    const char on = level ? '1' : '0', off = level ? '0' : '1';
    for (unsigned p = 0; p < m.Seconds; ++p) {
        // In a leap minute position 17 is the inserted second and time-code
        // second n >= 17 sits at position n + 1.
        unsigned n = p;
        bool inserted = false;
        if (m.Seconds == 61 && p >= 17) {
            inserted = p == 17;
            n = p - 1;
        }
        const unsigned a = inserted ? 0 : unsigned(m.A >> n & 1);
        const unsigned b = inserted ? 0 : unsigned(m.B >> n & 1);
        AppendSecond(out, a, b, p == 0, on, off);
    }
}

void AppendLevel(std::string& out, uint8_t level, size_t n) { out.append(n, level ? '1' : '0'); }

std::string SynthString(const SynthStreamOptions& options)
{
    std::string out;
    out.reserve(SynthStreamCount(options));
    SynthStream stream;
    SynthStreamBegin(stream, options);
    uint8_t sample;
    while (SynthStreamNext(stream, &sample))
        out.push_back(char('0' + sample));
    return out;
}
