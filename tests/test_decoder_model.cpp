// Differential tests: the product's sampling tick against the independent
// reference model, sample by sample, over crafted, synthesized and random streams.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "decoder_harness.h"
#include "reception/reception.h"
#include "reference_decoder.h"
#include "tools/synth/msf_synth.h"

namespace {

constexpr int64_t NS_PER_S = 1000000000;
constexpr int64_t NS_PER_MIN = 60 * NS_PER_S;

// Base seed of every randomized test; VARNEL_TEST_SEED overrides it to replay
// a failure or to explore.
uint64_t BaseSeed()
{
    const char* env = std::getenv("VARNEL_TEST_SEED");
    return env ? std::strtoull(env, nullptr, 0) : 20261207;
}

std::string Fields(const TimeFields& f)
{
    char text[48];
    std::snprintf(text, sizeof text, "%u-%u-%u dow %u %u:%u", f.Year, f.Month, f.Day,
                  f.DayOfWeek, f.Hour, f.Minute);
    return text;
}
std::string Fields(const RefFields& f)
{
    return Fields(TimeFields{f.Minute, f.Hour, f.DayOfWeek, f.Day, f.Month, f.Year});
}

// The product's record against the model's, field by field; "" when equal.
std::string StateDifference(const RefModel& m)
{
    const DecoderRecord& p = DecoderState;
    uint64_t a = 0;
    for (int i = 5; i >= 0; --i)
        a = a << 8 | p.ARegister[i];
    std::string out;
    char text[96];
    auto check = [&](const char* name, unsigned product, unsigned model) {
        if (product != model) {
            std::snprintf(text, sizeof text, " %s product %u model %u;", name, product, model);
            out += text;
        }
    };
    check("LevelCounter", p.LevelCounter, m.Level);
    check("TickCount", p.TickCount, m.Tick);
    check("SecondCount", p.SecondCount, m.Seconds);
    check("BRegister", p.BRegister, m.B);
    check("Status", p.Status, m.Status);
    if (a != m.A)
        out += " ARegister differs;";
    const TimeFields d{m.Decoded.Minute, m.Decoded.Hour, m.Decoded.DayOfWeek,
                       m.Decoded.Day, m.Decoded.Month, m.Decoded.Year};
    const TimeFields q{m.Predicted.Minute, m.Predicted.Hour, m.Predicted.DayOfWeek,
                       m.Predicted.Day, m.Predicted.Month, m.Predicted.Year};
    if (!(p.Decoded == d))
        out += " Decoded product " + Fields(p.Decoded) + " model " + Fields(d) + ";";
    if (!(p.Predicted == q))
        out += " Predicted product " + Fields(p.Predicted) + " model " + Fields(q) + ";";
    return out;
}

// Runs stream through product and model in lock step. Returns "" when every
// message and the state after every sample agree, else the first difference
// with the sample index (the stream's prefix up to it reproduces it).
struct LockStepResult {
    std::string Difference;
    uint64_t Messages = 0;
    uint64_t Confirmations = 0;
};

LockStepResult LockStep(const std::string& stream)
{
    LockStepResult result;
    ProductRunner product;
    RefModel model = RefInitial();
    uint8_t utc = 0;
    for (char c : stream) {
        if (c == 'U' || c == 'L') {
            utc = c == 'U';
            continue;
        }
        if (c != '0' && c != '1')
            continue;
        const uint8_t bit = uint8_t(c - '0');
        RefMessage got{}, want{};
        const bool posted = product.Tick(bit, utc, &got);
        want.Index = got.Index;
        const bool expected = RefTick(model, bit, utc, &want.WParam, &want.LParam);
        if (posted != expected || (posted && !(got == want))) {
            result.Difference = "sample " + std::to_string(got.Index) + ": product " +
                                (posted ? RefFormat(got) : "no message") + ", model " +
                                (expected ? RefFormat(want) : "no message");
            return result;
        }
        const std::string state = StateDifference(model);
        if (!state.empty()) {
            result.Difference = "sample " + std::to_string(got.Index) + ": state" + state;
            return result;
        }
        if (posted) {
            ++result.Messages;
            result.Confirmations += (want.LParam >> 16 & ST_TIME_VALID) != 0;
        }
    }
    return result;
}

// ---- builders of crafted streams ----

RefFields At(uint8_t year, uint8_t month, uint8_t day, uint8_t dow, uint8_t hour, uint8_t minute)
{
    return RefFields{minute, hour, dow, day, month, year};
}

// Consecutive crafted minutes from start (the fields of the first), each
// announcing the next, with summer flag per minute from a function.
std::string CleanRun(RefFields first, unsigned count, uint8_t level, bool summer)
{
    std::string s;
    RefFields f = first;
    for (unsigned i = 0; i < count; ++i) {
        AppendMinute(s, CraftMinute(f, summer), level);
        RefAdvanceMinute(f);
    }
    return s;
}

std::string Synth(int64_t startUtcMs, int64_t durationNs, uint8_t level,
                  int64_t offsetNs = 0, int64_t periodNs = 20000000)
{
    SynthStreamOptions o = SynthDefaultStreamOptions();
    o.StartUtcMs = startUtcMs;
    o.DurationNs = durationNs;
    o.Level = level;
    o.OffsetNs = offsetNs;
    o.PeriodNs = periodNs;
    return SynthString(o);
}

// ---- named edge cases ----

struct NamedStream {
    const char* Name;
    std::string (*Build)();
    uint64_t MinConfirmations;  // a sanity floor: the stream really exercises confirmation
};

const NamedStream NamedCases[] = {
    {"clean start 5 s into a minute, level 1",
     [] { return Synth(SynthUtcMs(2026, 12, 7, 4, 16, 5), 4 * NS_PER_MIN, 1); }, 2},
    {"clean start 40 s into a minute, level 0",
     [] { return Synth(SynthUtcMs(2026, 12, 7, 4, 16, 40), 5 * NS_PER_MIN, 0); }, 2},
    {"spring change in local mode",
     [] { return Synth(SynthUtcMs(2028, 3, 26, 0, 50, 5), 20 * NS_PER_MIN, 1); }, 15},
    {"autumn change in local mode",
     [] { return Synth(SynthUtcMs(2027, 10, 31, 0, 50, 5), 20 * NS_PER_MIN, 1); }, 15},
    {"UTC mode over 1 March 00:30 BST of a leap year",
     [] {
         std::string s = "U";
         return s + CleanRun(At(28, 2, 29, 2, 23, 28), 6, 1, true) +
                CleanRun(At(28, 3, 1, 3, 0, 28), 5, 1, true);
     },
     4},
    {"seconds of 47, 48, 52 and 53 ticks",
     [] {
         std::string s = Synth(SynthUtcMs(2026, 12, 7, 4, 16, 5), 3 * NS_PER_MIN, 1);
         // After the confirmation the decoder waits 10 seconds; then odd seconds.
         for (unsigned len : {47u, 50u, 48u, 53u, 50u, 52u, 47u, 52u, 53u, 48u, 49u, 51u}) {
             s.append(5, '0');
             s.append(len - 5, '1');
         }
         return s;
     },
     2},
    {"no pulses at all, level 1 then level 0",
     [] { return std::string(70000, '1') + std::string(70000, '0'); }, 0},
    {"a leap-second minute",
     [] {
         SynthStreamOptions o = SynthDefaultStreamOptions();
         o.Signal.HasLeapSecond = true;
         o.Signal.LeapDay = SynthDaysFromCivil(2027, 6, 30);
         o.StartUtcMs = SynthUtcMs(2027, 6, 30, 23, 55, 5);
         o.DurationNs = 10 * NS_PER_MIN;
         return SynthString(o);
     },
     7},
    {"UTC switched both ways during BST",
     [] {
         const std::string a = Synth(SynthUtcMs(2027, 7, 1, 10, 0, 5), 4 * NS_PER_MIN, 1);
         const std::string b = Synth(SynthUtcMs(2027, 7, 1, 10, 4, 5), 4 * NS_PER_MIN, 1);
         const std::string c = Synth(SynthUtcMs(2027, 7, 1, 10, 8, 5), 4 * NS_PER_MIN, 1);
         return a + "U" + b + "L" + c;
     },
     7},
    {"parity-clean fields out of range",
     [] {
         std::string s;
         for (RefFields f : {At(27, 13, 1, 1, 10, 0), At(27, 0, 1, 1, 10, 1), At(27, 2, 29, 1, 10, 2),
                             At(28, 2, 30, 1, 10, 3), At(27, 4, 31, 1, 10, 4), At(27, 4, 0, 1, 10, 5),
                             At(27, 4, 5, 7, 10, 6), At(27, 4, 5, 1, 24, 7), At(27, 4, 5, 1, 10, 60),
                             At(100, 4, 5, 1, 10, 7)}) {
             // Each out-of-range minute twice: a literal decoder would confirm it.
             AppendMinute(s, CraftMinute(f, false), 1);
             RefAdvanceMinute(f);
             AppendMinute(s, CraftMinute(f, false), 1);
         }
         return s + CleanRun(At(28, 2, 29, 2, 23, 58), 4, 1, false);
     },
     2},
    {"all-zero false minute while the level is learned",
     [] {
         // Carrier-on level 0 from the start: pulses everywhere until 128.
         std::string s;
         AppendLevel(s, 0, 2000);
         return s + CleanRun(At(27, 1, 1, 5, 0, 0), 4, 0, false);
     },
     2},
};

TEST(DecoderModel, NamedStreamsAgree)
{
    for (const NamedStream& c : NamedCases) {
        SCOPED_TRACE(c.Name);
        const LockStepResult r = LockStep(c.Build());
        EXPECT_EQ(r.Difference, "");
        EXPECT_GE(r.Confirmations, c.MinConfirmations);
    }
}

// ---- hours of synthesized signal ----

TEST(DecoderModel, NoisySynthesizedHoursAgree)
{
    const uint64_t seed = BaseSeed();
    SCOPED_TRACE("seed " + std::to_string(seed) + " (VARNEL_TEST_SEED)");
    uint64_t state = seed;
    // Start instants that carry the interesting calendar days, plus random ones.
    const int64_t anchors[] = {
        SynthUtcMs(2027, 3, 28, 0, 45, 0),  SynthUtcMs(2027, 10, 31, 0, 45, 0),
        SynthUtcMs(2028, 2, 28, 23, 45, 0), SynthUtcMs(2099, 12, 31, 23, 45, 0),
        SynthUtcMs(2026, 12, 31, 23, 45, 0),
    };
    const int64_t periods[] = {20000000, 19600000, 20400000};
    const double noises[] = {0.0, 0.001, 0.004, 0.01, 0.05};
    unsigned run = 0;
    uint64_t confirmations = 0;
    for (int64_t period : periods) {
        for (uint8_t level : {uint8_t(1), uint8_t(0)}) {
            for (double noise : noises) {
                SynthStreamOptions o = SynthDefaultStreamOptions();
                const uint64_t r = SynthNextRandom(state);
                o.StartUtcMs = (run % 2 == 0)
                                   ? anchors[(run / 2) % 5]
                                   : SynthUtcMs(2000, 1, 1, 0, 0, 0) +
                                         int64_t(r % (uint64_t(36500) * 86400)) * 1000;
                o.OffsetNs = int64_t(SynthNextRandom(state) % uint64_t(period));
                o.PeriodNs = period;
                o.Level = level;
                o.Noise = noise;
                o.DelayNs = int64_t(SynthNextRandom(state) % 80) * 1000000;
                o.DurationNs = 20 * NS_PER_MIN;
                o.Seed = SynthNextRandom(state);
                if (run % 3 != 0) {
                    o.DropoutsPerHour = 6;
                    o.DropoutMeanNs = int64_t(1 + run % 40) * NS_PER_S;
                    o.DropoutLine = SynthDropoutLine(run % 3);
                }
                // Random U/L switches in one run out of four.
                std::string s = SynthString(o);
                if (run % 4 == 1) {
                    std::string mixed;
                    for (char c : s) {
                        if (SynthNextRandom(state) % 20000 == 0)
                            mixed.push_back(SynthNextRandom(state) & 1 ? 'U' : 'L');
                        mixed.push_back(c);
                    }
                    s.swap(mixed);
                }
                SCOPED_TRACE("run " + std::to_string(run) + " period " + std::to_string(period) +
                             " level " + std::to_string(level) + " noise " + std::to_string(noise));
                const LockStepResult result = LockStep(s);
                ASSERT_EQ(result.Difference, "");
                confirmations += result.Confirmations;
                ++run;
            }
        }
    }
    // Clean and lightly noisy runs must confirm; the comparison means little otherwise.
    EXPECT_GT(confirmations, 150u);
}

// ---- silence and random streams ----

TEST(DecoderModel, SilenceAndRandomStreamsAgree)
{
    const uint64_t seed = BaseSeed() ^ 0x5eed;
    SCOPED_TRACE("seed " + std::to_string(seed) + " (VARNEL_TEST_SEED)");
    uint64_t state = seed;
    // Silence after a good signal, both levels: the counters wrap twice.
    for (uint8_t level : {uint8_t(0), uint8_t(1)}) {
        std::string s = Synth(SynthUtcMs(2027, 5, 5, 12, 0, 5), 3 * NS_PER_MIN, level);
        s.append(140000, level ? '1' : '0');
        ASSERT_EQ(LockStep(s).Difference, "") << "silence at level " << unsigned(level);
    }
    // Random samples: uniform, sparse and dense bits, and random run lengths.
    for (unsigned round = 0; round < 24; ++round) {
        std::string s;
        const unsigned kind = round % 4;
        while (s.size() < 30000) {
            const uint64_t r = SynthNextRandom(state);
            switch (kind) {
            case 0: s.push_back(char('0' + (r & 1))); break;
            case 1: s.push_back(r % 16 == 0 ? '1' : '0'); break;
            case 2: s.push_back(r % 16 == 0 ? '0' : '1'); break;
            default: s.append(1 + r % 60, char('0' + (s.size() & 1 ? 0 : 1))); break;
            }
            if (r % 3000 == 7)
                s.push_back(r & 0x100 ? 'U' : 'L');
        }
        SCOPED_TRACE("round " + std::to_string(round));
        ASSERT_EQ(LockStep(s).Difference, "");
    }
}

// ---- random crafted minutes ----

// Minutes whose content is random in a controlled way: runs of consecutive
// valid minutes at random calendar points, random out-of-range but clean
// minutes, single flipped bits, misread identifiers, leap minutes, glitches
// and random mode switches.
TEST(DecoderModel, RandomCraftedMinutesAgree)
{
    const uint64_t seed = BaseSeed() ^ 0xc0de;
    SCOPED_TRACE("seed " + std::to_string(seed) + " (VARNEL_TEST_SEED)");
    uint64_t state = seed;
    auto random = [&](uint64_t n) { return SynthNextRandom(state) % n; };
    uint64_t confirmations = 0;
    for (unsigned round = 0; round < 12; ++round) {
        const uint8_t level = uint8_t(round & 1);
        std::string s;
        AppendLevel(s, level, random(300));
        // A valid start, often near month, year and century ends.
        const uint8_t month = uint8_t(1 + random(12));
        const uint8_t year = uint8_t(random(4) == 0 ? 99 : random(100));
        RefFields f{};
        f.Year = year;
        f.Month = month;
        f.Day = uint8_t(random(2) ? 1 + random(28) : (month == 2 ? 28 + (year % 4 == 0) : 30));
        f.DayOfWeek = uint8_t(random(7));
        f.Hour = uint8_t(random(2) ? 23 : random(24));
        f.Minute = uint8_t(random(2) ? 50 + random(10) : random(60));
        if (random(8) == 0) {
            f.Month = 12;
            f.Day = 31;
        }
        bool summer = random(2);
        for (unsigned minute = 0; minute < 60; ++minute) {
            CraftedMinute m = CraftMinute(f, summer);
            const uint64_t what = random(20);
            if (what == 0) {
                FlipCrafted(m, random(2), unsigned(1 + random(59)));
            } else if (what == 1) {
                // Random but parity-clean content, often out of range.
                RefFields junk{uint8_t(random(80)), uint8_t(random(40)), uint8_t(random(8)),
                               uint8_t(random(40)), uint8_t(random(20)), uint8_t(random(100))};
                m = CraftMinute(junk, random(2));
            } else if (what == 2) {
                summer = !summer;  // B58 changes: the prediction's hour moves
                m = CraftMinute(f, summer);
            } else if (what == 3) {
                m.Seconds = 61;
            } else if (what == 4) {
                // A nibble above 9 in the minute field (0x7F decodes as 85),
                // parity made clean again.
                m.A |= uint64_t(0x7F) << 45;
                unsigned ones = 0;
                for (unsigned n = 39; n <= 51; ++n)
                    ones += unsigned(m.A >> n & 1);
                m.B = (m.B & ~(uint64_t(1) << 57)) | uint64_t(ones % 2 == 0) << 57;
            }
            std::string part;
            AppendMinute(part, m, level);
            // Occasional glitches and a second of odd length.
            if (random(4) == 0)
                part[random(part.size())] ^= 1;
            if (random(6) == 0)
                part.erase(random(part.size()), 1 + random(3));
            if (random(6) == 0)
                part.insert(random(part.size()), 1 + random(3), level ? '1' : '0');
            if (random(10) == 0)
                part.insert(random(part.size()), 1, random(2) ? 'U' : 'L');
            s += part;
            RefAdvanceMinute(f);
            if (random(40) == 0)
                RefAdvanceMinute(f);  // a skipped minute: the next one replaces the prediction
        }
        SCOPED_TRACE("round " + std::to_string(round));
        const LockStepResult result = LockStep(s);
        ASSERT_EQ(result.Difference, "");
        confirmations += result.Confirmations;
    }
    EXPECT_GT(confirmations, 200u);
}

// The model's own calendar against the synthesizer's civil calendar, so the
// model is not merely the product's twin in its mistakes.
TEST(DecoderModel, ModelCalendarMatchesCivilCalendar)
{
    for (int64_t day = SynthDaysFromCivil(2000, 1, 1); day < SynthDaysFromCivil(2100, 1, 1); ++day) {
        for (unsigned hour : {0u, 23u}) {
            int64_t y;
            unsigned mo, d;
            SynthCivilFromDays(day, &y, &mo, &d);
            const RefFields f{59, uint8_t(hour), uint8_t(SynthWeekday(day)), uint8_t(d),
                              uint8_t(mo), uint8_t(y - 2000)};
            ASSERT_TRUE(RefFieldsInRange(f));
            RefFields next = f;
            RefAdvanceMinute(next);
            SynthCivilFromDays(day + (hour == 23), &y, &mo, &d);
            const RefFields want{0, uint8_t(hour == 23 ? 0 : 1), uint8_t(SynthWeekday(day + (hour == 23))),
                                 uint8_t(d), uint8_t(mo), uint8_t(y - 2000)};
            ASSERT_EQ(Fields(next), Fields(want)) << "advance from day " << day;
            RefFields back = want;
            RefSubtractHour(back);
            RefFields expectBack = f;
            expectBack.Minute = 0;
            ASSERT_EQ(Fields(back), Fields(expectBack)) << "subtract from day " << day;
        }
    }
}

}  // namespace
