#pragma once

// A recording relay between the plugin and its backend. The plugin's
// backend URL points at a loopback port the tap listens on; every request is
// passed on byte for byte to the real backend (the Host header aside) and
// the answer back as it comes, and both are kept, so the simulator can
// report what the plugin sent and what the backend confirmed whatever
// backend it talks to. A backend that drips, resets or never ends its
// answer does so to the plugin too; an unreachable one resets the plugin's
// connection; a plugin that hangs up ends the exchange.
// One short-lived thread per exchange, as the plugin opens one connection
// per request. Every bound is explicit: header and body sizes, time-outs.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ironpost::sim {

struct TapExchange {
    std::string path;
    std::string request_body;
    int status = 0;  // the backend's HTTP status; 0 when its answer's head never came
    std::string response_body;
    std::string error;
};

// "http://host:port/prefix" split up; `ok` false for anything else.
struct HttpUrl {
    bool ok = false;
    std::string host;
    std::string port = "80";
    std::string prefix;  // path prefix without a trailing '/'
};
[[nodiscard]] HttpUrl ParseHttpUrl(const std::string& url);

class BackendTap {
  public:
    BackendTap() = default;
    ~BackendTap();
    BackendTap(const BackendTap&) = delete;
    BackendTap& operator=(const BackendTap&) = delete;

    // Listens on a free loopback port and relays to `upstream`.
    [[nodiscard]] bool Start(const std::string& upstream, std::string& error);
    // Waits for exchanges under way, then closes.
    void Stop();
    // The URL the plugin must post to (upstream's path prefix included).
    [[nodiscard]] std::string Url() const;
    // While down, every connection is reset unanswered, as by a backend
    // that is not running.
    void SetDown(bool down) { down_ = down; }
    // Exchanges finished since the last call, in the order they finished.
    [[nodiscard]] std::vector<TapExchange> TakeExchanges();

  private:
    void AcceptLoop();
    void Serve(int client);
    // Passes one request on and the answer back to `client`.
    TapExchange Relay(int client, const std::string& head, const std::string& body);

    HttpUrl upstream_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> down_{false};
    std::thread acceptor_;
    std::atomic<int> active_{0};  // exchanges under way, each on a detached thread
    std::mutex mutex_;            // guards finished_: the tap's own, never plugin state
    std::vector<TapExchange> finished_;
};

}  // namespace ironpost::sim
