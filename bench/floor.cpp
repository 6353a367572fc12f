// The floor for the benchmark: the least any program must do for a run,
// reading the same input files whole and writing outputs of the same sizes,
// with no parsing and no formatting.
//
//   floor INPUT... -- OUTPUT SIZE [OUTPUT SIZE]...
//
// An input named "@LIST" stands for every file LIST names, one per line.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

static char buf[1 << 20];

static void read_whole(const char *path)
{
    int fd = open(path, O_RDONLY);
    while (fd >= 0 && read(fd, buf, sizeof buf) > 0) {
    }
    close(fd);
}

int main(int argc, char **argv)
{
    int i = 1;
    for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        if (argv[i][0] != '@') {
            read_whole(argv[i]);
            continue;
        }
        std::ifstream list(argv[i] + 1);
        for (std::string path; std::getline(list, path);)
            read_whole(path.c_str());
    }
    for (++i; i + 1 < argc; i += 2) {
        int fd = open(argv[i], O_WRONLY | O_CREAT | O_TRUNC, 0666);
        for (long left = std::atol(argv[i + 1]); left > 0;) {
            const ssize_t n = write(fd, buf, left < static_cast<long>(sizeof buf) ? left : sizeof buf);
            if (n <= 0)
                return 1;
            left -= n;
        }
        close(fd);
    }
    return 0;
}
