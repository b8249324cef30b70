#include "platform.h"

#include <sys/syscall.h>
#include <unistd.h>
#include <chrono>
#include <climits>

std::uint64_t currentFileTime() {
    // Seconds between 1601-01-01 and 1970-01-01.
    constexpr std::uint64_t EPOCH_DIFFERENCE_SECONDS = 11644473600ULL;
    auto now = std::chrono::system_clock::now().time_since_epoch();
    auto ticks = std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() / 100;
    return static_cast<std::uint64_t>(ticks) + EPOCH_DIFFERENCE_SECONDS * 10000000ULL;
}

unsigned long currentThreadId() {
    static thread_local unsigned long id = static_cast<unsigned long>(::syscall(SYS_gettid));
    return id;
}

std::string executableStem() {
    char path[PATH_MAX + 1];
    ssize_t n = ::readlink("/proc/self/exe", path, PATH_MAX);
    if (n <= 0)
        return "???";
    std::string full(path, static_cast<std::size_t>(n));
    std::string::size_type slash = full.rfind('/');
    std::string name = slash == std::string::npos ? full : full.substr(slash + 1);
    std::string::size_type dot = name.rfind('.');
    if (dot != std::string::npos)
        name.erase(dot);
    return name;
}
