#include "fileutils.h"

#include "trace.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <vector>

QV_TRACE_UNIT("LIBCOMMON", "libcommon/src/fileutils");

namespace {

constexpr char SEPARATOR = '/';

bool endsWithSeparator(const std::string& s) { return !s.empty() && s.back() == SEPARATOR; }

}  // namespace

bool getHomeDirectory(std::string* homeDir) {
    QV_FUNCTION_NAME("getHomeDirectory");
    QV_REQUIRE(homeDir);
    const char* home = std::getenv("HOME");
    if (home != nullptr && *home != '\0') {
        *homeDir = home;
        return true;
    }
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    struct passwd entry;
    struct passwd* result = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &result) != 0 ||
        result == nullptr || result->pw_dir == nullptr || *result->pw_dir == '\0')
        return false;
    *homeDir = result->pw_dir;
    return true;
}

std::string joinPath(const std::string& a, const std::string& b) {
    std::string tail = b;
    if (!tail.empty() && tail.front() == SEPARATOR)
        tail.erase(0, 1);
    if (!tail.empty() && tail.back() == SEPARATOR)
        tail.pop_back();
    if (a.empty() && b.empty())
        return ".";
    if (a.empty())
        return tail;
    if (b.empty())
        return a;
    return endsWithSeparator(a) ? a + tail : a + SEPARATOR + tail;
}

std::string parentPath(const std::string& path) {
    if (path.empty())
        return std::string();
    std::string p = path;
    if (endsWithSeparator(p))
        p.pop_back();
    std::string::size_type slash = p.rfind(SEPARATOR);
    if (slash == std::string::npos)
        return std::string();
    return p.substr(0, slash);
}

bool isDirectory(const std::string& path) {
    std::string p = path;
    // The root keeps its only separator.
    if (p.size() > 1 && endsWithSeparator(p))
        p.pop_back();
    struct stat st;
    return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool createDirectories(const std::string& path, unsigned mode) {
    if (path.empty())
        return false;
    if (isDirectory(path))
        return true;
    std::string parent = parentPath(path);
    // A relative path's chain ends in "": its first element is created
    // relative to the current directory.
    if (!parent.empty() && !createDirectories(parent, mode))
        return false;
    std::string p = path;
    if (p.size() > 1 && endsWithSeparator(p))
        p.pop_back();
    if (::mkdir(p.c_str(), static_cast<mode_t>(mode)) == 0)
        return true;
    // Another thread or process may have created it meanwhile.
    return errno == EEXIST && isDirectory(p);
}

bool deleteFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

FileDescriptor::~FileDescriptor() {
    if (fd_ >= 0)
        ::close(fd_);
}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = other.release();
    }
    return *this;
}

bool readRegularFile(const std::string& path, bool followLinks, std::size_t maxSize,
                     std::string* content, int directory) {
    // Non-blocking, so that opening a FIFO does not wait for a writer.
    int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | (followLinks ? 0 : O_NOFOLLOW);
    FileDescriptor file(::openat(directory < 0 ? AT_FDCWD : directory, path.c_str(), flags));
    struct stat st;
    if (!file.valid() || ::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<unsigned long long>(st.st_size) > maxSize)
        return false;
    // The size may change while we read: never take more than allowed.
    std::string bytes;
    bytes.resize(maxSize + 1 < 65536 ? maxSize + 1 : 65536);
    std::size_t total = 0;
    for (;;) {
        if (total == bytes.size()) {
            if (bytes.size() > maxSize)
                return false;
            bytes.resize(bytes.size() * 2 > maxSize + 1 ? maxSize + 1 : bytes.size() * 2);
        }
        ssize_t n = ::read(file.get(), &bytes[total], bytes.size() - total);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        total += static_cast<std::size_t>(n);
    }
    if (total > maxSize)
        return false;
    bytes.resize(total);
    content->swap(bytes);
    return true;
}

bool writeAll(int fd, const void* data, std::size_t length) {
    const char* p = static_cast<const char*>(data);
    while (length > 0) {
        ssize_t n = ::write(fd, p, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}
