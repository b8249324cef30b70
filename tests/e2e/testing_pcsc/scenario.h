#pragma once
// One PC/SC scenario, built twice: against real pcscd (libpcsclite) and
// against the in-process service. Each build prints what the caller sees;
// compare.sh requires the two transcripts to be equal.
#include <memory>
#include <string>
#include <vector>

#include <sys/types.h>

namespace scenario {

// The readers of the vpcd stack: the shared card sits in the first, the
// scenario inserts and pulls its own card in the second.
constexpr const char* kSharedReader = "Virtual PCD 00 00";
constexpr const char* kOwnReader = "Virtual PCD 00 01";

struct Options {
    std::string vcardTool;  // the kalvik-vcard executable
    std::string workDir;    // scratch directory for the card image
};

// How a card gets into and out of kOwnReader on each side.
class CardSlot {
public:
    virtual ~CardSlot() = default;
    virtual void insert() = 0;
    virtual void remove() = 0;
};

// Per side: prepares the PC/SC side (the in-process one adds its readers and
// the shared card) and returns the slot for kOwnReader. `image` is a fresh
// card image made with `kalvik-vcard init`.
std::unique_ptr<CardSlot> prepare(const Options& options, const std::string& image);

int run(const Options& options);
// Starts a program (stdout discarded); -1 on failure.
pid_t spawn(const std::vector<std::string>& args);
// Runs a program to its end; true when it exited with 0.
bool runTool(const std::vector<std::string>& args);

}  // namespace scenario
