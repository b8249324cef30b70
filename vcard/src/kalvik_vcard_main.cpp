// kalvik-vcard: personalise a virtual Kalvik card image and look at it.
// Subcommands live in one table; adding one is adding a row.
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "vcard/kalvikcard.h"
#include "vcard/vpcd.h"

namespace {

using Args = std::vector<std::string>;

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

unsigned long parseNumber(const std::string& option, const std::string& text, unsigned long min,
                          unsigned long max) {
    char* end = nullptr;
    errno = 0;
    unsigned long v = std::strtoul(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || v < min || v > max || text[0] == '-')
        throw UsageError(option + " expects a number from " + std::to_string(min) + " to " +
                         std::to_string(max) + ", got '" + text + "'");
    return v;
}

template <std::size_t N>
std::array<std::uint8_t, N> parseHex(const std::string& option, const std::string& text) {
    std::array<std::uint8_t, N> out{};
    if (text.size() != 2 * N)
        throw UsageError(option + " expects " + std::to_string(2 * N) +
                         " hexadecimal digits, got '" + text + "'");
    for (std::size_t i = 0; i < N; ++i) {
        auto digit = [&](char c) -> int {
            if (c >= '0' && c <= '9')
                return c - '0';
            if (c >= 'a' && c <= 'f')
                return c - 'a' + 10;
            if (c >= 'A' && c <= 'F')
                return c - 'A' + 10;
            throw UsageError(option + " expects hexadecimal digits, got '" + text + "'");
        };
        out[i] = std::uint8_t(digit(text[2 * i]) << 4 | digit(text[2 * i + 1]));
    }
    return out;
}

// The arguments of a command that works on one image: `option` takes each
// option (its value through `value()`) and says whether it knows it; the one
// other argument is the image path, which is returned.
std::string parseImageArguments(
    const Args& args, const std::string& command,
    const std::function<bool(const std::string& option,
                             const std::function<const std::string&()>& value)>& option) {
    std::string image;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size())
                throw UsageError(a + " needs a value");
            return args[++i];
        };
        if (!a.empty() && a[0] == '-') {
            if (!option(a, value))
                throw UsageError("unknown option " + a);
        } else if (image.empty()) {
            image = a;
        } else {
            throw UsageError("unexpected argument " + a);
        }
    }
    if (image.empty())
        throw UsageError(command + " needs the image path");
    return image;
}

bool exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

int cmdInit(const Args& args) {
    vcard::PersonalisationOptions opt;
    bool force = false;
    const std::string image =
        parseImageArguments(args, "init", [&](const std::string& a, const auto& value) {
            if (a == "--user-pin") {
                opt.userPin = value();
            } else if (a == "--so-pin") {
                opt.soPin = value();
            } else if (a == "--user-tries") {
                opt.userPinTries = std::uint8_t(parseNumber(a, value(), 1, 15));
            } else if (a == "--so-tries") {
                opt.soPinTries = std::uint8_t(parseNumber(a, value(), 1, 15));
            } else if (a == "--block-size") {
                opt.blockSize = std::uint16_t(parseNumber(a, value(), 16, 4096));
            } else if (a == "--blocks") {
                opt.totalBlocks = std::uint16_t(parseNumber(a, value(), 8, 0x7FFF));
            } else if (a == "--key-slots") {
                opt.keySlots.assign(parseNumber(a, value(), 0, 64), vcard::KeySlotSetup{});
            } else if (a == "--version") {
                const std::string v = value();
                const auto dot = v.find('.');
                if (dot == std::string::npos)
                    throw UsageError("--version expects MAJOR.MINOR, got '" + v + "'");
                opt.versionMajor = std::uint8_t(parseNumber(a, v.substr(0, dot), 0, 255));
                opt.versionMinor = std::uint8_t(parseNumber(a, v.substr(dot + 1), 0, 255));
            } else if (a == "--card-id") {
                opt.cardId = parseHex<16>(a, value());
            } else if (a == "--serial") {
                opt.serial = parseHex<8>(a, value());
            } else if (a == "--not-activated") {
                opt.activated = false;
            } else if (a == "--force") {
                force = true;
            } else {
                return false;
            }
            return true;
        });
    if (exists(image) && !force) {
        std::cerr << "kalvik-vcard: " << image << " already exists (use --force to replace it)\n";
        return 1;
    }
    std::unique_ptr<vcard::KalvikCard> card;
    try {
        card = std::make_unique<vcard::KalvikCard>(opt);
    } catch (const std::invalid_argument& e) {
        throw UsageError(e.what());
    }
    card->save(image);
    std::cout << "Personalised card image " << image << "\n" << vcard::describeCard(*card);
    return 0;
}

