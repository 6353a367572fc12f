#include "record_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "messages.h"

namespace gmm {

run_fault open_record_file(record_file *f)
{
    const int fd = open(f->path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return {fault_kind::open, errno, 0, -1, open_error(f->path)};
    f->stream = fdopen(fd, "wb");
    if (f->stream == nullptr) {
        const int error = errno;
        close(fd);
        return {fault_kind::open, error, 0, -1, open_error(f->path)};
    }
    std::setvbuf(f->stream, f->buffer, _IOFBF, f->buffer_bytes);
    return {};
}

static run_fault truncate_old(void *to)
{
    record_file *f = static_cast<record_file *>(to);
    struct stat st;
    const int fd = fileno(f->stream);
    if (fstat(fd, &st) != 0 || (S_ISREG(st.st_mode) && ftruncate(fd, 0) != 0))
        return {fault_kind::open, errno, 0, -1, open_error(f->path)};
    return {};
}

// Writes all of [p, p + n) to the file descriptor.
static bool write_all(int fd, const char *p, std::size_t n)
{
    while (n > 0) {
        const ssize_t done = write(fd, p, n);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return false;
        p += done;
        n -= static_cast<std::size_t>(done);
    }
    return true;
}

// Records this large are written without the buffer.
constexpr std::size_t direct_bytes = std::size_t{1} << 16;

static run_fault append_record(void *to, std::int64_t, const double *record)
{
    record_file *f = static_cast<record_file *>(to);
    // A record of 64 KiB or more goes straight from its slot to the
    // file, after what the buffer holds, instead of being copied through
    // it; smaller ones are gathered into the buffer's larger writes.
    const std::size_t bytes = f->values * sizeof(double);
    const bool written = bytes >= direct_bytes
                             ? std::fflush(f->stream) == 0 &&
                                   write_all(fileno(f->stream), reinterpret_cast<const char *>(record), bytes)
                             : std::fwrite(record, sizeof(double), f->values, f->stream) == f->values;
    if (!written)
        return {fault_kind::write, errno, 0, -1, write_error(f->path)};
    if (f->progress != nullptr)
        count_model(f->progress);
    return {};
}

record_sink file_sink(record_file *f) { return {truncate_old, append_record, f}; }

} // namespace gmm
