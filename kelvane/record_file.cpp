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
        return {.kind = fault_kind::open, .error_number = errno, .message = open_error(f->path)};
    f->stream = fdopen(fd, "wb");
    if (f->stream == nullptr) {
        const int error = errno;
        close(fd);
        return {.kind = fault_kind::open, .error_number = error, .message = open_error(f->path)};
    }
    std::setvbuf(f->stream, f->buffer, _IOFBF, f->buffer_bytes);
    return {};
}

std::string npy_header(std::int64_t rows, std::size_t values, bool singles)
{
    std::string dict = std::string("{'descr': '<f") + (singles ? "4" : "8") + "', 'fortran_order': False, 'shape': (" +
                       std::to_string(rows) + ", " + std::to_string(values) + "), }";
    // numpy pads to the next multiple of 64, a whole 64 where it is one already.
    const std::size_t prefix = 10, padding = 64 - (prefix + dict.size() + 1) % 64;
    dict.append(padding, ' ');
    dict += '\n';
    std::string header("\x93NUMPY\x01\x00", 8);
    header += static_cast<char>(dict.size() & 0xff);
    header += static_cast<char>(dict.size() >> 8);
    return header + dict;
}

static run_fault truncate_old(void *to)
{
    record_file *f = static_cast<record_file *>(to);
    struct stat st;
    const int fd = fileno(f->stream);
    if (fstat(fd, &st) != 0 || (S_ISREG(st.st_mode) && ftruncate(fd, 0) != 0))
        return {.kind = fault_kind::open, .error_number = errno, .message = open_error(f->path)};
    if (f->npy_rows >= 0) {
        const std::string header = npy_header(f->npy_rows, f->values, f->singles != nullptr);
        if (std::fwrite(header.data(), 1, header.size(), f->stream) != header.size())
            return {.kind = fault_kind::write, .error_number = errno, .message = write_error(f->path)};
    }
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
    const char *bytes = reinterpret_cast<const char *>(record);
    std::size_t size = f->values * sizeof(double);
    if (f->singles != nullptr) {
        round_to_float32(record, f->values, f->singles);
        bytes = reinterpret_cast<const char *>(f->singles);
        size = f->values * sizeof(float);
    }
    // A record of 64 KiB or more goes straight from its slot to the
    // file, after what the buffer holds, instead of being copied through
    // it; smaller ones are gathered into the buffer's larger writes.
    const bool written = size >= direct_bytes
                             ? std::fflush(f->stream) == 0 && write_all(fileno(f->stream), bytes, size)
                             : std::fwrite(bytes, 1, size, f->stream) == size;
    if (!written)
        return {.kind = fault_kind::write, .error_number = errno, .message = write_error(f->path)};
    if (f->progress != nullptr)
        count_model(f->progress);
    return {};
}

record_sink file_sink(record_file *f) { return {truncate_old, append_record, f}; }

} // namespace gmm
