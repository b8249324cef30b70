#include "fileutils.h"

#include "exceptions.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <pwd.h>
#include <unistd.h>
#include <cstdlib>
#include <fstream>

namespace {

TEST(Paths, Join) {
    struct {
        const char* a;
        const char* b;
        const char* joined;
    } cases[] = {
        {"/home/u", ".amwcache", "/home/u/.amwcache"},
        {"/home/u/", "/.amwcache/", "/home/u/.amwcache"},
        {"", "", "."},
        {"", "/x/", "x"},
        {"", "x", "x"},
        {"/a/", "", "/a/"},
        {"a", "b//", "a/b/"},  // only one trailing separator is dropped
        {"/", "etc", "/etc"},
    };
    for (const auto& k : cases)
        EXPECT_EQ(joinPath(k.a, k.b), k.joined) << k.a << " + " << k.b;
}

TEST(Paths, Parent) {
    struct {
        const char* path;
        const char* parent;
    } cases[] = {
        {"/a/b/", "/a"}, {"/a/b", "/a"}, {"name", ""}, {"", ""}, {"/a", ""}, {"a/b//", "a/b"},
    };
    for (const auto& k : cases)
        EXPECT_EQ(parentPath(k.path), k.parent) << k.path;
}

TEST(Directories, CreateMissingParentsButNotThroughAFile) {
    TempDir dir;
    std::string deep = dir.file("x/y/z");
    EXPECT_FALSE(isDirectory(deep));
    EXPECT_TRUE(createDirectories(deep + "/"));
    EXPECT_TRUE(isDirectory(deep));
    EXPECT_TRUE(isDirectory(deep + "/"));
    EXPECT_TRUE(createDirectories(deep));  // already there
    EXPECT_FALSE(createDirectories(""));

    std::string file = dir.write("plain", "data");
    EXPECT_FALSE(isDirectory(file));
    EXPECT_FALSE(createDirectories(file + "/sub"));
    EXPECT_TRUE(deleteFile(file));
    EXPECT_FALSE(deleteFile(file));
}

TEST(HomeDirectory, FromHomeElseFromThePasswdEntry) {
    std::string saved = std::getenv("HOME") ? std::getenv("HOME") : "";
    std::string home;
    ::setenv("HOME", "/custom/home", 1);
    EXPECT_TRUE(getHomeDirectory(&home));
    EXPECT_EQ(home, "/custom/home");

    ::unsetenv("HOME");
    struct passwd* pw = ::getpwuid(::getuid());
    ASSERT_NE(pw, nullptr);
    EXPECT_TRUE(getHomeDirectory(&home));
    EXPECT_EQ(home, pw->pw_dir);
    ::setenv("HOME", saved.c_str(), 1);
}

}  // namespace
