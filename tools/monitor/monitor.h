// varnel-monitor's portable part: what it observes of the decoder after each
// sample, its reports (seconds, minutes, messages, minute summaries), the
// verdict, the texts of its lines and recordings, its options, and the
// lock-free hand-over from the timer thread to the main thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "reception/clock_guard.h"
#include "reception/reception.h"

constexpr uint32_t SAMPLES_PER_SECOND = 50;  // 20 ms samples

// A second's number before the first recognised minute marker.
constexpr uint16_t NUMBER_UNKNOWN = 0xFFFF;
// Numbers stop here when markers go missing for a long time.
constexpr uint16_t NUMBER_MAX = 999;
// An A or B bit the decoder did not sample in that second.
constexpr uint8_t BIT_NOT_SAMPLED = 2;
// Carrier-off runs kept per second; more are only flagged.
constexpr uint32_t MAX_RUNS = 6;

// A minute summary is made at each recognised minute marker, or when none
// has come for this long: 62 s, or 122 s for the first one, since a start in
// seconds 53 to 59 cannot see the whole minute identifier before the first
// marker.
constexpr uint32_t WINDOW_SAMPLES = 62 * SAMPLES_PER_SECOND;
constexpr uint32_t FIRST_WINDOW_SAMPLES = 122 * SAMPLES_PER_SECOND;

// A second is regular when it lasts 48 to 52 samples (960 to 1040 ms), the
// decoder's own rule.
constexpr uint32_t REGULAR_MIN_TICKS = 48;
constexpr uint32_t REGULAR_MAX_TICKS = 52;
// A minute is judged good with at most this many irregular seconds (one noise
// pulse costs two) and, when it is a whole minute, at least this many regular.
constexpr uint16_t GOOD_MAX_IRREGULAR = 2;
constexpr uint16_t GOOD_MIN_REGULAR = 57;

enum ReportKind : uint8_t {
    REPORT_SECOND,   // a second ended (at the start of the next)
    REPORT_SILENCE,  // another whole second without a second start
    REPORT_MINUTE,   // a minute marker was recognised
    REPORT_MESSAGE,  // the sampling step posted WM_TIMECODE
    REPORT_SUMMARY,  // a minute (or the part before the first marker) ended
};

struct SecondReport {
    uint16_t Number;       // seconds since the last recognised marker (0: the
                           // marker's own second), or NUMBER_UNKNOWN
    uint32_t LengthTicks;  // samples from this second's start to the next one's
    uint8_t A, B;          // the bits the decoder sampled, or BIT_NOT_SAMPLED
    uint8_t RunCount;      // carrier-off runs kept in Runs
    bool MoreRuns;         // there were more than MAX_RUNS
    uint32_t Runs[MAX_RUNS];  // their lengths in samples, in order
};

// What the decoder did with a recognised minute.
enum MinuteOutcome : uint8_t {
    MINUTE_CONFIRMED,     // matched the prediction: Varnel sets the clock
    MINUTE_PARITY_ERROR,  // a parity group failed
    MINUTE_IMPOSSIBLE,    // parity-clean, but a field is out of range
    MINUTE_FIRST,         // the first clean minute: nothing to compare with yet
    MINUTE_MISMATCH,      // clean, but not the minute predicted
    MINUTE_PARTIAL,       // a parity group failed that holds bits sent before
                          // the monitor started
};

// The first second (17 to 59) whose bits the decoder received in a minute the
// monitor started in; 0: all of them.
constexpr uint8_t ALL_RECEIVED = 0;
// The first A bit of each parity group, in PARITY_* order.
constexpr uint8_t PARITY_GROUP_FIRST_SECOND[4] = {17, 25, 36, 39};

