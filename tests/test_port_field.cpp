// Native tests of the Properties dialog's decisions: the port field scan, the
// match at open, the indicator's port switching and what OK changes.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/port_field.h"

namespace {

constexpr uintptr_t H = INVALID_PORT_HANDLE;  // short for "no handle"

struct ParseCase {
    int32_t selected;
    const char* text;
    uint32_t expected;
};

TEST(ParsePortField, SelectionAndTypedText)
{
    const ParseCase cases[] = {
        // Serial items win over whatever the edit field holds.
        {0, "COM1:", 1},
        {3, "COM4:", 4},
        {8, "COM9:", 9},
        {8, "378", 9},
        // Listed and typed addresses.
        {9, "201", 0x201},
        {15, "3FE", 0x3FE},
        {NO_ITEM, "378", 0x378},
        {NO_ITEM, "37G", 0x37},
        {NO_ITEM, "COM1", 0xC},  // C is a digit, O is not
        {NO_ITEM, " 3fe", 0x3FE},
        {NO_ITEM, "  3fe", 0x3F},  // only four characters are read
        {NO_ITEM, "0x2f8", 0x2F},
        {NO_ITEM, "0X1", 0x1},
        {NO_ITEM, "0x", 0},   // the 0 is the number, the x ends it
        {NO_ITEM, "0xg", 0},
        {NO_ITEM, "12345", 0x1234},
        {NO_ITEM, "+1f", 0x1F},
        {NO_ITEM, "-1", 0xFFFFFFFFu},  // negated modulo 2^32, as the C library does
        {NO_ITEM, "-0", 0},
        {NO_ITEM, "-FFF", 0xFFFFF001u},
        {NO_ITEM, "\t7", 7},
        // No digit: selection + 1, so 0 with nothing selected.
        {NO_ITEM, "", 0},
        {NO_ITEM, "    ", 0},
        {NO_ITEM, "    9", 0},
        {NO_ITEM, "-", 0},
        {NO_ITEM, "+-1", 0},
        {NO_ITEM, "xyz", 0},
        {NO_ITEM, "0xxx", 0},
        {12, "", 13},
    };
    for (const ParseCase& c : cases)
        EXPECT_EQ(ParsePortField(c.selected, c.text), c.expected)
            << "selected " << c.selected << " text \"" << c.text << "\"";
}

// The scan agrees with the C library's own "%x" conversion on the first four
// characters of many fields built from the characters that matter.
TEST(ParsePortField, AgreesWithStrtoulOnFourCharacters)
{
    const char alphabet[] = {' ', '+', '-', '0', 'x', 'X', '1', 'f', 'F', 'g', '\t'};
    const int n = sizeof alphabet;
    for (int a = 0; a < n; a++)
        for (int b = 0; b < n; b++)
            for (int c = 0; c < n; c++)
                for (int d = 0; d < n; d++) {
                    const char text[] = {alphabet[a], alphabet[b], alphabet[c], alphabet[d], 'A',
                                         '\0'};
                    char four[5] = {text[0], text[1], text[2], text[3], '\0'};
                    char* end = nullptr;
                    unsigned long expected = std::strtoul(four, &end, 16);
                    uint32_t value = 12345;
                    bool found = ScanPortHex(text, &value);
                    // strtoul leaves end at the start when it converted nothing.
                    bool converted = end != four;
                    ASSERT_EQ(found, converted) << '"' << four << '"';
                    if (found)
                        ASSERT_EQ(value, uint32_t(expected)) << '"' << four << '"';
                    else
                        ASSERT_EQ(value, 12345u);
                }
}

struct OpenCase {
    uint32_t portAddress;
    int32_t item;
    const char* editText;
};

TEST(MatchPortAtOpen, SelectsItemOrFillsEdit)
{
    const OpenCase cases[] = {
        {0, NO_ITEM, ""},   // nothing selected, nothing typed
        {1, 0, ""},
        {3, 2, ""},
        {9, 8, ""},
        {0x201, 9, ""},
        {0x20, 9, ""},      // prefix of "201"
        {0x2, 1, ""},       // a port number, not an address
        {0xC, 0, ""},       // "C" begins "COM1:"
        {0x3EE, 14, ""},
        {0x3E, 14, ""},     // first of "3EE" and "3FE" it begins
        {0x3, 2, ""},
        {0x2F, 12, ""},
        {0x378, NO_ITEM, "378"},
        {0x1234, NO_ITEM, "1234"},
        {0xA, NO_ITEM, "A"},
        {0xC0, NO_ITEM, "C0"},  // zero is not the letter O
        {0xFFFFFFFFu, NO_ITEM, "FFFFFFFF"},
        {0x10000, NO_ITEM, "10000"},
    };
    for (const OpenCase& c : cases) {
        PortFieldOpening opening = MatchPortAtOpen(c.portAddress);
        EXPECT_EQ(opening.Item, c.item) << std::hex << c.portAddress;
        EXPECT_STREQ(opening.EditText, c.editText) << std::hex << c.portAddress;
    }
}

// What the dialog opens with reads back as the port it stands for, except
// where the prefix match or the four-character limit changes it on purpose.
TEST(MatchPortAtOpen, RoundTripsThroughParse)
{
    struct {
        uint32_t stored;
        uint32_t readBack;
    } const cases[] = {
        {1, 1}, {9, 9}, {0x201, 0x201}, {0x3FE, 0x3FE}, {0x378, 0x378}, {0xFFFF, 0xFFFF},
        {0x20, 0x201}, {0xC, 1}, {0x12345, 0x1234}, {0, 0},
    };
    for (const auto& c : cases) {
        PortFieldOpening opening = MatchPortAtOpen(c.stored);
        const char* text = opening.Item == NO_ITEM ? opening.EditText : PortItems[opening.Item];
        EXPECT_EQ(ParsePortField(opening.Item, text), c.readBack) << std::hex << c.stored;
    }
}

TEST(PortLists, ItemsAndBits)
{
    for (int32_t i = 0; i < SERIAL_ITEM_COUNT; i++) {
        char expected[8];
        std::snprintf(expected, sizeof expected, "COM%d:", int(i + 1));
        EXPECT_STREQ(PortItems[i], expected);
        EXPECT_EQ(ParsePortField(i, PortItems[i]), uint32_t(i + 1));
    }
    // The address items parse to themselves and none of them is a port number.
    for (int32_t i = SERIAL_ITEM_COUNT; i < PORT_ITEM_COUNT; i++) {
        uint32_t value = ParsePortField(i, PortItems[i]);
        EXPECT_FALSE(IsSerialPort(value)) << PortItems[i];
        EXPECT_EQ(value, uint32_t(std::strtoul(PortItems[i], nullptr, 16)));
    }
    for (int32_t i = 0; i < BIT_ITEM_COUNT; i++)
        EXPECT_EQ(std::string(BitItems[i]), std::to_string(i));
}

TEST(SelectedBit, NoSelectionReadsAsSeven)
{
    const struct {
        int32_t selection;
        uint8_t bit;
    } cases[] = {{0, 0}, {4, 4}, {7, 7}, {NO_ITEM, 7}, {8, 7}, {-5, 7}};
    for (const auto& c : cases)
        EXPECT_EQ(SelectedBit(c.selection), c.bit) << c.selection;
}

TEST(IndicatorColour, RawLevelOfTheChosenBit)
{
    const struct {
        uint8_t input;
        int32_t selection;
        IndicatorBrush brush;
    } cases[] = {
        {0x80, 7, BRUSH_WHITE}, {0x80, 4, BRUSH_BLACK}, {0x10, 4, BRUSH_WHITE},
        {0x01, 0, BRUSH_WHITE}, {0xFE, 0, BRUSH_BLACK}, {0x80, NO_ITEM, BRUSH_WHITE},
        {0x7F, NO_ITEM, BRUSH_BLACK},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IndicatorColour(c.input, c.selection), c.brush)
            << std::hex << int(c.input) << " bit " << std::dec << c.selection;
}

// Handles of the indicator cases: the shared port's handle, a test handle the
// dialog opened earlier, and what a new open gives.
constexpr uintptr_t SHARED = 0x100;
constexpr uintptr_t TEST = 0x200;
constexpr uintptr_t OPENED = 0x300;

struct IndicatorCase {
    const char* what;
    uint32_t p, testPort;
    uintptr_t testHandle;
    uint32_t portAddress;
    uintptr_t portHandle;
    uintptr_t opened;  // what an open gives, if one is made
    // Expected:
    uintptr_t close;
    uint32_t open;
    uint32_t newTestPort;
    uintptr_t newTestHandle;
    OkButtonChange ok;
    bool grey;
};

TEST(Indicator, PortSwitching)
{
    const IndicatorCase cases[] = {
        {"same port: nothing changes", 3, 3, TEST, 1, SHARED, OPENED,
         H, 0, 3, TEST, OK_UNCHANGED, false},
        {"same failed port is not retried until TestPort moves", 0, 0, H, 1, SHARED, H,
         H, 0, 0, H, OK_UNCHANGED, false},
        {"serial port opened for the test", 4, 0x201, H, 0x201, H, OPENED,
         H, 4, 4, OPENED, OK_ENABLE, false},
        {"failed open: TestPort 0, OK disabled, grey", 4, 0x201, H, 0x201, H, H,
         H, 4, 0, H, OK_DISABLE, true},
        {"retry after a failure succeeds", 4, 0, H, 0x201, H, OPENED,
         H, 4, 4, OPENED, OK_ENABLE, false},
        {"own test handle closed when moving on", 5, 4, TEST, 1, SHARED, OPENED,
         TEST, 5, 5, OPENED, OK_ENABLE, false},
        {"port in use is shared, not reopened", 1, 4, TEST, 1, SHARED, OPENED,
         TEST, 0, 1, SHARED, OK_ENABLE, false},
        {"port in use shared even when it failed at start-up", 1, 4, TEST, 1, H, OPENED,
         TEST, 0, 1, H, OK_ENABLE, false},
        {"shared handle never closed when moving away", 0x378, 1, SHARED, 1, SHARED, OPENED,
         H, 0, 0x378, H, OK_ENABLE, false},
        {"I/O port needs no handle", 0x378, 0x201, H, 0x201, H, OPENED,
         H, 0, 0x378, H, OK_ENABLE, false},
        {"I/O port in use: no handle either", 0x201, 0x378, H, 0x201, SHARED, OPENED,
         H, 0, 0x201, H, OK_ENABLE, false},
        {"port 0 reads nothing", 0, 4, TEST, 0x201, H, OPENED,
         TEST, 0, 0, H, OK_ENABLE, false},
        {"failure after an open test handle closes it first", 6, 5, TEST, 1, SHARED, H,
         TEST, 6, 0, H, OK_DISABLE, true},
    };
    for (const IndicatorCase& c : cases) {
        IndicatorPlan plan = PlanIndicator(c.p, c.testPort, c.testHandle, c.portAddress,
                                           c.portHandle);
        EXPECT_EQ(plan.Close, c.close) << c.what;
        EXPECT_EQ(plan.Open, c.open) << c.what;
        if (plan.Open != 0)
            ResolveIndicatorOpen(plan, c.opened);
        EXPECT_EQ(plan.TestPort, c.newTestPort) << c.what;
        EXPECT_EQ(plan.TestHandle, c.newTestHandle) << c.what;
        EXPECT_EQ(plan.Ok, c.ok) << c.what;
        EXPECT_EQ(plan.Grey, c.grey) << c.what;
        // The shared handle is never the one closed.
        EXPECT_TRUE(plan.Close == H || plan.Close != c.portHandle) << c.what;
    }
}

// A run of refreshes as the user moves through the list: every handle the
// indicator opens is closed exactly once by the time it moves on, and the
// shared handle is never closed.
TEST(Indicator, EveryOpenedTestHandleClosedOnce)
{
    constexpr uint32_t portAddress = 2;
    constexpr uintptr_t portHandle = 0x1002;
    int opens[16] = {}, closes[16] = {};
    uint32_t testPort = portAddress;
    uintptr_t testHandle = portHandle;
    // COM3 is absent: its opens fail.
    const uint32_t steps[] = {1, 1, 3, 3, 3, 2, 4, 0x378, 5, 5, 2, 9, 3, 1, 0, 6};
    for (uint32_t p : steps) {
        IndicatorPlan plan = PlanIndicator(p, testPort, testHandle, portAddress, portHandle);
        if (plan.Close != H) {
            ASSERT_NE(plan.Close, portHandle);
            closes[plan.Close & 0xF]++;
        }
        if (plan.Open != 0) {
            uintptr_t opened = H;
            if (plan.Open != 3) {
                opened = 0x1000 + plan.Open;
                opens[plan.Open]++;
            }
            ResolveIndicatorOpen(plan, opened);
        }
        testPort = plan.TestPort;
        testHandle = plan.TestHandle;
    }
    // Cancel closes what is left.
    if (testHandle != H && testHandle != portHandle)
        closes[testHandle & 0xF]++;
    for (int port = 1; port <= 9; port++)
        EXPECT_EQ(closes[port], opens[port]) << "COM" << port;
    EXPECT_EQ(closes[portAddress], 0);
    EXPECT_EQ(opens[3], 0);
}

struct OkCase {
    const char* what;
    uint32_t p;
    uintptr_t testHandle;
    uint32_t portAddress;
    uintptr_t portHandle;
    int32_t bitSelection;
    bool utc;
    // Expected:
    uintptr_t closeTest;
    bool portChanged;
    uint32_t newPortAddress;
    uint32_t openPort;
    uint8_t bit;
    uint8_t utcFlag;
};

TEST(Ok, Decisions)
{
    const OkCase cases[] = {
        {"same port, other bit: port untouched", 1, SHARED, 1, SHARED, 4, false,
         H, false, 1, 0, 4, 0},
        {"new serial port: test handle closed, port reopened", 4, TEST, 1, SHARED, 7, true,
         TEST, true, 4, 4, 7, 1},
        {"to an I/O port: no handle", 0x378, H, 1, SHARED, 0, false,
         H, true, 0x378, 0, 0, 0},
        {"from an I/O port to another", 0x379, H, 0x201, H, 5, true,
         H, true, 0x379, 0, 5, 1},
        {"to port 0", 0, H, 0x201, H, 7, false,
         H, true, 0, 0, 7, 0},
        {"no bit shown stores 7", 0x201, H, 0x201, H, NO_ITEM, false,
         H, false, 0x201, 0, 7, 0},
        {"failed start-up port kept as it is", 3, H, 3, H, 2, false,
         H, false, 3, 0, 2, 0},
    };
    for (const OkCase& c : cases) {
        OkPlan plan = PlanOk(c.p, c.testHandle, c.portAddress, c.portHandle, c.bitSelection,
                             c.utc);
        EXPECT_EQ(plan.CloseTest, c.closeTest) << c.what;
        EXPECT_EQ(plan.PortChanged, c.portChanged) << c.what;
        EXPECT_EQ(plan.PortAddress, c.newPortAddress) << c.what;
        EXPECT_EQ(plan.OpenPort, c.openPort) << c.what;
        EXPECT_EQ(plan.BitNumber, c.bit) << c.what;
        EXPECT_EQ(plan.UTCFlag, c.utcFlag) << c.what;
    }
}

}  // namespace
