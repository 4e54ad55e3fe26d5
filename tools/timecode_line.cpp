// One WM_TIMECODE message as a line of text: shared by varnel-replay and
// varnel-monitor.
#include "timecode_line.h"

#include <cstdio>

#include "reception/reception.h"

const char TIMECODE_LINE_HEADER[] = "# sample wparam lparam  yy-mm-dd dow hh:mm  status";

static const char* const DayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

static const struct {
    StatusFlags flag;
    const char* name;
} FlagNames[] = {
    {ST_TIME_VALID, "TIME_VALID"},           {ST_SUMMER_TIME, "SUMMER_TIME"},
    {ST_NEVER_CONFIRMED, "NEVER_CONFIRMED"}, {ST_UNCONFIRMED_LONG, "UNCONFIRMED_LONG"},
    {ST_NO_PULSE, "NO_PULSE"},               {ST_UNCONFIRMED_2MIN, "UNCONFIRMED_2MIN"},
    {ST_SECOND_IRREGULAR, "SECOND_IRREGULAR"},
};

size_t FormatTimeCodeLine(char* out, size_t size, uint64_t sample, uint32_t wParam,
                          uint32_t lParam)
{
    if (size == 0)
        return 0;
    const TimeFields f = UnpackTimeCode(wParam, lParam);
    const StatusFlags status = UnpackStatus(lParam);
    int used = std::snprintf(out, size, "%llu %08X %08X  %02u-%02u-%02u %s %02u:%02u ",
                             (unsigned long long)sample, unsigned(wParam), unsigned(lParam),
                             f.Year, f.Month, f.Day,
                             f.DayOfWeek < 7 ? DayNames[f.DayOfWeek] : "???", f.Hour, f.Minute);
    const char* separator = " ";
    for (const auto& flag : FlagNames) {
        if (used < 0 || size_t(used) >= size)
            break;
        if (status & flag.flag) {
            used += std::snprintf(out + used, size - size_t(used), "%s%s", separator, flag.name);
            separator = "|";
        }
    }
    if (used < 0)
        return 0;
    return size_t(used) < size ? size_t(used) : size - 1;
}
