#pragma once
// Path and directory helpers; paths are narrow strings with "/" separators.
// None of them throws except getHomeDirectory for a null argument.
#include <cstddef>
#include <string>

// The current user's home directory ($HOME, else the passwd entry).
// Returns false when it cannot be determined.
bool getHomeDirectory(std::string* homeDir);

// "a/b" with exactly one separator between the parts: both empty gives ".",
// one leading and one trailing separator of `b` are dropped.
std::string joinPath(const std::string& a, const std::string& b);

// Drops one trailing separator, then everything from the last separator on.
std::string parentPath(const std::string& path);

bool isDirectory(const std::string& path);

// Creates the directory and any missing parents; true when it exists afterwards.
// Directories made here get `mode` (less the umask); existing ones are left alone.
bool createDirectories(const std::string& path, unsigned mode = 0777);

// True when the file was deleted.
bool deleteFile(const std::string& path);

// An open file descriptor, closed when it goes.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) noexcept : fd_(fd) {}
    ~FileDescriptor();
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }
    int release() noexcept {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

// The whole content of a regular file of at most `maxSize` bytes. Anything
// else is refused (false) without blocking on it: a FIFO, a device, a
// directory, a larger file and, unless `followLinks`, a symbolic link.
// A relative `path` is taken from the open directory `directory` (-1: the
// current directory).
bool readRegularFile(const std::string& path, bool followLinks, std::size_t maxSize,
                     std::string* content, int directory = -1);

// Writes all of `data`; false when the file takes less.
bool writeAll(int fd, const void* data, std::size_t length);
