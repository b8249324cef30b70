#include "vcard/vpcd.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <thread>

namespace vcard {
namespace {

constexpr std::size_t FRAME_HEADER_SIZE = 2;

void say(const VpcdOptions& options, const std::string& message) {
    if (options.log)
        options.log(message);
}

std::string where(const VpcdOptions& options) {
    return options.host + ":" + std::to_string(options.port);
}

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

struct AddrInfo {
    addrinfo* list = nullptr;
    ~AddrInfo() {
        if (list)
            ::freeaddrinfo(list);
    }
};

// Sleeps `total`, waking every poll interval to look at the stop flag.
void pause(std::chrono::milliseconds total, const VpcdOptions& options,
           const std::atomic<bool>& stop) {
    const auto step = std::max(std::chrono::milliseconds(1), options.stopPollInterval);
    const auto until = std::chrono::steady_clock::now() + total;
    while (!stop) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= until)
            return;
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(step, until - now));
    }
}

// Returns a connected socket, or -1 with errno from the last attempt.
int connectTo(const addrinfo* list) {
    int lastError = ECONNREFUSED;
    for (const addrinfo* address = list; address; address = address->ai_next) {
        int fd =
            ::socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC, address->ai_protocol);
        if (fd < 0) {
            lastError = errno;
            continue;
        }
        int result;
        do {
            result = ::connect(fd, address->ai_addr, address->ai_addrlen);
        } while (result < 0 && errno == EINTR);
        if (result == 0)
            return fd;
        lastError = errno;
        ::close(fd);
    }
    errno = lastError;
    return -1;
}

bool sendAll(int fd, const Bytes& data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        sent += std::size_t(n);
    }
    return true;
}

// Length header and body in one buffer, so that the frame leaves in one send().
bool sendFrame(int fd, const Bytes& body) {
    Bytes frame;
    frame.reserve(FRAME_HEADER_SIZE + body.size());
    frame.push_back(std::uint8_t(body.size() >> 8));
    frame.push_back(std::uint8_t(body.size()));
    frame.insert(frame.end(), body.begin(), body.end());
    return sendAll(fd, frame);
}

Bytes answerApdu(CardDevice& card, const Bytes& command, const VpcdOptions& options) {
    try {
        Bytes response = card.transmit(command);
        if (response.size() >= 2 && response.size() <= 0xFFFF)
            return response;
        say(options, "card gave a response of " + std::to_string(response.size()) +
                         " bytes; answering 6F00");
    } catch (const std::exception& e) {
        say(options, std::string("card failed on a command: ") + e.what() + "; answering 6F00");
    }
    return {0x6F, 0x00};
}

// False when the answer could not be sent.
bool handleFrame(int fd, CardDevice& card, const Bytes& body, const VpcdOptions& options) {
    if (body.empty())
        return true;
    if (body.size() > 1)
        return sendFrame(fd, answerApdu(card, body, options));
    switch (VpcdControl(body[0])) {
    case VpcdControl::PowerOff:
        card.powerOff();
        return true;
    case VpcdControl::PowerOn:
        card.powerOn();
        return true;
    case VpcdControl::Reset:
        card.reset();
        return true;
    case VpcdControl::GetAtr:
        return sendFrame(fd, card.atr());
    }
    say(options, "ignoring unknown control code " + std::to_string(body[0]));
    return true;
}

enum class SessionEnd { Stopped, PeerClosed, Failed };

SessionEnd serveConnection(int fd, CardDevice& card, const VpcdOptions& options,
                           const std::atomic<bool>& stop) {
    Bytes pending;
    std::uint8_t buffer[4096];
    const int pollMs = int(std::max<long long>(1, options.stopPollInterval.count()));
    while (!stop) {
        pollfd p{fd, POLLIN, 0};
        int ready = ::poll(&p, 1, pollMs);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return SessionEnd::Failed;
        }
        if (ready == 0)
            continue;
        // Not sticky: the kernel falls back to delayed ACKs after a while.
        if (options.quickAck) {
            int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
        }
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n == 0)
            return SessionEnd::PeerClosed;
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return SessionEnd::Failed;
        }
        pending.insert(pending.end(), buffer, buffer + n);
        std::size_t used = 0;
        while (pending.size() - used >= FRAME_HEADER_SIZE) {
            const std::size_t length = std::size_t(pending[used]) << 8 | pending[used + 1];
            if (pending.size() - used - FRAME_HEADER_SIZE < length)
                break;
            const auto begin = pending.begin() + std::ptrdiff_t(used + FRAME_HEADER_SIZE);
            const Bytes body(begin, begin + std::ptrdiff_t(length));
            used += FRAME_HEADER_SIZE + length;
            if (!handleFrame(fd, card, body, options))
                return SessionEnd::Failed;
        }
        pending.erase(pending.begin(), pending.begin() + std::ptrdiff_t(used));
    }
    return SessionEnd::Stopped;
}

}  // namespace

int runVpcdClient(CardDevice& card, const VpcdOptions& options, const std::atomic<bool>& stop) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    AddrInfo addresses;
    const std::string port = std::to_string(options.port);
    if (int rc = ::getaddrinfo(options.host.c_str(), port.c_str(), &hints, &addresses.list)) {
        say(options, "cannot resolve " + options.host + ": " + ::gai_strerror(rc));
        return 1;
    }

    bool waitingReported = false;
    while (!stop) {
        Fd fd(connectTo(addresses.list));
        if (fd.get() < 0) {
            if (!waitingReported) {
                say(options,
                    "waiting for vpcd at " + where(options) + " (" + std::strerror(errno) + ")");
                waitingReported = true;
            }
            pause(options.retryInterval, options, stop);
            continue;
        }
        waitingReported = false;
        int one = 1;
        ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        say(options, "connected to vpcd at " + where(options));

        const SessionEnd end = serveConnection(fd.get(), card, options, stop);
        const int error = errno;
        // The connection is the card's presence in the reader: losing it is a removal.
        card.powerOff();
        if (end == SessionEnd::PeerClosed)
            say(options, "vpcd closed the connection; reconnecting");
        else if (end == SessionEnd::Failed)
            say(options, std::string("connection to vpcd failed (") + std::strerror(error) +
                             "); reconnecting");
        if (end != SessionEnd::Stopped)
            pause(options.retryInterval, options, stop);
    }
    return 0;
}

}  // namespace vcard
