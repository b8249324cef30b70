#pragma once
// Path and directory helpers; paths are narrow strings with "/" separators.
// None of them throws except getHomeDirectory for a null argument.
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