int cmdShow(const Args& args) {
    if (args.size() != 1 || (!args[0].empty() && args[0][0] == '-'))
        throw UsageError("show takes the image path only");
    auto card = vcard::KalvikCard::load(args[0]);
    std::cout << "Card image " << args[0] << "\n" << vcard::describeCard(*card);
    return 0;
}

std::atomic<bool> gStopServing{false};

extern "C" void onStopSignal(int) { gStopServing = true; }

int cmdServe(const Args& args) {
    vcard::VpcdOptions opt;
    const std::string image =
        parseImageArguments(args, "serve", [&](const std::string& a, const auto& value) {
            if (a == "--port") {
                opt.port = std::uint16_t(parseNumber(a, value(), 1, 65535));
            } else if (a == "--host") {
                opt.host = value();
            } else if (a == "--no-quickack") {
                opt.quickAck = false;
            } else {
                return false;
            }
            return true;
        });
    auto card = vcard::KalvikCard::load(image);

    // No SA_RESTART: a signal must also cut short the wait for vpcd's next frame.
    struct sigaction sa {};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);

    opt.log = [](const std::string& message) {
        std::cerr << "kalvik-vcard serve: " << message << std::endl;
    };
    std::cerr << "kalvik-vcard serve: card image " << image << ", vpcd at " << opt.host << ":"
              << opt.port << std::endl;
    const int rc = vcard::runVpcdClient(*card, opt, gStopServing);
    if (rc == 0)
        std::cerr << "kalvik-vcard serve: stopped" << std::endl;
    return rc;
}

struct Command {
    const char* name;
    const char* usage;
    int (*run)(const Args&);
};

const Command COMMANDS[] = {
    {"init",
     "init IMAGE [--user-pin PIN] [--so-pin PIN] [--user-tries N] [--so-tries N] [--block-size "
     "BYTES]\n"
     "            [--blocks N] [--key-slots N] [--version MAJOR.MINOR] [--card-id HEX32] [--serial "
     "HEX16]\n"
     "            [--not-activated] [--force]\n"
     "      personalise a new card image (defaults: user PIN 123456, SO PIN 12345678)",
     cmdInit},
    {"show", "show IMAGE\n      print the card's objects, roles, tries and memory", cmdShow},
    {"serve",
     "serve IMAGE [--port 35963] [--host 127.0.0.1] [--no-quickack]\n"
     "      put the card into the vpcd reader of a running pcscd until SIGTERM/SIGINT;\n"
     "      every change is written back to IMAGE",
     cmdServe},
};

void usage(std::ostream& os) {
    os << "usage: kalvik-vcard COMMAND ...\n";
    for (const auto& command : COMMANDS)
        os << "  kalvik-vcard " << command.usage << "\n";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        usage(std::cerr);
        return 2;
    }
    const std::string name = argv[1];
    if (name == "help" || name == "--help" || name == "-h") {
        usage(std::cout);
        return 0;
    }
    for (const auto& command : COMMANDS) {
        if (name != command.name)
            continue;
        try {
            return command.run(Args(argv + 2, argv + argc));
        } catch (const UsageError& e) {
            std::cerr << "kalvik-vcard " << name << ": " << e.what() << "\n";
            usage(std::cerr);
            return 2;
        } catch (const std::exception& e) {
            std::cerr << "kalvik-vcard " << name << ": " << e.what() << "\n";
            return 1;
        }
    }
    std::cerr << "kalvik-vcard: unknown command '" << name << "'\n";
    usage(std::cerr);
    return 2;
}
