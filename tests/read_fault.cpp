// A read that fails at a chosen byte of a chosen file, as a disk fails at a
// bad sector: loaded into a program under test with LD_PRELOAD, it makes
// every read of READ_FAULT_FILE that would cross byte READ_FAULT_AT return
// the bytes before it, and a read that starts there fail with EIO.  With
// READ_FAULT_ONCE set, only the first read that starts there fails, as a
// disk or a network file system fails for a moment: a reader that read on
// after a failure would then see the whole file.
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>

extern "C" ssize_t read(int fd, void *to, size_t n)
{
    using read_fn = ssize_t (*)(int, void *, size_t);
    static const read_fn real = reinterpret_cast<read_fn>(dlsym(RTLD_NEXT, "read"));
    const char *file = std::getenv("READ_FAULT_FILE");
    const char *at_text = std::getenv("READ_FAULT_AT");
    struct stat bad, st;
    if (file != nullptr && at_text != nullptr && stat(file, &bad) == 0 && fstat(fd, &st) == 0 &&
        st.st_dev == bad.st_dev && st.st_ino == bad.st_ino) {
        const off_t at = std::atoll(at_text), pos = lseek(fd, 0, SEEK_CUR);
        if (pos >= 0 && pos <= at && at - pos < static_cast<off_t>(n)) {
            static std::atomic<bool> failed{false};
            if (std::getenv("READ_FAULT_ONCE") != nullptr && failed.load())
                return real(fd, to, n);
            if (pos == at) {
                failed.store(true);
                errno = EIO;
                return -1;
            }
            n = static_cast<size_t>(at - pos);
        }
    }
    return real(fd, to, n);
}
