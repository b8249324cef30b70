#pragma once
// The trace log of this process (tests that link the logger).
#include "logger.h"
#include "logrecords.h"

namespace logrecords {

// Lines the process's log file gained since the previous call; the first
// call creates the logger, so its opening record is never among them later.
inline std::vector<std::string> newLines() { return newLines(Logger::instance().getFileName()); }

// Bodies of the records written since the previous call.
inline std::vector<std::string> newBodies() { return bodies(newLines()); }

}  // namespace logrecords
