#include "format_le.h"

#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>

namespace gmm {

// Beyond the common case, std::to_chars in scientific form with precision 6
// rounds exactly as the C library does and writes the same shape.  Only the
// NaNs differ: the C library writes "nan" or "-nan" by the sign bit alone,
// whatever the payload.
char *detail::format_le_rest(char *out, double v)
{
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(v);
    if (v != v) {
        const char *text = bits >> 63 ? "-nan" : "nan";
        const std::size_t n = std::strlen(text);
        std::memcpy(out, text, n);
        return out + n;
    }
    return std::to_chars(out, out + max_le_chars, v, std::chars_format::scientific, 6).ptr;
}

} // namespace gmm
