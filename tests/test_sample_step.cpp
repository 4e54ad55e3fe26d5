// The sampling tick's portable body: message packing, which line of the input
// byte is sampled, when a message is posted, and a dead input port.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/config.h"
#include "decoder_harness.h"
#include "reception/platform.h"
#include "reception/reception.h"

namespace {

TEST(SampleStep, PacksTimeCodeMessages)
{
    struct Case {
        TimeFields Fields;  // minute, hour, day of week, day, month, year
        StatusFlags Status;
        uint32_t WParam, LParam;
    } cases[] = {
        // 14:07, Friday the 20th, April of year 12, just confirmed.
        {{7, 14, 5, 20, 4, 12}, 0x40, 0x14050E07, 0x00400C04},
        {{0, 0, 0, 1, 1, 0}, 0x10, 0x01000000, 0x00100001},
        {{59, 23, 6, 31, 12, 99}, 0xDF, 0x1F06173B, 0x00DF630C},
        // Bytes pass unchanged, whatever they hold.
        {{255, 255, 255, 255, 255, 255}, 0xFF, 0xFFFFFFFF, 0x00FFFFFF},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PackTimeCodeWParam(c.Fields), c.WParam);
        EXPECT_EQ(PackTimeCodeLParam(c.Fields, c.Status), c.LParam);
        EXPECT_EQ(UnpackTimeCode(c.WParam, c.LParam), c.Fields);
        EXPECT_EQ(UnpackStatus(c.LParam), c.Status);
    }
}

// A fake serial port: the modem status word the next read returns.
uint32_t ModemWord;
bool ModemReadWorks;
std::vector<std::pair<uint32_t, uint32_t>> Messages;

bool FakeModemStatus(uintptr_t handle, uint32_t* status)
{
    EXPECT_EQ(handle, uintptr_t(5));
    *status = ModemWord;
    return ModemReadWorks;
}
uint32_t IoWord;
uint32_t FakeIoPort(uint32_t port)
{
    EXPECT_EQ(port, 0x379u);
    return IoWord;
}
void Record(uintptr_t window, uint32_t wParam, uint32_t lParam)
{
    EXPECT_EQ(window, uintptr_t(0x1234));
    Messages.push_back({wParam, lParam});
}

class SampleStepPort : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved_ = Platform;
        ResetSettings();
        ResetDecoder();
        Platform.ReadModemStatus = FakeModemStatus;
        Platform.ReadIoPort = FakeIoPort;
        Platform.PostTimeCode = Record;
        ModemReadWorks = true;
        Messages.clear();
    }
    void TearDown() override
    {
        Platform = saved_;
        ResetSettings();
        ResetDecoder();
    }
    static void Steps(unsigned n)
    {
        for (unsigned i = 0; i < n; ++i)
            SampleStep(0x1234);
    }

private:
    PlatformOps saved_;
};

// The level counter moves down on 1 and up on 0 of the selected line only, so
// it shows which line was read.
TEST_F(SampleStepPort, BitNumberSelectsTheModemLine)
{
    struct Case {
        uint8_t Bit;
        uint32_t Line;  // the modem status bit that bit number reads
    } cases[] = {{7, 0x80 /* DCD */}, {4, 0x10 /* CTS */}, {5, 0x20 /* DSR */}, {6, 0x40 /* RI */}};
    PortAddress = 1;
    PortHandle = 5;
    for (const Case& c : cases) {
        SCOPED_TRACE("bit " + std::to_string(c.Bit));
        ResetDecoder();
        BitNumber = c.Bit;
        ModemWord = 0xFFFFFFF0u & ~c.Line;  // every other line high, ours low
        Steps(20);
        EXPECT_EQ(DecoderState.LevelCounter, 20);
        ModemWord = c.Line;  // only ours high
        Steps(5);
        EXPECT_EQ(DecoderState.LevelCounter, 15);
    }
}

TEST_F(SampleStepPort, IoPortUsesTheLowByteOfTheRead)
{
    PortAddress = 0x379;
    BitNumber = 3;
    IoWord = 0xFFFFFF00u;  // bit 3 of the low byte is 0; the high bytes are ignored
    Steps(30);
    EXPECT_EQ(DecoderState.LevelCounter, 30);
    IoWord = 0x08;
    Steps(30);
    EXPECT_EQ(DecoderState.LevelCounter, 0);
}

