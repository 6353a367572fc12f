#include "parse_number.h"

#include <cstdlib>
#include <cstring>

#include "line_reader.h"

namespace gmm {

// A token never holds more than one line's bytes, so a copy of it with its
// terminator fits here.
static void copy_token(char *dst, const char *s, std::size_t n)
{
    if (n > max_line_bytes)
        n = max_line_bytes;
    std::memcpy(dst, s, n);
    dst[n] = '\0';
}

double parse_double(const char *s, std::size_t n)
{
    char token[max_line_bytes + 1];
    copy_token(token, s, n);
    return std::strtod(token, nullptr);
}

std::int32_t parse_int32(const char *s, std::size_t n)
{
    char token[max_line_bytes + 1];
    copy_token(token, s, n);
    long v = std::strtol(token, nullptr, 10);
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<unsigned long>(v)));
}

} // namespace gmm
