// Native stress test of the serial handle hand-over with real threads: a tick
// thread reads the shared input while the UI side keeps replacing the handle.
// No read may ever go through a closed handle, and every replaced handle is
// closed exactly once.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "config/config.h"
#include "reception/platform.h"
#include "reception/reception.h"

namespace {

constexpr int SLOTS = 20000;  // fake handles 1..SLOTS, each opened once
constexpr int SWITCHES = SLOTS - 1;

enum SlotState : uint8_t { SLOT_UNUSED, SLOT_OPEN, SLOT_CLOSED };

struct FakePorts {
    std::atomic<uint8_t> State[SLOTS + 1];
    std::atomic<int> Closes[SLOTS + 1];
    std::atomic<long> Reads;
    std::atomic<long> ReadsThroughClosed;
    std::atomic<long> ClosesOfUnopened;
};
FakePorts* Ports = nullptr;

bool FakeReadModemStatus(uintptr_t handle, uint32_t* status)
{
    if (handle == INVALID_PORT_HANDLE)
        return false;
    if (handle == 0 || handle > uintptr_t(SLOTS)) {
        Ports->ReadsThroughClosed++;
        return false;
    }
    // The read takes a while and may give up the processor, as a real one
    // does in the system call: the handle must stay open from start to end.
    bool openAtStart = Ports->State[handle].load() == SLOT_OPEN;
    if (handle % 2 == 0)
        std::this_thread::yield();
    for (int spin = 0; spin < 100 + int(handle % 7) * 100; spin++)
        std::atomic_signal_fence(std::memory_order_seq_cst);
    bool openAtEnd = Ports->State[handle].load() == SLOT_OPEN;
    if (!openAtStart || !openAtEnd)
        Ports->ReadsThroughClosed++;
    Ports->Reads++;
    *status = 0x80;
    return true;
}

void FakeClosePort(uintptr_t handle)
{
    if (handle == 0 || handle > uintptr_t(SLOTS) ||
        Ports->State[handle].exchange(SLOT_CLOSED) != SLOT_OPEN)
        Ports->ClosesOfUnopened++;
    else
        Ports->Closes[handle]++;
}

uintptr_t FakeOpen(int slot)
{
    Ports->State[slot] = SLOT_OPEN;
    return uintptr_t(slot);
}

class HandOver : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved = Platform;
        ports = new FakePorts();
        for (int i = 0; i <= SLOTS; i++) {
            ports->State[i] = SLOT_UNUSED;
            ports->Closes[i] = 0;
        }
        ports->Reads = 0;
        ports->ReadsThroughClosed = 0;
        ports->ClosesOfUnopened = 0;
        Ports = ports;
        Platform.ReadModemStatus = FakeReadModemStatus;
        Platform.ClosePort = FakeClosePort;
        // The product gives up the processor while it waits, as here.
        Platform.YieldThread = [] { std::this_thread::yield(); };
        ResetSettings();
        PortAddress = 1;  // a serial port: the tick reads through the handle
    }
    void TearDown() override
    {
        ResetSettings();
        Platform = saved;
        Ports = nullptr;
        delete ports;
    }
    PlatformOps saved;
    FakePorts* ports = nullptr;
};

// Switches between open handles, now and then through "no handle" (an I/O
// port or a port that failed to open), while the tick keeps reading.
TEST_F(HandOver, NoReadThroughAClosedHandle)
{
    ReplacePortHandle(FakeOpen(1));
    std::atomic<bool> stop{false};
    std::atomic<long> ticks{0};
    std::thread tick([&] {
        long n = 0;
        while (!stop.load()) {
            ReadSharedInput();
            n++;
            // The real tick comes every 20 ms; here it comes as soon as the
            // other side has had a chance to run, or at once now and then.
            if (n % 8 != 0)
                std::this_thread::yield();
        }
        ticks = n;
    });

    std::vector<int> replaced;  // slots handed over, in order
    replaced.push_back(1);
    for (int slot = 2; slot <= SWITCHES; slot++) {
        if (slot % 97 == 0) {
            ReplacePortHandle(INVALID_PORT_HANDLE);
            ReplacePortHandle(INVALID_PORT_HANDLE);  // invalid to invalid closes nothing
        }
        ReplacePortHandle(FakeOpen(slot));
        if (slot % 101 == 0)
            ReplacePortHandle(PortHandle.load());  // the same handle again stays open
        replaced.push_back(slot);
        // Wait a little, now and then, until the tick has read the new handle.
        if (slot % 64 == 0) {
            long before = ports->Reads.load();
            while (ports->Reads.load() == before)
                std::this_thread::yield();
        }
    }
    ReplacePortHandle(INVALID_PORT_HANDLE);
    stop = true;
    tick.join();

    EXPECT_EQ(ports->ReadsThroughClosed.load(), 0);
    EXPECT_EQ(ports->ClosesOfUnopened.load(), 0);
    EXPECT_GT(ticks.load(), 0);
    EXPECT_GT(ports->Reads.load(), 0);
    for (int slot : replaced) {
        ASSERT_EQ(ports->Closes[slot].load(), 1) << "slot " << slot;
        ASSERT_EQ(ports->State[slot].load(), SLOT_CLOSED) << "slot " << slot;
    }
    EXPECT_EQ(PortHandle.load(), INVALID_PORT_HANDLE);
}

// The same through the byte that reaches the decoder: reads of open handles
// give the fake's line byte, reads with no handle give the failed-read byte.
TEST_F(HandOver, TickSeesOnlyLineOrFailedReadBytes)
{
    std::atomic<bool> stop{false};
    std::atomic<long> bad{0};
    std::thread tick([&] {
        while (!stop.load()) {
            uint8_t input = ReadSharedInput();
            if (input != 0x80 && input != FAILED_READ_BYTE)
                bad++;
            std::this_thread::yield();
        }
    });
    for (int slot = 1; slot <= 1000; slot++) {
        ReplacePortHandle(slot % 3 == 0 ? INVALID_PORT_HANDLE : FakeOpen(slot));
        std::this_thread::yield();
    }
    ReplacePortHandle(INVALID_PORT_HANDLE);
    stop = true;
    tick.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(ports->ReadsThroughClosed.load(), 0);
    EXPECT_EQ(ports->ClosesOfUnopened.load(), 0);
    for (int slot = 1; slot <= 1000; slot++)
        if (slot % 3 != 0)
            ASSERT_EQ(ports->Closes[slot].load(), 1) << "slot " << slot;
}

}  // namespace