// A dead input reads as all ones: taken as carrier on from the first sample,
// it never starts a second and ends in ST_NO_PULSE after 256 samples.
TEST_F(SampleStepPort, DeadInputEndsInNoPulse)
{
    struct Case {
        const char* Name;
        uint32_t Port;
        uintptr_t Handle;
        bool ReadWorks;
        uint8_t Bit;
    } cases[] = {
        {"serial port not open", 1, INVALID_PORT_HANDLE, true, 7},
        {"modem-status read fails", 3, 5, false, 4},
        {"port 0", 0, INVALID_PORT_HANDLE, true, 7},
        {"bit number out of range", 1, 5, true, 8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        ResetDecoder();
        Messages.clear();
        PortAddress = c.Port;
        PortHandle = c.Handle;
        BitNumber = c.Bit;
        ModemReadWorks = c.ReadWorks;
        ModemWord = 0;  // would be all pulses if it were read
        Steps(255);
        EXPECT_TRUE(Messages.empty());
        Steps(1);
        ASSERT_EQ(Messages.size(), 1u);
        EXPECT_EQ(UnpackStatus(Messages[0].second), ST_NEVER_CONFIRMED | ST_NO_PULSE);
        Steps(600);
        EXPECT_EQ(Messages.size(), 1u);
        EXPECT_EQ(DecoderState.TickCount, uint8_t(856 % 256));  // never reset by a second start
        EXPECT_EQ(DecoderState.LevelCounter, 0);
    }
}

// ---- when a message is posted ----

// Crafted clean minutes 10:00.. on 1 April 2027 after 7 samples of carrier on;
// minute k's marker is sample 7 + (k - 1) * 3000 + 1 and decodes minute k - 1.
std::string CleanMinutes(unsigned count)
{
    std::string s = "1111111";
    RefFields f{0, 10, 4, 1, 4, 27};
    for (unsigned i = 0; i < count; ++i) {
        AppendMinute(s, CraftMinute(f, false), 1);
        RefAdvanceMinute(f);
    }
    return s;
}

TEST(SampleStepMessages, EachConfirmedMinutePostsTimeValid)
{
    const std::vector<RefMessage> messages = ProductRun(CleanMinutes(5));
    std::vector<uint64_t> valid;
    for (const RefMessage& m : messages) {
        if (m.LParam & (1u << 22))
            valid.push_back(m.Index);
    }
    // Markers of minutes 3, 4 and 5 confirm: three messages although the
    // status byte is the same 0x40 each time.
    EXPECT_EQ(valid, (std::vector<uint64_t>{6008, 9008, 12008}));
    EXPECT_EQ(UnpackStatus(messages.back().LParam), ST_TIME_VALID);
    EXPECT_EQ(UnpackTimeCode(messages.back().WParam, messages.back().LParam),
              (TimeFields{3, 10, 4, 1, 4, 27}));
    // The stored status has it cleared again.
    EXPECT_EQ(DecoderState.Status, 0);
}

TEST(SampleStepMessages, IrregularSecondAloneLeavesTimeValidClear)
{
    std::string s = CleanMinutes(3);
    s.insert(7 + 2 * 3000 + 20 * 50, 3, '1');  // second 19 after the confirmation: 53 ticks
    const std::vector<RefMessage> messages = ProductRun(s);
    ASSERT_GE(messages.size(), 3u);
    const RefMessage& set = messages[messages.size() - 2];
    const RefMessage& cleared = messages.back();
    EXPECT_EQ(set.Index, 6008u + 20 * 50 + 3);
    EXPECT_EQ(UnpackStatus(set.LParam), ST_SECOND_IRREGULAR);
    EXPECT_EQ(set.LParam & (1u << 22), 0u);
    EXPECT_EQ(cleared.Index, set.Index + 50);
    EXPECT_EQ(UnpackStatus(cleared.LParam), 0);
    // Both carry the fields of the last marker.
    EXPECT_EQ(UnpackTimeCode(set.WParam, set.LParam), (TimeFields{1, 10, 4, 1, 4, 27}));
}

}  // namespace
