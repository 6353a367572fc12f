#include "messages.h"


namespace gmm {

std::string file_message(const char *path, const std::string &what)
{
    return std::string(path).append(": ").append(what).append("\n");
}

std::string line_message(const char *path, long long line, const std::string &what)
{
    return std::string(path).append(":").append(std::to_string(line)).append(": ").append(what).append("\n");
}

std::string open_error(const char *path) { return file_message(path, "File open error!"); }
std::string read_error(const char *path) { return file_message(path, "File read error!"); }
std::string write_error(const char *path) { return file_message(path, "File write error!"); }

} // namespace gmm
