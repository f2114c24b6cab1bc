#include "sim_tap.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "sim_threads.h"

namespace ironpost::sim {

namespace {

constexpr std::size_t kMaxHeadBytes = 16 * 1024;
constexpr std::size_t kMaxRequestBodyBytes = 4 * 1024 * 1024;
constexpr std::size_t kMaxResponseBytes = 8 * 1024 * 1024;
constexpr int kClientTimeoutSeconds = 10;
constexpr int kUpstreamTimeoutSeconds = 30;

void SetTimeout(int socket, int seconds) {
    timeval timeout{};
    timeout.tv_sec = seconds;
    setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
}

bool SendAll(int socket, const std::string& data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = send(socket, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// The value of a header in an HTTP head, or "" when absent.
std::string HeaderValue(const std::string& head, const std::string& name) {
    const std::string lower = Lower(head);
    const std::string key = "\r\n" + Lower(name) + ":";
    const std::size_t at = lower.find(key);
    if (at == std::string::npos) {
        return {};
    }
    const std::size_t start = head.find_first_not_of(' ', at + key.size());
    const std::size_t end = head.find("\r\n", at + key.size());
    return start == std::string::npos || start >= end ? std::string()
                                                      : head.substr(start, end - start);
}

// Reads a head and a Content-Length body; false when either breaks a bound.
bool ReadMessage(int socket, std::size_t max_body, std::string& head, std::string& body) {
    std::string data;
    char buffer[16384];
    std::size_t head_end = std::string::npos;
    while ((head_end = data.find("\r\n\r\n")) == std::string::npos) {
        if (data.size() > kMaxHeadBytes) {
            return false;
        }
        const ssize_t n = recv(socket, buffer, sizeof(buffer), 0);
        if (n <= 0) {
            return false;
        }
        data.append(buffer, static_cast<std::size_t>(n));
    }
    head = data.substr(0, head_end + 2);
    body = data.substr(head_end + 4);
    const std::string length_text = HeaderValue(head, "Content-Length");
    const std::size_t length =
        length_text.empty() ? 0 : std::strtoull(length_text.c_str(), nullptr, 10);
    if (length > max_body) {
        return false;
    }
    while (body.size() < length) {
        const ssize_t n = recv(socket, buffer, sizeof(buffer), 0);
        if (n <= 0) {
            return false;
        }
        body.append(buffer, static_cast<std::size_t>(n));
    }
    body.resize(length);
    return true;
}

// Ends a connection with a reset rather than an orderly close.
void CloseWithReset(int socket) {
    const linger abort{1, 0};
    setsockopt(socket, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
    close(socket);
}

int ConnectTo(const HttpUrl& url) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(url.host.c_str(), url.port.c_str(), &hints, &found) != 0) {
        return -1;
    }
    int socket_fd = -1;
    for (addrinfo* at = found; at != nullptr && socket_fd < 0; at = at->ai_next) {
        socket_fd = socket(at->ai_family, at->ai_socktype, at->ai_protocol);
        if (socket_fd >= 0 && connect(socket_fd, at->ai_addr, at->ai_addrlen) != 0) {
            close(socket_fd);
            socket_fd = -1;
        }
    }
    freeaddrinfo(found);
    return socket_fd;
}

}  // namespace

HttpUrl ParseHttpUrl(const std::string& url) {
    HttpUrl parsed;
    const std::string scheme = "http://";
    if (url.compare(0, scheme.size(), scheme) != 0) {
        return parsed;
    }
    const std::size_t slash = url.find('/', scheme.size());
    const std::string authority = url.substr(scheme.size(), slash - scheme.size());
    parsed.prefix = slash == std::string::npos ? "" : url.substr(slash);
    while (!parsed.prefix.empty() && parsed.prefix.back() == '/') {
        parsed.prefix.pop_back();
    }
    const std::size_t colon = authority.rfind(':');
    parsed.host = authority.substr(0, colon);
    if (colon != std::string::npos) {
        parsed.port = authority.substr(colon + 1);
    }
    parsed.ok = !parsed.host.empty() && !parsed.port.empty() &&
                std::all_of(parsed.port.begin(), parsed.port.end(),
                            [](unsigned char c) { return std::isdigit(c) != 0; });
    return parsed;
}

BackendTap::~BackendTap() {
    Stop();
}

bool BackendTap::Start(const std::string& upstream, std::string& error) {
    upstream_ = ParseHttpUrl(upstream);
    if (!upstream_.ok) {
        error = "backend URL must be http://host:port[/path], not \"" + upstream + "\"";
        return false;
    }
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(address);
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        listen(listener_, 64) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        error = std::string("cannot listen on loopback: ") + std::strerror(errno);
        return false;
    }
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { AcceptLoop(); });
    return true;
}