struct MinuteReport {
    TimeFields Fields;     // as decoded (in UTC mode converted to UTC)
    TimeFields Expected;   // the prediction it missed (MINUTE_MISMATCH)
    uint8_t ParityPassed;  // PARITY_* groups that passed
    bool Summer;           // B58: BST in force
    bool UtcMode;          // Varnel keeps the clock in UTC
    MinuteOutcome Outcome;
    uint8_t FirstReceived; // seconds 1 to FirstReceived - 1 were sent before the
                           // monitor started, or ALL_RECEIVED
    GuardJudgement Guard;  // MINUTE_CONFIRMED: what Varnel's clock guard would do
    int64_t ClockOffsetMs; // and the clock's reading minus the minute then
};

// One minute's statistics, the verdict's input.
struct SummaryReport {
    uint16_t Seconds;    // seconds that ended in this minute and count
    uint16_t Regular;    // of them, regular
    uint16_t Irregular;  // of them, irregular
    bool FirstWindow;    // the part of a minute since the monitor started
    bool MarkerSeen;     // it ended at a recognised minute marker
    bool DecodeClean;    // that minute passed parity with possible fields
    bool Confirmed;      // and was confirmed
    bool Inverted;       // the line idles at level 0 (the carrier-on level is 0)
    bool Learned;        // the decoder learned the line's polarity anew in it;
                         // seconds before that do not count
    bool NoPulse;        // no second start for the last 5.12 s
};

struct MonitorReport {
    uint64_t Sample;  // 1-based index of the sample it was made at
    ReportKind Kind;
    SecondReport Second;     // REPORT_SECOND
    uint16_t SilentSeconds;  // REPORT_SILENCE: seconds since the last second start
    MinuteReport Minute;     // REPORT_MINUTE
    uint32_t WParam, LParam; // REPORT_MESSAGE
    SummaryReport Summary;   // REPORT_SUMMARY
};

// ---- Timer thread ------------------------------------------------------------

// What the monitor keeps between samples; touched by the timer thread only.
struct ObserverRecord {
    uint64_t Sample;         // samples so far
    uint8_t PreviousTick;    // TickCount after the previous sample
    uint8_t PreviousLevel;   // LevelCounter after the previous sample
    bool SecondOpen;         // a second start has been seen
    bool SecondTainted;      // this second began before the polarity was learned
    uint32_t TicksInSecond;  // samples since the last second start
    SecondReport Current;    // the second in progress
    uint32_t RunIndex;       // index of the current carrier-off run
    bool InRun;              // the last sample was carrier off
    bool Posted;             // this sample's step posted a message
    uint32_t PostedWParam, PostedLParam;
    bool HaveExpected;       // a clean minute has started the prediction
    TimeFields Expected;     // the minute predicted for the next marker
    bool LastDecodeClean;    // of the last recognised minute
    bool LastConfirmed;
    uint8_t ABits;           // A bits sampled after the first second start (and
                             // since the polarity was last learned), up to 60,
                             // until the first marker
    bool MarkerEverSeen;     // a minute marker has been recognised
    ClockGuardRecord Guard;  // the monitor's own clock guard, judging as Varnel's
    uint64_t WindowStart;    // sample at which the current minute began
    bool FirstWindow;
    bool Learned;
    uint16_t Seconds, Regular, Irregular;
};
extern ObserverRecord Observer;

// Platform.PostTimeCode for the monitor: keeps the message for MonitorStep.
void CapturePost(uintptr_t window, uint32_t wParam, uint32_t lParam);

// One sample: the decoder step on bit (the same step Varnel's timer runs),
// then what it showed, as reports and the recorded bit. No allocation, no
// blocking, no output.
void MonitorStep(uint8_t bit);

// Back to the state at program start: decoder, second tracking, observer and
// both queues.
void ResetMonitor();

// ---- Hand-over to the main thread --------------------------------------------

// Single producer (timer thread), single consumer (main thread). A full queue
// drops what does not fit and counts it; the producer never waits.
constexpr uint32_t REPORT_QUEUE_SIZE = 4096;         // about 25 minutes of reports
constexpr uint32_t SAMPLE_QUEUE_SIZE = 1u << 18;     // about 87 minutes of samples

