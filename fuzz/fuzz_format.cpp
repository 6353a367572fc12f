// Fuzz target: double to "%le" text, checked byte for byte against snprintf.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "format_le.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 8)
        return 0;
    double v;
    std::memcpy(&v, data, 8);
    char want[64], got[64];
    const int n = std::snprintf(want, sizeof want, "%le", v);
    char *end = gmm::format_le(got, v);
    if (end - got != n || std::memcmp(want, got, static_cast<std::size_t>(n)) != 0)
        std::abort();
    return 0;
}
