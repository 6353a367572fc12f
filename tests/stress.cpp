// Scheduling stress for a program under test, loaded with LD_PRELOAD: it
// makes threads meet in orders the scheduler rarely picks, and makes one
// chosen call fail, so that a threaded run can be held against a plain one.
//
//   STRESS_SEED=N    before each open, read, write, ftruncate, fflush, thread
//                    start and mutex lock or unlock, a yield or a short sleep
//                    drawn from N and the thread; every ftruncate waits
//                    20 ms, long enough for other threads to run meanwhile;
//                    one write to a file in four takes only its first byte.
//   STRESS_FAIL=CALL:ERRNO[:busy]
//                    every CALL fails with ERRNO (EIO, ENOMEM, EMFILE,
//                    EAGAIN).  CALL is ftruncate, pthread_create, open,
//                    which is every open and fopen of a file named *.gmm
//                    (with busy, only while another such file is open), or
//                    close, of such a file: it is closed, and the error is
//                    given, as where a network file system reports a write
//                    it could not make.
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>

namespace {

template <typename F> F real(const char *name) { return reinterpret_cast<F>(dlsym(RTLD_NEXT, name)); }

struct settings {
    bool jitter = false;
    unsigned long long seed = 0;
    std::string fail_call;
    int fail_errno = 0;
    bool fail_busy = false;
};

const settings &config()
{
    static const settings s = [] {
        settings c;
        if (const char *seed = std::getenv("STRESS_SEED")) {
            c.jitter = true;
            c.seed = std::strtoull(seed, nullptr, 10);
        }
        const std::string fail = std::getenv("STRESS_FAIL") != nullptr ? std::getenv("STRESS_FAIL") : "";
        const std::size_t colon = fail.find(':');
        c.fail_call = fail.substr(0, colon);
        for (const auto &[name, value] : {std::pair{"EIO", EIO}, {"ENOMEM", ENOMEM}, {"EMFILE", EMFILE}, {"EAGAIN", EAGAIN}})
            if (colon != std::string::npos && fail.compare(colon + 1, std::strlen(name), name) == 0)
                c.fail_errno = value;
        c.fail_busy = fail.ends_with(":busy");
        return c;
    }();
    return s;
}

std::atomic<unsigned> threads_seen{0};

// A yield or a sleep of up to a millisecond, now and then, drawn from the
// seed and the order in which threads first came here; returns the number
// drawn (0 without stress).
unsigned jitter()
{
    const settings &c = config();
    if (!c.jitter)
        return 0;
    thread_local unsigned long long state = 0;
    if (state == 0)
        state = (c.seed + 1) * 0x9e3779b97f4a7c15ULL ^ (threads_seen.fetch_add(1) + 1) * 0xbf58476d1ce4e5b9ULL;
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    const unsigned r = static_cast<unsigned>(state >> 32);
    if (r % 4 == 0) {
        sched_yield();
    } else if (r % 32 == 1) {
        const timespec pause = {0, static_cast<long>(50000 + (r >> 8) % 950000)};
        nanosleep(&pause, nullptr);
    }
    return r;
}

bool failing(const char *call) { return config().fail_errno != 0 && config().fail_call == call; }

// Descriptors of open model files (*.gmm), for "busy".
std::atomic<bool> model_fd[4096];
std::atomic<int> models_open{0};

bool is_model(const char *path)
{
    const std::size_t n = std::strlen(path);
    return n >= 4 && std::strcmp(path + n - 4, ".gmm") == 0;
}

// Whether an open of `path` is made to fail.
bool open_refused(const char *path)
{
    return failing("open") && is_model(path) && (!config().fail_busy || models_open.load() > 0);
}

void opened(const char *path, int fd)
{
    if (fd >= 0 && fd < 4096 && is_model(path) && !model_fd[fd].exchange(true))
        ++models_open;
}

// Whether fd was a model's.
bool closing(int fd)
{
    if (fd < 0 || fd >= 4096 || !model_fd[fd].exchange(false))
        return false;
    --models_open;
    return true;
}

// The status of a model's close, made to fail.
int closed(bool model, int status)
{
    if (status != 0 || !model || !failing("close"))
        return status;
    errno = config().fail_errno;
    return -1;
}

} // namespace

extern "C" {

} // extern "C"

namespace {

int open_as(int (*next)(const char *, int, ...), const char *path, int flags, mode_t mode)
{
    jitter();
    if (open_refused(path)) {
        errno = config().fail_errno;
        return -1;
    }
    const int fd = next(path, flags, mode);
    opened(path, fd);
    return fd;
}

} // namespace

extern "C" {

// open, and open64 as code built for 64-bit file offsets calls it.
int open(const char *path, int flags, ...)
{
    static const auto next = real<int (*)(const char *, int, ...)>("open");
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = (flags & O_CREAT) != 0 ? va_arg(ap, mode_t) : 0;
    va_end(ap);
    return open_as(next, path, flags, mode);
}

int open64(const char *path, int flags, ...)
{
    static const auto next = real<int (*)(const char *, int, ...)>("open64");
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = (flags & O_CREAT) != 0 ? va_arg(ap, mode_t) : 0;
    va_end(ap);
    return open_as(next, path, flags, mode);
}

FILE *fopen(const char *path, const char *mode)
{
    static const auto next = real<FILE *(*)(const char *, const char *)>("fopen");
    jitter();
    if (open_refused(path)) {
        errno = config().fail_errno;
        return nullptr;
    }
    FILE *f = next(path, mode);
    if (f != nullptr)
        opened(path, fileno(f));
    return f;
}

int close(int fd)
{
    static const auto next = real<int (*)(int)>("close");
    const bool model = closing(fd);
    return closed(model, next(fd));
}

int fclose(FILE *f)
{
    static const auto next = real<int (*)(FILE *)>("fclose");
    const bool model = closing(fileno(f));
    return closed(model, next(f));
}

ssize_t read(int fd, void *to, size_t n)
{
    static const auto next = real<ssize_t (*)(int, void *, size_t)>("read");
    jitter();
    return next(fd, to, n);
}

ssize_t write(int fd, const void *from, size_t n)
{
    static const auto next = real<ssize_t (*)(int, const void *, size_t)>("write");
    // A write to a file may take less than it is given, as at a full disk
    // or on a network file system: now and then it takes one byte.
    struct stat st;
    if (jitter() % 4 == 2 && n > 1 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
        n = 1;
    return next(fd, from, n);
}

int fflush(FILE *f)
{
    static const auto next = real<int (*)(FILE *)>("fflush");
    jitter();
    return next(f);
}

int ftruncate(int fd, off_t length)
{
    static const auto next = real<int (*)(int, off_t)>("ftruncate");
    if (config().jitter) {
        const timespec pause = {0, 20000000};
        nanosleep(&pause, nullptr);
    }
    if (failing("ftruncate")) {
        errno = config().fail_errno;
        return -1;
    }
    return next(fd, length);
}

int pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*start)(void *), void *arg)
{
    static const auto next = real<int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *)>("pthread_create");
    jitter();
    if (failing("pthread_create"))
        return config().fail_errno;
    const int r = next(thread, attr, start, arg);
    jitter();
    return r;
}

int pthread_mutex_lock(pthread_mutex_t *m)
{
    static const auto next = real<int (*)(pthread_mutex_t *)>("pthread_mutex_lock");
    jitter();
    return next(m);
}

int pthread_mutex_unlock(pthread_mutex_t *m)
{
    static const auto next = real<int (*)(pthread_mutex_t *)>("pthread_mutex_unlock");
    const int r = next(m);
    jitter();
    return r;
}

} // extern "C"
