// libFuzzer target for the Properties dialog's port field: ScanPortHex and
// ParsePortField against a plain reference reading (at most four characters
// copied into a five-byte buffer, then the C library's sscanf "%x").
// The text lives in a heap block of exactly its length plus the zero, so a
// read past the end of the text is caught by AddressSanitizer.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/port_field.h"

static void Check(bool ok, const char* what, const char* text)
{
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s (text \"%s\")\n", what, text);
        std::abort();
    }
}

// The reading as the dialog's original description gives it, spelled out
// with the library instead of by hand.
static bool ReferenceScan(const char* text, uint32_t* value)
{
    char buffer[PORT_FIELD_CHARS + 1] = {};
    std::strncpy(buffer, text, PORT_FIELD_CHARS);
    unsigned int v = 0;
    if (std::sscanf(buffer, "%x", &v) != 1)
        return false;
    *value = uint32_t(v);
    return true;
}

static uint32_t ReferenceParse(int32_t selected, const char* text)
{
    if (selected >= 0 && selected <= 8)
        return uint32_t(selected) + 1;  // COM1..COM9
    uint32_t value = 0;
    if (ReferenceScan(text, &value))
        return value;
    return uint32_t(selected + 1);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    // First byte: the list selection, -4..251 so that "nothing selected" (-1),
    // the serial items, the address items and indices past the list all occur.
    const int32_t selected = int32_t(data[0]) - 4;
    // The rest up to the first zero is the edit text.
    const uint8_t* rest = data + 1;
    size_t length = 0;
    while (length < size - 1 && rest[length] != 0)
        ++length;
    char* text = static_cast<char*>(std::malloc(length + 1));
    std::memcpy(text, rest, length);
    text[length] = '\0';

    uint32_t got = 0xDEADBEEF;
    uint32_t want = 0xDEADBEEF;
    const bool found = ScanPortHex(text, &got);
    const bool wantFound = ReferenceScan(text, &want);
    Check(found == wantFound, "ScanPortHex finds a number where sscanf does not, or the reverse",
          text);
    Check(got == want, found ? "ScanPortHex value differs from sscanf" : "value written on failure",
          text);
    Check(ParsePortField(selected, text) == ReferenceParse(selected, text),
          "ParsePortField differs from the reference", text);

    std::free(text);
    return 0;
}
