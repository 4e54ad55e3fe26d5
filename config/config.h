// The three settings and the serial handle that the UI thread and the sampling
// tick share without locks. The tick reads them, and the hand-over replaces the
// handle, in reception/input.cpp; nothing here calls into reception/.
#pragma once

#include <atomic>
#include <cstdint>

// Not-open handles hold all bits set, like the system's invalid handle value.
constexpr uintptr_t INVALID_PORT_HANDLE = ~uintptr_t(0);

constexpr uint32_t DEFAULT_PORT_ADDRESS = 0x201;  // game port
constexpr uint8_t DEFAULT_BIT_NUMBER = 7;
constexpr uint8_t DEFAULT_UTC_FLAG = 0;

// 1..9: COM1..COM9 read through the modem-status lines; 10 and above: an I/O
// port address read through Inp32.
extern std::atomic<uint32_t> PortAddress;
// Which bit (0..7) of the input byte carries the receiver signal.
extern std::atomic<uint8_t> BitNumber;
// 0: the clock keeps UK civil time (GMT or BST); 1: it keeps UTC.
extern std::atomic<uint8_t> UTCFlag;
// The serial handle the sampling tick reads through, or INVALID_PORT_HANDLE.
extern std::atomic<uintptr_t> PortHandle;

static_assert(std::atomic<uint32_t>::is_always_lock_free, "lock-free settings");
static_assert(std::atomic<uint8_t>::is_always_lock_free, "lock-free settings");
static_assert(std::atomic<uintptr_t>::is_always_lock_free, "lock-free handle");

inline bool IsSerialPort(uint32_t port) { return port >= 1 && port <= 9; }

// Settings back to their defaults and no handle (tools and tests).
void ResetSettings();
