#pragma once

// A scripted TCP peer on 127.0.0.1 for client tests. It accepts one
// connection per script entry, in order, on a thread of its own, records each
// request, and then behaves as the entry says: answer, drip, flood, stall or
// hang up. Every wait is bounded, and Stop() (or destruction) ends stalls at
// once, so a test never hangs on it.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace ironpost_test {

struct ScriptedConnection {
    bool read_request = true;          // read the whole request before answering
    bool hang_up_mid_request = false;  // close (FIN, then reset) once the request starts
    std::string reply;                 // bytes written after the request
    std::size_t drip_bytes = 0;        // write the reply in pieces of this size...
    int drip_interval_ms = 0;          // ...this far apart
    bool endless = false;              // after the reply, one more byte per interval, forever
    int hold_ms = 0;                   // stay connected this long before closing
};

class LoopbackServer {
  public:
    explicit LoopbackServer(std::vector<ScriptedConnection> script, int backlog = 16)
        : script_(std::move(script)) {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        const int one = 1;
        (void)::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            ::listen(listener_, backlog) != 0) {
            std::abort();
        }
        socklen_t length = sizeof(address);
        (void)::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        if (!script_.empty()) {
            thread_ = std::thread([this] { Run(); });
        }
    }
    ~LoopbackServer() {
        Stop();
        ::close(listener_);
    }
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    std::uint16_t Port() const { return port_; }
    std::string Url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    int ListenerFd() const { return listener_; }

    // Ends stalls and waits for the script thread; then Requests() is stable.
    void Stop() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    // Requests received, in order (call after Stop()).
    const std::vector<std::string>& Requests() const { return requests_; }
    std::size_t Accepted() const { return accepted_; }

  private:
    static constexpr int kStepMs = 20;
    static constexpr int kAcceptBudgetMs = 5000;

    bool Sleep(int ms) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!stop_ && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min(ms, kStepMs)));
        }
        return !stop_;
    }

    bool Send(int fd, const std::string& bytes) {
        std::size_t sent = 0;
        while (sent < bytes.size() && !stop_) {
            pollfd entry{fd, POLLOUT, 0};
            if (::poll(&entry, 1, kStepMs) <= 0) {
                continue;
            }
            const ssize_t n =
                ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && errno != EAGAIN && errno != EINTR) {
                return false;
            }
            sent += n > 0 ? static_cast<std::size_t>(n) : 0;
        }
        return sent == bytes.size();
    }

    // Reads headers and a Content-Length body, within a few seconds.
    std::string ReadRequest(int fd) {
        std::string data;
        std::size_t wanted = std::string::npos;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!stop_ && std::chrono::steady_clock::now() < until && data.size() < wanted) {
            pollfd entry{fd, POLLIN, 0};
            if (::poll(&entry, 1, kStepMs) <= 0) {
                continue;
            }
            char chunk[4096];
            const ssize_t n = ::recv(fd, chunk, sizeof(chunk), MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                break;
            }
            data.append(chunk, n > 0 ? static_cast<std::size_t>(n) : 0);
            const std::size_t head_end = data.find("\r\n\r\n");
            if (wanted == std::string::npos && head_end != std::string::npos) {
                wanted = head_end + 4 + ContentLength(data.substr(0, head_end));
            }
        }
        return data;
    }

    static std::size_t ContentLength(std::string head) {
        std::transform(head.begin(), head.end(), head.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        const std::size_t at = head.find("\r\ncontent-length:");
        return at == std::string::npos ? 0 : std::strtoul(head.c_str() + at + 17, nullptr, 10);
    }

    void Serve(int fd, const ScriptedConnection& entry) {
        if (entry.hang_up_mid_request) {
            // Like a server refusing an oversized upload: FIN first, then a
            // reset for the bytes still arriving, so the client's next send
            // meets a closed pipe.
            char first[1024];
            pollfd readable{fd, POLLIN, 0};
            while (!stop_ && ::poll(&readable, 1, kStepMs) <= 0) {
            }
            (void)::recv(fd, first, sizeof(first), MSG_DONTWAIT);
            (void)::shutdown(fd, SHUT_WR);
            Sleep(50);
            return;
        }
        if (entry.read_request) {
            requests_.push_back(ReadRequest(fd));
        }
        const std::size_t piece = entry.drip_bytes == 0 ? entry.reply.size() : entry.drip_bytes;
        for (std::size_t at = 0; at < entry.reply.size(); at += piece) {
            if (!Send(fd, entry.reply.substr(at, piece)) ||
                (entry.drip_bytes != 0 && !Sleep(entry.drip_interval_ms))) {
                return;
            }
        }
        while (entry.endless && Send(fd, "x") && Sleep(entry.drip_interval_ms)) {
        }
        Sleep(entry.hold_ms);
    }

    void Run() {
        for (const ScriptedConnection& entry : script_) {
            int fd = -1;
            for (int waited = 0; fd < 0 && !stop_ && waited < kAcceptBudgetMs; waited += kStepMs) {
                pollfd pending{listener_, POLLIN, 0};
                if (::poll(&pending, 1, kStepMs) > 0) {
                    fd = ::accept(listener_, nullptr, nullptr);
                }
            }
            if (fd < 0) {
                return;
            }
            ++accepted_;
            Serve(fd, entry);
            ::close(fd);
        }
    }

    std::vector<ScriptedConnection> script_;
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<std::size_t> accepted_{0};
    std::vector<std::string> requests_;
    std::thread thread_;
};

}  // namespace ironpost_test
