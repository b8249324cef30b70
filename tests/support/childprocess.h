#pragma once
// Runs a part of a test in a fork() child. The child reports failures as
// text through a pipe (its own GoogleTest state dies with it) and leaves
// with _exit, so nothing of the parent is torn down twice.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

namespace childprocess {

// What `child` reports, empty when all went well. A child that hangs is
// stopped by an alarm and reported.
inline std::string run(const std::function<std::string()>& child, unsigned timeoutSeconds = 30) {
    int pipeEnds[2];
    if (::pipe(pipeEnds) != 0)
        return "no pipe";
    const pid_t pid = ::fork();
    if (pid < 0)
        return "no fork";
    if (pid == 0) {
        ::close(pipeEnds[0]);
        ::alarm(timeoutSeconds);
        std::string report;
        try {
            report = child();
        } catch (...) {
            report = "exception in the child";
        }
        const bool written = ::write(pipeEnds[1], report.data(), report.size()) >= 0;
        ::_exit(written ? 0 : 2);
    }
    ::close(pipeEnds[1]);
    std::string report;
    char buffer[256];
    ssize_t n;
    while ((n = ::read(pipeEnds[0], buffer, sizeof buffer)) > 0)
        report.append(buffer, static_cast<std::size_t>(n));
    ::close(pipeEnds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status))
        return report + "child did not finish: signal " + std::to_string(WTERMSIG(status));
    return report;
}

}  // namespace childprocess

// In a child: appends a line to `report` unless `actual` equals `expected`.
#define CHILD_EXPECT_EQ(report, actual, expected)                                    \
    do {                                                                             \
        const auto actualValue = (actual);                                           \
        if (actualValue != (expected))                                               \
            (report) += std::string(#actual) + " = " + std::to_string(actualValue) + \
                        ", expected " #expected "\n";                                \
    } while (0)
