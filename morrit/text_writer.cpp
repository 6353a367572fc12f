#include "text_writer.h"

#include <cstdio>
#include <cstring>


namespace gmm {

namespace {

// Text is gathered here and handed to the stream in large pieces.
constexpr int text_bytes = 1 << 16;

struct text_out {
    std::FILE *f;
    char buf[text_bytes];
    int used;
    bool failed;
};

void drain(text_out *t)
{
    if (t->used > 0 && !t->failed &&
        std::fwrite(t->buf, 1, static_cast<std::size_t>(t->used), t->f) != static_cast<std::size_t>(t->used))
        t->failed = true;
    t->used = 0;
}

// Appends one value and the character after it (a space, a newline, or
// nothing when `after` is 0).  The text is copied whole, all 16 bytes, and
// only its own characters kept.
void put(text_out *t, const le_text &v, char after)
{
    if (t->used > text_bytes - static_cast<int>(sizeof v) - 1)
        drain(t);
    char *end = t->buf + t->used;
    std::memcpy(end, &v, sizeof v);
    end += v.size;
    *end = after;
    t->used = static_cast<int>(end - t->buf) + (after != 0);
}

write_status finish(text_out *t)
{
    drain(t);
    bool closed = std::fclose(t->f) == 0;
    return t->failed || !closed ? write_status::write_failed : write_status::ok;
}

// One output at a time: the writers run one after another.
text_out out;

bool begin(const char *path)
{
    out.f = std::fopen(path, "w");
    out.used = 0;
    out.failed = false;
    return out.f != nullptr;
}

} // namespace

write_status write_array(le_text *const *rows, std::int32_t M, std::int32_t D, const char *path)
{
    if (!begin(path))
        return write_status::open_failed;
    for (std::int32_t c = 0; c < D; ++c) {
        // The line's values, each followed by a space, as many at a time as
        // surely fit (a value and its space take at most 16 bytes); the
        // last space becomes the newline, or goes at the end of the file.
        for (std::int32_t r = 0; r < M;) {
            if (out.used > text_bytes - 2 * static_cast<int>(sizeof(le_text)))
                drain(&out);
            const std::int32_t room = (text_bytes - out.used) / static_cast<int>(sizeof(le_text)) - 1;
            const std::int32_t stop = M - r < room ? M : r + room;
            char *end = out.buf + out.used;
            auto put = [&](const le_text &v) {
                std::memcpy(end, &v, sizeof v);
                end += v.size;
                *end++ = ' ';
            };
            for (; r + 1 < stop; r += 2) { // two at a time: a line is long
                put(rows[r][c]);
                put(rows[r + 1][c]);
            }
            if (r < stop)
                put(rows[r++][c]);
            out.used = static_cast<int>(end - out.buf);
        }
        if (c + 1 < D)
            out.buf[out.used - 1] = '\n';
        else
            --out.used;
    }
    return finish(&out);
}

write_status write_vector(const le_text *values, std::int32_t n, const char *path)
{
    if (!begin(path))
        return write_status::open_failed;
    for (std::int32_t i = 0; i < n; ++i)
        put(&out, values[i], i + 1 < n ? ' ' : 0);
    return finish(&out);
}

} // namespace gmm
