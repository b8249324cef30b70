#pragma once
// Trace logs in tests: a test program that turns the log on, and reading its
// records back. Every record is checked literally except the thread id and
// the time stamp, which are only checked for their form.
#include "tempdir.h"

#include <gtest/gtest.h>

#include <dirent.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace logrecords {

// One expected line: a record (component, depth, body) or, with `raw`, a
// line that must match `body` exactly (the empty line after an outermost call).
struct Expected {
    std::string component;
    int depth;
    std::string body;
    bool raw = false;
};

inline Expected record(const std::string& component, int depth, const std::string& body) {
    return {component, depth, body, false};
}
inline Expected emptyLine() { return {"", 0, "", true}; }

inline std::vector<std::string> readLines(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

// The module's log file in `directory` (one file per process, named
// "qvpkcs11-<program>-<time>.log"); empty when there is none.
inline std::string logFileIn(const std::string& directory) {
    std::string found;
    if (DIR* d = ::opendir(directory.c_str())) {
        while (struct dirent* e = ::readdir(d))
            if (std::string(e->d_name).rfind("qvpkcs11-", 0) == 0)
                found = directory + "/" + e->d_name;
        ::closedir(d);
    }
    return found;
}

// The lines `path` gained since the previous call for the same path.
inline std::vector<std::string> newLines(const std::string& path) {
    static std::map<std::string, std::size_t> seen;
    std::vector<std::string> all = readLines(path);
    std::size_t& from = seen[path];
    std::vector<std::string> fresh(all.begin() + static_cast<long>(std::min(from, all.size())),
                                   all.end());
    from = all.size();
    return fresh;
}

// "T<tid> dd.mm.yyyy hh:mm:ss.ms " with every field but the year at least two digits.
inline std::size_t stampLength(const std::string& line) {
    static const std::regex stamp(
        R"(^T[0-9]+ [0-9]{2}\.[0-9]{2}\.[0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{2,3} )");
    std::smatch m;
    if (!std::regex_search(line, m, stamp))
        return std::string::npos;
    return static_cast<std::size_t>(m.length(0));
}

// Checks one line against one expectation; returns a description of the
// first difference, or an empty string.
inline std::string compareLine(const std::string& line, const Expected& e) {
    if (e.raw)
        return line == e.body ? "" : "expected raw line <" + e.body + ">";
    std::size_t stamp = stampLength(line);
    if (stamp == std::string::npos)
        return "no time stamp";
    if (line.compare(stamp, e.component.size(), e.component) != 0)
        return "component is not " + e.component;
    std::size_t afterComponent = stamp + e.component.size();
    std::size_t column = 45 + 2 * static_cast<std::size_t>(e.depth);
    if (column < afterComponent)
        column = afterComponent;
    if (line.size() < column)
        return "line shorter than its padding";
    if (line.find_first_not_of(' ', afterComponent) < column)
        return "padding is not " + std::to_string(column - afterComponent) + " blanks";
    if (line.substr(column) != e.body)
        return "body <" + line.substr(column) + "> differs from <" + e.body + ">";
    return "";
}

// The bodies of the records among `lines`, at any depth: what follows the
// time stamp, the component and the padding.
inline std::vector<std::string> bodies(const std::vector<std::string>& lines) {
    // Longer names first: a component may run into its body without a blank.
    static const char* const components[] = {"AMWKALVIK_APDU", "AMWKALVIK", "AMW", "PKCS11", "CTL",
                                             "LIBCOMMON",      "LOGGER"};
    std::vector<std::string> out;
    for (const std::string& line : lines) {
        std::size_t stamp = stampLength(line);
        if (stamp == std::string::npos)
            continue;
        for (const char* component : components) {
            const std::string name(component);
            if (line.compare(stamp, name.size(), name) != 0)
                continue;
            std::size_t start =
                line.find_first_not_of(' ', std::max<std::size_t>(45, stamp + name.size()));
            out.push_back(start == std::string::npos ? "" : line.substr(start));
            break;
        }
    }
    return out;
}

inline void expectLines(const std::vector<std::string>& lines,
                        const std::vector<Expected>& expected) {
    ASSERT_EQ(lines.size(), expected.size()) << [&] {
        std::ostringstream all;
        for (const auto& l : lines)
            all << l << "\n";
        return all.str();
    }();
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string diff = compareLine(lines[i], expected[i]);
        EXPECT_TRUE(diff.empty()) << "line " << i << ": " << diff << "\n  " << lines[i];
    }
}

inline void expectFile(const std::string& path, const std::vector<Expected>& expected) {
    expectLines(readLines(path), expected);
}

// A global test environment that turns the trace log on for the whole
// program: before the first record it writes a configuration file into a
// fresh directory, with the log going to that directory, and points
// BRISANE_CONF at it. Register it once per program:
//   const auto* const environment =
//       ::testing::AddGlobalTestEnvironment(new logrecords::EnabledLog);
class EnabledLog : public ::testing::Environment {
public:
    // `moreSettings` gives further configuration lines for the directory.
    explicit EnabledLog(std::function<std::string(const TempDir&)> moreSettings = nullptr)
        : moreSettings_(std::move(moreSettings)) {}

    void SetUp() override {
        current() = new TempDir();
        std::string settings = "loglevel=1\nlogpath=" + dir().path() + "/\n";
        if (moreSettings_)
            settings += moreSettings_(dir());
        ::setenv("BRISANE_CONF", dir().write("brisane.txt", settings).c_str(), 1);
    }
    void TearDown() override {
        delete current();
        current() = nullptr;
    }

    // The directory of the configuration file and the log.
    static const TempDir& dir() { return *current(); }

private:
    static TempDir*& current() {
        static TempDir* directory = nullptr;
        return directory;
    }
    std::function<std::string(const TempDir&)> moreSettings_;
};

}  // namespace logrecords
