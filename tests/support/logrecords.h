#pragma once
// Reading trace log files in tests: every record is checked literally except
// the thread id and the time stamp, which are only checked for their form.
#include <gtest/gtest.h>

#include <fstream>
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

}  // namespace logrecords
