// SubmitPlainHttpPost against real peers on 127.0.0.1: a scripted in-test
// server (including hostile ones) and, as an independent implementation,
// Python's http.server.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ironpost_backend_transport.h"
#include "loopback_server.h"

extern char** environ;

namespace ironpost {
namespace {

using ironpost_test::LoopbackServer;
using ironpost_test::ScriptedConnection;

BackendHttpPostRequest Post(const std::string& url, std::string body = "{\"n\":1}") {
    BackendHttpPostRequest request;
    request.url = url;
    request.content_type = "application/json";
    request.headers = {{"X-IronPost-Server-Id", "srv-1"}, {"", "dropped"}, {"X-Trace", "a b"}};
    request.body = std::move(body);
    return request;
}

ScriptedConnection Reply(std::string bytes) {
    ScriptedConnection entry;
    entry.reply = std::move(bytes);
    return entry;
}

TEST(PlainHttpLoopback, SendsTheExactRequestAndReadsTheReply) {
    LoopbackServer server({Reply("HTTP/1.1 201 Created\r\nX-Y: z\r\n\r\n{\"accepted\":true}")});
    const BackendHttpResponse response = SubmitPlainHttpPost(Post(server.Url("/v1/x")), 2000);
    server.Stop();
    EXPECT_EQ(response.error, "");
    EXPECT_EQ(response.status_code, 201);
    EXPECT_EQ(response.body, "{\"accepted\":true}");
    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(server.Requests()[0],
              "POST /v1/x HTTP/1.1\r\n"
              "Host: 127.0.0.1:" +
                  std::to_string(server.Port()) +
                  "\r\n"
                  "Connection: close\r\n"
                  "Content-Type: application/json\r\n"
                  "X-IronPost-Server-Id: srv-1\r\n"
                  "X-Trace: a b\r\n"
                  "Content-Length: 7\r\n\r\n"
                  "{\"n\":1}");
}

// Each entry is a slow or misbehaving peer; the worker must come back with the
// reply or an error rather than stall, crash or buffer without end.
TEST(PlainHttpLoopback, HostilePeersEndInErrors) {
    ScriptedConnection silent;
    silent.hold_ms = 3000;
    ScriptedConnection endless = Reply("HTTP/1.1 200 OK\r\n\r\n");
    endless.endless = true;
    endless.drip_interval_ms = 20;
    ScriptedConnection flood = Reply("HTTP/1.1 200 OK\r\n\r\n" + std::string(2 * 1024 * 1024, 'f'));
    flood.hold_ms = 3000;
    ScriptedConnection mute = Reply("");
    ScriptedConnection slow = Reply("HTTP/1.1 200 OK\r\n\r\n" + std::string(100, 'b'));
    slow.drip_bytes = 40;
    slow.drip_interval_ms = 5;
    const struct {
        const char* name;
        ScriptedConnection peer;
        std::int32_t status;
        std::string error;
    } cases[] = {{"answers in small pieces", slow, 200, ""},
                 {"stalls after the request", silent, 0,
                  "receive failed: " + std::string(std::strerror(EAGAIN))},
                 {"drips without end", endless, 0, "request timed out after 1000 ms"},
                 {"floods", flood, 0, "response too large: more than 1048576 bytes"},
                 {"closes without a reply", mute, 0, "malformed HTTP response"}};
    for (const auto& c : cases) {
        LoopbackServer server({c.peer});
        const BackendHttpResponse response = SubmitPlainHttpPost(Post(server.Url("/")), 250);
        EXPECT_EQ(response.error, c.error) << c.name;
        EXPECT_EQ(response.status_code, c.status) << c.name;
        EXPECT_EQ(response.body, c.status == 0 ? "" : std::string(100, 'b')) << c.name;
    }
}

// A peer that hangs up while a big body is still going out would raise
// SIGPIPE, whose default action ends the whole game server.
TEST(PlainHttpLoopback, PeerHangingUpMidSendRaisesNoSignal) {
    struct sigaction previous {};
    struct sigaction fatal {};
    fatal.sa_handler = SIG_DFL;
    ASSERT_EQ(::sigaction(SIGPIPE, &fatal, &previous), 0);
    ScriptedConnection hang_up;
    hang_up.hang_up_mid_request = true;
    LoopbackServer server({hang_up});
    const BackendHttpResponse response =
        SubmitPlainHttpPost(Post(server.Url("/"), std::string(32 * 1024 * 1024, 'z')), 2000);
    ::sigaction(SIGPIPE, &previous, nullptr);
    EXPECT_EQ(response.status_code, 0);
    EXPECT_TRUE(response.error.rfind("send failed: ", 0) == 0 ||
                response.error.rfind("receive failed: ", 0) == 0)
        << response.error;
}

TEST(PlainHttpLoopback, RefusedRequestsOpenNoConnection) {
    LoopbackServer server({Reply("HTTP/1.1 200 OK\r\n\r\n")});
    BackendHttpPostRequest request = Post(server.Url("/x"));
    request.headers.push_back({"X-Token", "t\r\nX-Injected: 1"});
    EXPECT_EQ(SubmitPlainHttpPost(request, 500).error, "invalid header value for X-Token");
    EXPECT_EQ(SubmitPlainHttpPost(Post(server.Url("/x\nGET /admin")), 500).error,
              "invalid URL path");
    server.Stop();
    EXPECT_EQ(server.Accepted(), 0u);
}

TEST(PlainHttpLoopback, ConnectionRefusedAndResolveFailure) {
    // Bound but not listening: every connection attempt is refused.
    const int bound = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(bound, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    socklen_t length = sizeof(address);
    ASSERT_EQ(::getsockname(bound, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/";
    EXPECT_EQ(SubmitPlainHttpPost(Post(url), 500).error,
              "connect failed: " + std::string(std::strerror(ECONNREFUSED)));
    ::close(bound);

    // An unknown service name fails in the resolver without any network.
    const BackendHttpResponse unresolved =
        SubmitPlainHttpPost(Post("http://127.0.0.1:no-such-service/"), 500);
    EXPECT_EQ(unresolved.error.rfind("resolve failed: ", 0), 0u) << unresolved.error;
    EXPECT_GT(unresolved.error.size(), std::strlen("resolve failed: "));
}

// A listener whose accept queue is full drops new SYNs, like a black-holed
// address: connect must give up after the time-out instead of the kernel's
// minutes-long SYN retries.
TEST(PlainHttpLoopback, ConnectToAnUnansweringPeerTimesOut) {
    LoopbackServer server({}, 0);
    std::vector<int> fillers;
    bool probe_connected = true;
    for (int i = 0; i < 4 && probe_connected; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        fillers.push_back(fd);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(server.Port());
        (void)::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        pollfd entry{fd, POLLOUT, 0};
        probe_connected = ::poll(&entry, 1, 200) > 0;
    }
    if (!probe_connected) {
        const BackendHttpResponse response = SubmitPlainHttpPost(Post(server.Url("/")), 200);
        EXPECT_EQ(response.error, "connect failed: " + std::string(std::strerror(ETIMEDOUT)));
    }
    for (const int fd : fillers) {
        ::close(fd);
    }
    if (probe_connected) {
        GTEST_SKIP() << "this kernel completes connections beyond a full accept queue";
    }
}

// --- Python's http.server as an independent peer -----------------------------

const char kPythonPeer[] = R"PY(
import http.server, json, sys
class Handler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers.get('Content-Length', '0'))).decode('latin-1')
        if self.path == '/echo':
            code, reply = 200, {'path': self.path, 'headers': [[k, v] for k, v in self.headers.items()], 'body': body}
        elif self.path == '/v1/plugin/settlements':
            code, reply = 200, {'accepted': True, 'requestId': self.headers.get('X-IronPost-Request-Id'),
                                'relay': {'extrinsicStatus': 'queued', 'errors': []}}
        else:
            code, reply = 503, {'accepted': False, 'errors': ['busy']}
        out = json.dumps(reply, separators=(',', ':')).encode()
        self.send_response(code)
        self.send_header('Content-Type', 'application/json')
        self.send_header('Content-Length', str(len(out)))
        self.end_headers()
        self.wfile.write(out)
    def log_message(self, *args):
        pass
server = http.server.HTTPServer(('127.0.0.1', 0), Handler)
server.timeout = 5
print(server.server_address[1], flush=True)
for _ in range(int(sys.argv[1])):
    server.handle_request()
)PY";

bool OnPath(const char* program) {
    const char* path = std::getenv("PATH");
    std::string dirs = path == nullptr ? "" : path;
    for (std::size_t start = 0; start <= dirs.size();) {
        const std::size_t end = std::min(dirs.find(':', start), dirs.size());
        const std::string candidate = dirs.substr(start, end - start) + "/" + program;
        if (end > start && ::access(candidate.c_str(), X_OK) == 0) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

// Runs the script above for at most `requests` requests (each waited for at
// most 5 s), so the child ends by itself; the destructor ends it sooner.
class PythonPeer {
  public:
    explicit PythonPeer(int requests) {
        if (!OnPath("python3") || ::pipe(pipe_) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipe_[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, pipe_[0]);
        const std::string count = std::to_string(requests);
        char* argv[] = {const_cast<char*>("python3"), const_cast<char*>("-c"),
                        const_cast<char*>(kPythonPeer), const_cast<char*>(count.c_str()), nullptr};
        if (posix_spawnp(&pid_, "python3", &actions, nullptr, argv, environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(pipe_[1]);
        std::string line;
        pollfd entry{pipe_[0], POLLIN, 0};
        char c = 0;
        while (pid_ > 0 && line.size() < 16 && ::poll(&entry, 1, 10000) > 0 &&
               ::read(pipe_[0], &c, 1) == 1 && c != '\n') {
            line.push_back(c);
        }
        port_ = std::atoi(line.c_str());
    }
    ~PythonPeer() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(pipe_[0]);
    }
    bool Running() const { return pid_ > 0 && port_ > 0; }
    std::string Url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }

  private:
    int pipe_[2] = {-1, -1};
    pid_t pid_ = -1;
    int port_ = 0;
};

std::string JsonMember(const std::string& json, const std::string& key) {
    return ExtractObjectFieldValue(json, key).value_or("<absent>");
}

TEST(PlainHttpPythonPeer, ParsesOurRequestAsWeMeantIt) {
    PythonPeer peer(1);
    if (!peer.Running()) {
        GTEST_SKIP() << "python3 is not available";
    }
    const BackendHttpResponse response = SubmitPlainHttpPost(Post(peer.Url("/echo")), 5000);
    ASSERT_EQ(response.error, "");
    EXPECT_EQ(response.status_code, 200);
    EXPECT_EQ(JsonMember(response.body, "path"), "\"/echo\"");
    EXPECT_EQ(JsonMember(response.body, "body"), "\"{\\\"n\\\":1}\"");
    const std::string port = peer.Url("").substr(std::strlen("http://127.0.0.1:"));
    EXPECT_EQ(JsonMember(response.body, "headers"),
              "[[\"Host\",\"127.0.0.1:" + port +
                  "\"],[\"Connection\",\"close\"],[\"Content-Type\",\"application/json\"],"
                  "[\"X-IronPost-Server-Id\",\"srv-1\"],[\"X-Trace\",\"a b\"],"
                  "[\"Content-Length\",\"7\"]]");
}

class DirectClient : public BackendHttpClient {
  public:
    BackendHttpResponse PostJson(const BackendHttpPostRequest& request) override {
        ++posts;
        return SubmitPlainHttpPost(request, 5000);
    }
    int posts = 0;
};

TEST(PlainHttpPythonPeer, SettlementTransportEndToEnd) {
    PythonPeer peer(3);
    if (!peer.Running()) {
        GTEST_SKIP() << "python3 is not available";
    }
    BackendTransportOptions options;
    options.backend_url = peer.Url("/");
    options.retry_policy.max_attempts = 2;
    DirectClient client;
    HttpBackendSettlementTransport transport(options, client);
    PluginSettlementHttpRequest request;
    request.path = "/v1/plugin/settlements";
    request.content_type = "application/json";
    request.request_id = "req-9";
    request.server_id = "srv-1";
    request.body = "{}";

    const PluginSettlementIntakeResponse accepted = transport.SubmitSettlementRequest(request);
    EXPECT_TRUE(accepted.accepted);
    EXPECT_EQ(accepted.request_id, "req-9");
    EXPECT_EQ(accepted.relay_status, SettlementRelayStatus::Queued);

    request.path = "/elsewhere";
    const PluginSettlementIntakeResponse rejected = transport.SubmitSettlementRequest(request);
    EXPECT_FALSE(rejected.accepted);
    EXPECT_EQ(rejected.status_code, 503);
    EXPECT_EQ(rejected.errors,
              (std::vector<std::string>{"busy", "backend returned HTTP 503",
                                        "backend retry attempts exhausted after 2 attempts"}));
    EXPECT_EQ(client.posts, 3);
}

}  // namespace
}  // namespace ironpost