void BackendTap::Stop() {
    if (listener_ < 0) {
        return;
    }
    stopping_ = true;
    if (acceptor_.joinable()) {
        acceptor_.join();
    }
    close(listener_);
    listener_ = -1;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(kUpstreamTimeoutSeconds + 5);
    while (active_.load() > 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

std::string BackendTap::Url() const {
    return "http://127.0.0.1:" + std::to_string(port_) + upstream_.prefix;
}

std::vector<TapExchange> BackendTap::TakeExchanges() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<TapExchange> taken;
    taken.swap(finished_);
    return taken;
}

void BackendTap::AcceptLoop() {
    ThreadsFromHereAreOwn();
    while (!stopping_.load()) {
        pollfd waiting{listener_, POLLIN, 0};
        if (poll(&waiting, 1, 20) <= 0) {
            continue;
        }
        const int client = accept(listener_, nullptr, nullptr);
        if (client < 0) {
            continue;
        }
        active_.fetch_add(1);
        std::thread([this, client] {
            Serve(client);
            active_.fetch_sub(1);
        }).detach();
    }
}

void BackendTap::Serve(int client) {
    SetTimeout(client, kClientTimeoutSeconds);
    std::string head;
    std::string body;
    TapExchange exchange;
    if (!ReadMessage(client, kMaxRequestBodyBytes, head, body)) {
        exchange.error = "request unreadable or over the tap's bounds";
        SendAll(client,
                "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        close(client);
    } else {
        exchange = Relay(client, head, body);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    finished_.push_back(std::move(exchange));
}

TapExchange BackendTap::Relay(int client, const std::string& head, const std::string& body) {
    TapExchange exchange;
    const std::size_t path_start = head.find(' ');
    const std::size_t path_end = head.find(' ', path_start + 1);
    exchange.path = head.substr(path_start + 1, path_end - path_start - 1);
    exchange.request_body = body;
    std::string forwarded = head;
    const std::string host = HeaderValue(head, "Host");
    if (!host.empty()) {
        const std::size_t at = Lower(forwarded).find("\r\nhost:");
        const std::size_t end = forwarded.find("\r\n", at + 2);
        forwarded.replace(at, end - at, "\r\nHost: " + upstream_.host + ":" + upstream_.port);
    }
    const int upstream = down_.load() ? -1 : ConnectTo(upstream_);
    if (upstream < 0) {
        // The plugin meets what it would meet without the tap: a connection
        // that ends without a byte, as near to a refused one as a relay gets.
        exchange.error = "backend unreachable at " + upstream_.host + ":" + upstream_.port;
        CloseWithReset(client);
        return exchange;
    }
    // The backend's bytes go to the plugin as they come, so that a slow
    // drip, a reply cut or reset half-way and an endless body reach it as
    // they left the backend; the tap keeps the first kMaxResponseBytes.
    std::string response;
    bool reset = false;
    bool plugin_gone = false;
    if (SendAll(upstream, forwarded + "\r\n" + body)) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::seconds(kUpstreamTimeoutSeconds);
        char buffer[16384];
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd sides[2] = {{upstream, POLLIN, 0}, {client, POLLIN | POLLRDHUP, 0}};
            if (poll(sides, 2, 100) < 0 && errno != EINTR) {
                break;
            }
            if (sides[1].revents != 0) {
                plugin_gone = true;  // the plugin sends nothing after its request but its end
                break;
            }
            if (sides[0].revents == 0) {
                continue;
            }
            const ssize_t n = recv(upstream, buffer, sizeof(buffer), 0);
            if (n < 0 && errno == ECONNRESET) {
                reset = true;
            }
            if (n <= 0) {
                break;
            }
            const std::size_t size = static_cast<std::size_t>(n);
            response.append(buffer, std::min(size, kMaxResponseBytes - std::min(kMaxResponseBytes,
                                                                                response.size())));
            if (!SendAll(client, std::string(buffer, size))) {
                plugin_gone = true;
                break;
            }
        }
    }
    close(upstream);
    if (reset) {
        CloseWithReset(client);
    } else {
        close(client);
    }
    const std::size_t head_end = response.find("\r\n\r\n");
    if (response.compare(0, 5, "HTTP/") == 0 && head_end != std::string::npos) {
        exchange.status = std::atoi(response.c_str() + response.find(' ') + 1);
        exchange.response_body = response.substr(head_end + 4);
    }
    if (plugin_gone) {
        exchange.error = "the plugin hung up before the backend's answer ended";
    } else if (reset) {
        exchange.error = "the backend reset the connection";
    } else if (exchange.status == 0) {
        exchange.error = "backend answer unreadable";
    }
    return exchange;
}

}  // namespace ironpost::sim
