// Real side: the card in the second vpcd reader is a `kalvik-vcard serve`
// process of our own; stopping it pulls the card.
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <sys/wait.h>

#include "scenario.h"

namespace scenario {
namespace {

// vpcd's second reader listens on the port after the first one's.
constexpr const char* kOwnReaderPort = "35964";

class ServedCard : public CardSlot {
public:
    ServedCard(std::string tool, std::string image)
        : tool_(std::move(tool)), image_(std::move(image)) {}
    ~ServedCard() override { stop(); }

    void insert() override {
        // The stack may keep pcscd in a network namespace of its own; its
        // script runs the server where the vpcd port is reachable.
        const char* script = std::getenv("STACK_SCRIPT");
        if (script)
            pid_ =
                spawn({"bash", script, "exec", tool_, "serve", image_, "--port", kOwnReaderPort});
        else
            pid_ = spawn({tool_, "serve", image_, "--port", kOwnReaderPort});
        if (pid_ < 0)
            std::fprintf(stderr, "cannot start %s serve\n", tool_.c_str());
    }
    void remove() override { stop(); }

private:
    void stop() {
        if (pid_ <= 0)
            return;
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
    }
    std::string tool_, image_;
    pid_t pid_ = -1;
};

}  // namespace

std::unique_ptr<CardSlot> prepare(const Options& options, const std::string& image) {
    return std::make_unique<ServedCard>(options.vcardTool, image);
}

}  // namespace scenario
