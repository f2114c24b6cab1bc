#pragma once

// A scripted TCP peer on 127.0.0.1 for client tests: it accepts one
// connection on a thread of its own and hands the socket to a behaviour
// (answer, drip, flood, stall or hang up), recording the request the behaviour
// read. Every wait is bounded, so a test never hangs on it.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace ironpost_test {

inline bool WaitFor(int fd, short events, int ms = 5000) {
    pollfd entry{fd, events, 0};
    return ::poll(&entry, 1, ms) > 0;
}

inline bool SendAll(int fd, const std::string& bytes) {
    for (std::size_t sent = 0; sent < bytes.size();) {
        if (!WaitFor(fd, POLLOUT)) {
            return false;
        }
        const ssize_t n =
            ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        }
        sent += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    return true;
}

// Reads the head and its Content-Length body (the client always sends one).
inline std::string ReadRequest(int fd) {
    std::string data;
    for (std::size_t wanted = std::string::npos; data.size() < wanted && WaitFor(fd, POLLIN);) {
        char chunk[4096];
        const ssize_t n = ::recv(fd, chunk, sizeof(chunk), 0);
        if (n <= 0) {
            break;
        }
        data.append(chunk, static_cast<std::size_t>(n));
        const std::size_t head_end = data.find("\r\n\r\n");
        const std::size_t length = data.find("\r\nContent-Length: ");
        if (head_end != std::string::npos && length < head_end) {
            wanted = head_end + 4 + std::strtoul(data.c_str() + length + 18, nullptr, 10);
        }
    }
    return data;
}

// A listening socket on 127.0.0.1 at a port the system picks.
inline int ListenOnLoopback(int backlog, std::uint16_t& port) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener, backlog) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::abort();
    }
    port = ntohs(address.sin_port);
    return listener;
}

// A behaviour gets the accepted socket and returns the request it read.
using PeerBehaviour = std::function<std::string(int fd)>;

// Reads the request, writes `reply` in pieces of `piece` bytes (0: at once)
// `interval_ms` apart, then, when `endless`, one more byte per interval until
// the client gives up (at most 10 s), and stays connected for `hold_ms`.
inline PeerBehaviour Answer(std::string reply, std::size_t piece = 0, int interval_ms = 0,
                            bool endless = false, int hold_ms = 0) {
    return [=](int fd) {
        const std::string request = ReadRequest(fd);
        const std::size_t step = piece == 0 ? reply.size() + 1 : piece;
        bool open = true;
        for (std::size_t at = 0; open && at < reply.size(); at += step) {
            open = SendAll(fd, reply.substr(at, step)) && !WaitFor(-1, 0, interval_ms);
        }
        for (int sent = 0; open && endless && sent * interval_ms < 10000; ++sent) {
            open = SendAll(fd, "x") && !WaitFor(-1, 0, interval_ms);
        }
        WaitFor(-1, 0, hold_ms);  // poll() ignores a negative descriptor: this only waits
        return request;
    };
}

class LoopbackServer {
  public:
    explicit LoopbackServer(PeerBehaviour behaviour, int backlog = 16) {
        listener_ = ListenOnLoopback(backlog, port_);
        if (behaviour) {
            thread_ = std::thread([this, behaviour] {
                for (int waited = 0; !stop_ && waited < 5000; waited += 20) {
                    if (WaitFor(listener_, POLLIN, 20)) {
                        const int fd = ::accept(listener_, nullptr, nullptr);
                        requests_.push_back(behaviour(fd));
                        ::close(fd);
                        return;
                    }
                }
            });
        }
    }
    ~LoopbackServer() {
        Stop();
        ::close(listener_);
    }

    std::uint16_t Port() const { return port_; }
    std::string Url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    // Stops waiting for a connection and lets the behaviour finish; the
    // requests are final afterwards.
    void Stop() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    const std::vector<std::string>& Requests() const { return requests_; }

  private:
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::vector<std::string> requests_;
    std::thread thread_;
};

}  // namespace ironpost_test
