// Line-by-line reading of model and list files.
//
// Every line is taken the way a 10,000-byte line buffer takes it: one read
// holds at most 9,999 bytes and stops after the first newline.  A line of up
// to 9,998 characters plus its newline therefore arrives whole; a longer one
// arrives as several consecutive pieces, and each piece counts as one line
// for every line position in the file.
//
// The reader pulls the file in large chunks and hands out lines in place, so
// reading costs one scan for the newline per line and no copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace gmm {

// Longest piece of text one read takes: 9,998 characters and a newline.
constexpr std::size_t max_line_bytes = 9999;

// Size of the chunk a caller hands to start_lines(); it must hold
// chunk_bytes + 1 bytes (the extra byte lets a line be terminated in place).
// 64 KiB: a chunk the kernel has just copied is still in the processor's
// second-level cache when its lines are read (256 KiB was 5 to 8% slower
// on kelvane's run, 32 KiB no faster).
constexpr std::size_t chunk_bytes = std::size_t{1} << 16;

// The storage a chunk takes.
constexpr std::size_t chunk_storage = chunk_bytes + 1;

struct line_reader {
    std::FILE *stream;
    char *chunk;        // chunk_storage bytes, owned by the caller
    std::size_t pos;    // first unread byte in chunk
    std::size_t fill;   // end of the bytes read into chunk
    std::int64_t count; // lines handed out so far
    bool at_eof;        // the stream has nothing more to give
    bool failed;        // a read failed: the lines before it are still
                        // handed out, then the error is reported
    int error_number;   // the failed read's errno
    std::int64_t at;    // reading a shared file at its own place (pread),
                        // from this offset on; -1 reading the stream on
};

// One line as it lies in the chunk: [begin, end), the newline included when
// there is one.  `cut` is set when the piece filled a whole read without
// reaching a newline (a line longer than 9,998 characters).
struct text_line {
    char *begin;
    char *end;
    bool cut;
};

enum class line_status { ok, end, error };

// A byte that no text holds, as a binary model definition does: a control
// character other than white space (the space, tab, newline, vertical tab,
// form feed and carriage return).
constexpr bool binary_byte(unsigned char c) { return (c < 0x20 && !(c >= '\t' && c <= '\r')) || c == 0x7f; }

// Starts reading `stream` from where it stands, using `chunk` as storage.
void start_lines(line_reader *r, std::FILE *stream, char *chunk);

// Starts reading `stream` at byte `offset` without moving it: each read
// says its place, so that readers in several threads may share one file.
void start_lines_at(line_reader *r, std::FILE *stream, char *chunk, std::int64_t offset);

// Starts again from the start of the stream, with the same chunk.  False
// when the stream cannot be read again from its start (a pipe).
bool restart_lines(line_reader *r);

namespace detail {

// Hands out [begin, end) of the chunk as the next line.
inline void hand_out(line_reader *r, text_line *out, char *begin, char *end, bool cut)
{
    out->begin = begin;
    out->end = end;
    out->cut = cut;
    r->pos += static_cast<std::size_t>(end - begin);
    r->count++;
}

// next_line where the chunk holds no whole line: cut pieces, the last line
// without a newline, refilling and the end of the file.
line_status next_line_refilling(line_reader *r, text_line *out);

} // namespace detail

// Takes the next line.  `end` when the file has no more lines, `error` when
// the stream failed for another reason (a directory, an I/O error).  A read
// that fails after a short one (a bad sector) loses nothing: every whole
// line before the fault is handed out first, and `error` comes where the
// fault cuts a line, and from then on.  A whole line already in the chunk
// is taken here, without a call.
inline line_status next_line(line_reader *r, text_line *out)
{
    const std::size_t avail = r->fill - r->pos;
    char *begin = r->chunk + r->pos;
    char *nl = static_cast<char *>(std::memchr(begin, '\n', avail < max_line_bytes ? avail : max_line_bytes));
    if (nl == nullptr)
        return detail::next_line_refilling(r, out);
    detail::hand_out(r, out, begin, nl + 1, false);
    return line_status::ok;
}

} // namespace gmm
