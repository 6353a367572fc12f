#include "format_le.h"

#include <cstdio>

namespace gmm {

char *format_le(char *out, double v)
{
    char text[32];
    int n = std::snprintf(text, sizeof text, "%le", v);
    for (int i = 0; i < n; ++i)
        out[i] = text[i];
    return out + n;
}

} // namespace gmm
