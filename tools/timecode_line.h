// The text of one WM_TIMECODE message as varnel-replay and varnel-monitor print
// it, so that what the monitor saw live and what a replay of its recording
// gives can be compared line for line.
#pragma once

#include <cstddef>
#include <cstdint>

// The header line printed before the first message.
extern const char TIMECODE_LINE_HEADER[];

// "N WPARAM LPARAM  yy-mm-dd dow hh:mm  FLAGS" (no line end) into out, size
// bytes, always terminated; N is the 1-based index of the sample whose tick
// posted the message. Returns the length written.
size_t FormatTimeCodeLine(char* out, size_t size, uint64_t sample, uint32_t wParam,
                          uint32_t lParam);
