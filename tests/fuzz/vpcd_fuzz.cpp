// The vpcd front end reads any byte stream from the reader side: a loopback
// listener stands in for vpcd, sends the fuzz bytes and closes; what comes
// back must be whole frames, and the client must reconnect for the next input.
#include "vcard/kalvikcard.h"
#include "vcard/vpcd.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

namespace {

struct Reader {
    int listener = -1;
    vcard::KalvikCard card;
    std::atomic<bool> stop{false};
    std::thread client;

    Reader() {
        listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener, 1) != 0 ||
            ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            __builtin_trap();
        vcard::VpcdOptions options;
        options.port = ntohs(address.sin_port);
        options.retryInterval = std::chrono::milliseconds(1);
        options.stopPollInterval = std::chrono::milliseconds(10);
        client = std::thread([this, options] { vcard::runVpcdClient(card, options, stop); });
    }
    ~Reader() {
        stop = true;
        client.join();
        ::close(listener);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Reader reader;
    const int fd = ::accept(reader.listener, nullptr, nullptr);
    if (fd < 0)
        __builtin_trap();
    // Inputs stay far below the socket buffer, so writing all first cannot block.
    if (::send(fd, data, size, MSG_NOSIGNAL) != ssize_t(size))
        __builtin_trap();
    ::shutdown(fd, SHUT_WR);
    std::vector<std::uint8_t> answers;
    std::uint8_t buffer[4096];
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
        answers.insert(answers.end(), buffer, buffer + n);
    ::close(fd);
    std::size_t at = 0;
    while (answers.size() - at >= 2)
        at += 2 + (std::size_t(answers[at]) << 8 | answers[at + 1]);
    if (at != answers.size())
        __builtin_trap();  // a frame cut short or bytes outside any frame
    return 0;
}