struct ReportQueue {
    MonitorReport Items[REPORT_QUEUE_SIZE];
    std::atomic<uint32_t> Written;
    std::atomic<uint32_t> Read;
    std::atomic<uint32_t> Lost;
};
struct SampleQueue {
    uint8_t Items[SAMPLE_QUEUE_SIZE];
    std::atomic<uint32_t> Written;
    std::atomic<uint32_t> Read;
    std::atomic<uint32_t> Lost;
};
static_assert(std::atomic<uint32_t>::is_always_lock_free, "lock-free queues");
extern ReportQueue Reports;
extern SampleQueue Samples;

bool PushReport(const MonitorReport& report);
bool PopReport(MonitorReport* report);
bool PushSample(uint8_t bit);
// Up to max samples (as 0 or 1) into out; returns how many.
uint32_t PopSamples(uint8_t* out, uint32_t max);

// ---- Judging and texts (main thread) -----------------------------------------

enum Verdict : uint8_t { VERDICT_GOOD, VERDICT_NOISY, VERDICT_NO_PULSES, VERDICT_INVERTED };
Verdict JudgeMinute(const SummaryReport& summary);
const char* VerdictText(Verdict verdict);

// How a part of a line may be coloured where the console can.
enum LineTone : uint8_t { TONE_PLAIN, TONE_GOOD, TONE_WARN, TONE_BAD };

// A report as text: one or more lines, each ending in '\n'. Text[MarkFrom,
// MarkTo) is the part to show in Tone (empty when TONE_PLAIN).
constexpr size_t REPORT_TEXT_SIZE = 400;
struct ReportText {
    char Text[REPORT_TEXT_SIZE];
    size_t Length;
    size_t MarkFrom, MarkTo;
    LineTone Tone;
};
void FormatReport(const MonitorReport& report, ReportText* out);

// "I/O port 0x201 bit 7" or "COM3 bit 7 (DCD)".
void FormatInput(uint32_t port, uint8_t bit, char* out, size_t size);

// Windows' error codes for a failed open that the monitor explains.
constexpr uint32_t OPEN_ERROR_FILE_NOT_FOUND = 2;
constexpr uint32_t OPEN_ERROR_ACCESS_DENIED = 5;
constexpr uint32_t OPEN_ERROR_SHARING_VIOLATION = 32;
// What to tell the user when COM<port> would not open with error.
void DescribeOpenFailure(uint32_t port, uint32_t error, char* out, size_t size);

// A UTC instant for the recording's header.
struct UtcStamp {
    uint16_t Year, Month, Day, Hour, Minute, Second, Milliseconds;
};
// The recording's header: '#' lines (program version, start time, input,
// clock mode) and the clock-mode marker varnel-replay reads (U or L).
void FormatRecordingHeader(const UtcStamp& start, uint32_t port, uint8_t bit, uint8_t utcFlag,
                           char* out, size_t size);
// The recording's last line: how many samples it holds and why it ended.
void FormatRecordingTrailer(uint64_t samples, bool byDuration, char* out, size_t size);

// ---- Options -----------------------------------------------------------------

struct MonitorOptions {
    bool Help;
    bool HavePort;
    uint32_t Port;             // as PortAddress: 1..9 COM1..COM9, 10 and above I/O
    bool HaveBit;
    uint8_t Bit;
    const char* RecordPath;    // null: no recording
    uint64_t DurationSamples;  // 0: until Ctrl-C
};
// Reads argv[1..argc-1]; false with a one-line reason in error.
bool ParseMonitorOptions(int argc, const char* const* argv, MonitorOptions* options, char* error,
                         size_t size);
// "COM3", "com3:", "201", "0x378": true with the port value.
bool ParsePortOption(const char* text, uint32_t* port);
// "90", "90s", "3m", "2h": true with the number of samples (at least one).
bool ParseDurationOption(const char* text, uint64_t* samples);

extern const char MONITOR_HELP[];
