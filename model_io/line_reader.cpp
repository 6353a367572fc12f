#include "line_reader.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace gmm {

void start_lines(line_reader *r, std::FILE *stream, char *chunk)
{
    r->stream = stream;
    r->chunk = chunk;
    r->pos = 0;
    r->fill = 0;
    r->count = 0;
    r->at_eof = false;
    r->failed = false;
    r->error_number = 0;
    r->at = -1;
}

void start_lines_at(line_reader *r, std::FILE *stream, char *chunk, std::int64_t offset)
{
    start_lines(r, stream, chunk);
    r->at = offset;
}

bool restart_lines(line_reader *r)
{
    if (std::fseek(r->stream, 0, SEEK_SET) != 0)
        return false;
    start_lines(r, r->stream, r->chunk);
    return true;
}

// Reads up to n bytes: straight from the file where the stream has a file
// descriptor (stdio would split a read whose size is not a multiple of its
// block size in two, the second through its own buffer), otherwise through
// stdio; at the reader's own place where it has one.  The number of bytes,
// 0 at the end, or -1 for an error.
static long read_some(line_reader *r, char *to, std::size_t n)
{
    const int fd = fileno(r->stream);
    if (fd < 0) {
        const std::size_t got = std::fread(to, 1, n, r->stream);
        return got == 0 && std::ferror(r->stream) ? -1 : static_cast<long>(got);
    }
    for (;;) {
        const ssize_t got = r->at < 0 ? read(fd, to, n) : pread(fd, to, n, r->at);
        if (got > 0 && r->at >= 0)
            r->at += got;
        if (got >= 0 || errno != EINTR)
            return static_cast<long>(got);
    }
}

// Moves the unread bytes to the front of the chunk and reads more behind
// them.  A failing read marks the reader failed, and returns false when it
// gained no bytes: bytes already read in this call are kept for the lines
// they complete.
static bool refill(line_reader *r)
{
    if (r->failed)
        return false;
    std::size_t left = r->fill - r->pos;
    if (r->pos > 0 && left > 0)
        std::memmove(r->chunk, r->chunk + r->pos, left);
    r->pos = 0;
    r->fill = left;
    while (r->fill < chunk_bytes) {
        const long got = read_some(r, r->chunk + r->fill, chunk_bytes - r->fill);
        if (got < 0) {
            r->failed = true;
            r->error_number = errno;
            return r->fill > left;
        }
        r->fill += static_cast<std::size_t>(got);
        if (got == 0) {
            r->at_eof = true;
            break;
        }
        // A short read from a pipe or terminal is not the end; go on only
        // while the chunk still lacks a whole line.
        if (r->fill >= max_line_bytes)
            break;
    }
    return true;
}

namespace detail {

line_status next_line_refilling(line_reader *r, text_line *out)
{
    for (;;) {
        std::size_t avail = r->fill - r->pos;
        std::size_t span = avail < max_line_bytes ? avail : max_line_bytes;
        char *begin = r->chunk + r->pos;
        char *nl = static_cast<char *>(std::memchr(begin, '\n', span));
        if (nl != nullptr || span == max_line_bytes || (r->at_eof && avail > 0)) {
            hand_out(r, out, begin, nl != nullptr ? nl + 1 : begin + span, nl == nullptr && span == max_line_bytes);
            return line_status::ok;
        }
        if (r->at_eof)
            return line_status::end;
        if (!refill(r))
            return line_status::error;
    }
}

} // namespace detail

} // namespace gmm
