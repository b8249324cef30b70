#include "fileutils.h"

#include "trace.h"

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
