// SubmitPlainHttpPost against real peers on 127.0.0.1: a scripted in-test
// server (including hostile ones) and, as an independent implementation,
// Python's http.server.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <string>
#include <vector>

#include "ironpost_backend_transport.h"
#include "loopback_server.h"

namespace ironpost {
namespace {

using ironpost_test::Answer;
using ironpost_test::LoopbackServer;

BackendHttpPostRequest Post(const std::string& url, std::string body = "{\"n\":1}") {
    return {url,
            "application/json",
            {{"X-IronPost-Server-Id", "srv-1"}, {"", "dropped"}, {"X-Trace", "a b"}},
            std::move(body),
            nullptr};
}

std::string Errno(const char* prefix, int error) {
    return prefix + std::string(std::strerror(error));
}

// Open descriptors of this process: the count grows when a socket is left open.
int OpenFds() {
    int open = 0;
    for (int fd = 0; fd < 4096; ++fd) {
        open += ::fcntl(fd, F_GETFD) != -1 ? 1 : 0;
    }
    return open;
}

TEST(PlainHttpLoopback, SendsTheExactRequestAndReadsTheReply) {
    LoopbackServer server(Answer("HTTP/1.1 201 Created\r\nX-Y: z\r\n\r\n{\"accepted\":true}"));
    const BackendHttpResponse response = SubmitPlainHttpPost(Post(server.Url("/v1/x")), 2000);
    server.Stop();
    EXPECT_EQ(response.error, "");
    EXPECT_EQ(response.status_code, 201);
    EXPECT_EQ(response.body, "{\"accepted\":true}");
    EXPECT_EQ(server.Requests(),
              std::vector<std::string>{
                  "POST /v1/x HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server.Port()) +
                  "\r\nConnection: close\r\nContent-Type: application/json\r\n"
                  "X-IronPost-Server-Id: srv-1\r\nX-Trace: a b\r\n"
                  "Content-Length: 7\r\n\r\n{\"n\":1}"});
}

// Each peer is slow or misbehaving: the worker must come back with the reply
// or an error rather than stall, crash, buffer without end or leak its socket.
TEST(PlainHttpLoopback, HostilePeersEndInErrorsAndCloseTheSocket) {
    const std::string ok = "HTTP/1.1 200 OK\r\n\r\n";
    const struct {
        ironpost_test::PeerBehaviour peer;
        std::int32_t status;
        std::string error;
    } cases[] = {
        {Answer(ok + std::string(100, 'b'), 40, 5), 200, ""},
        {Answer("", 0, 0, false, 600), 0, Errno("receive failed: ", EAGAIN)},
        {Answer(ok, 0, 20, true), 0, "request timed out after 1000 ms"},
        {Answer(ok + std::string(2 << 20, 'f')), 0, "response too large: more than 1048576 bytes"},
        {Answer(""), 0, "malformed HTTP response"}};
    const int open_fds = OpenFds();
    for (const auto& c : cases) {
        LoopbackServer server(c.peer);
        const BackendHttpResponse response = SubmitPlainHttpPost(Post(server.Url("/")), 250);
        EXPECT_EQ(response.error, c.error);
        EXPECT_EQ(response.status_code, c.status) << c.error;
        EXPECT_EQ(response.body, c.status == 0 ? "" : std::string(100, 'b')) << c.error;
    }
    EXPECT_EQ(OpenFds(), open_fds);
}

// A peer hanging up while a big body is still going out would raise SIGPIPE,
// whose default action ends the whole game server.
TEST(PlainHttpLoopback, PeerHangingUpMidSendRaisesNoSignal) {
    struct sigaction previous {};
    struct sigaction fatal {};
    fatal.sa_handler = SIG_DFL;
    ASSERT_EQ(::sigaction(SIGPIPE, &fatal, &previous), 0);
    // Like a server refusing an oversized upload: FIN first, then a reset for
    // the bytes still arriving, so the client's next send meets a closed pipe.
    LoopbackServer server([](int fd) {
        char first[1024];
        if (ironpost_test::WaitFor(fd, POLLIN)) {
            (void)::recv(fd, first, sizeof(first), 0);
        }
        (void)::shutdown(fd, SHUT_WR);
        ironpost_test::WaitFor(-1, 0, 50);
        return std::string();
    });
    const BackendHttpResponse response =
        SubmitPlainHttpPost(Post(server.Url("/"), std::string(32 << 20, 'z')), 2000);
    ::sigaction(SIGPIPE, &previous, nullptr);
    EXPECT_EQ(response.status_code, 0);
    EXPECT_TRUE(response.error.rfind("send failed: ", 0) == 0 ||
                response.error.rfind("receive failed: ", 0) == 0)
        << response.error;
}

TEST(PlainHttpLoopback, RefusedRequestsOpenNoConnection) {
    LoopbackServer server(Answer("HTTP/1.1 200 OK\r\n\r\n"));
    BackendHttpPostRequest request = Post(server.Url("/x"));
    request.headers.push_back({"X-Token", "t\r\nX-Injected: 1"});
    EXPECT_EQ(SubmitPlainHttpPost(request, 500).error, "invalid header value for X-Token");
    EXPECT_EQ(SubmitPlainHttpPost(Post(server.Url("/x\nGET /admin")), 500).error,
              "invalid URL path");
    server.Stop();
    EXPECT_TRUE(server.Requests().empty());
}

TEST(PlainHttpLoopback, ConnectionRefusedAndResolveFailure) {
    // Bound but not listening: every connection attempt is refused.
    const int bound = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    ASSERT_EQ(::bind(bound, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(::getsockname(bound, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/";
    EXPECT_EQ(SubmitPlainHttpPost(Post(url), 500).error, Errno("connect failed: ", ECONNREFUSED));
    ::close(bound);

    // An unknown service name fails in the resolver without any network.
    const std::string error =
        SubmitPlainHttpPost(Post("http://127.0.0.1:no-such-service/"), 500).error;
    EXPECT_EQ(error.rfind("resolve failed: ", 0), 0u) << error;
    EXPECT_GT(error.size(), std::strlen("resolve failed: "));
}

// A resolver that hangs must not hold the exchange past its deadline, and
// literal addresses must not wait for a resolver at all.
std::promise<void>* g_resolver_gate = nullptr;
int HangingLookup(const char* host, const char* service, const addrinfo* hints, addrinfo** out) {
    g_resolver_gate->get_future().wait();
    return ::getaddrinfo(host, service, hints, out);
}

TEST(NameLookup, GivesUpAtTheDeadlineAndLeavesTheLookupSafe) {
    std::promise<void> gate;
    g_resolver_gate = &gate;
    const auto soon = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
    PluginThread left;
    const NameLookupResult timed_out =
        LookUpHostByDeadline("localhost", "80", soon, &left, HangingLookup);
    EXPECT_EQ(timed_out.error, "resolve timed out");
    EXPECT_EQ(timed_out.addresses, nullptr);
    ASSERT_TRUE(left.thread.joinable());
    EXPECT_FALSE(left.finished->load());
    gate.set_value();
    left.thread.join();
    EXPECT_TRUE(left.finished->load());

    const auto past = std::chrono::steady_clock::now() - std::chrono::seconds(1);
    const NameLookupResult literal = LookUpHostByDeadline("127.0.0.1", "9", past, nullptr, nullptr);
    EXPECT_EQ(literal.error, "");
    EXPECT_NE(literal.addresses, nullptr);
}

// A listener whose accept queue is full drops new SYNs like a black-holed
// address: connect must give up after the time-out, not after the kernel's
// minutes of SYN retries.
TEST(PlainHttpLoopback, ConnectToAnUnansweringPeerTimesOut) {
    LoopbackServer server(nullptr, 0);
    std::vector<int> fillers;
    bool connected = true;
    for (int i = 0; i < 4 && connected; ++i) {
        fillers.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(server.Port());
        (void)::connect(fillers.back(), reinterpret_cast<sockaddr*>(&address), sizeof(address));
        pollfd entry{fillers.back(), POLLOUT, 0};
        connected = ::poll(&entry, 1, 200) > 0;
    }
    const std::string error =
        connected ? "" : SubmitPlainHttpPost(Post(server.Url("/")), 200).error;
    for (const int fd : fillers) {
        ::close(fd);
    }
    if (connected) {
        GTEST_SKIP() << "this kernel completes connections beyond a full accept queue";
    }
    EXPECT_EQ(error, Errno("connect failed: ", ETIMEDOUT));
}

// Python's http.server, an independent implementation, echoes the request as
// it understood it. It serves one request, waiting at most 5 s, and then ends.
const char kPythonPeer[] = R"PY(
import http.server, json
class Handler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers.get('Content-Length', '0'))).decode('latin-1')
        out = json.dumps({'path': self.path, 'headers': [[k, v] for k, v in self.headers.items()],
                          'body': body}, separators=(',', ':')).encode()
        self.send_response(200)
        self.send_header('Content-Length', str(len(out)))
        self.end_headers()
        self.wfile.write(out)
    def log_message(self, *args):
        pass
server = http.server.HTTPServer(('127.0.0.1', 0), Handler)
server.timeout = 5
print(server.server_address[1], flush=True)
server.handle_request()
)PY";

TEST(PlainHttpPythonPeer, ParsesOurRequestAsWeMeantIt) {
    char script[] = "/tmp/ironpost_peer_XXXXXX";
    const int fd = ::mkstemp(script);
    ASSERT_GE(fd, 0);
    ::close(fd);
    std::ofstream(script, std::ios::binary) << kPythonPeer;
    FILE* peer = ::popen(("python3 " + std::string(script) + " 2>/dev/null").c_str(), "r");
    char port[32] = {};
    const bool running = peer != nullptr && std::fgets(port, sizeof(port), peer) != nullptr;
    const std::string host = "127.0.0.1:" + std::to_string(std::atoi(port));
    const BackendHttpResponse response =
        running ? SubmitPlainHttpPost(Post("http://" + host + "/echo"), 5000)
                : BackendHttpResponse{};
    if (peer != nullptr) {
        ::pclose(peer);
    }
    std::remove(script);
    if (!running) {
        GTEST_SKIP() << "python3 is not available";
    }
    ASSERT_EQ(response.error, "");
    EXPECT_EQ(response.status_code, 200);
    const auto member = [&](const char* key) {
        return ExtractObjectFieldValue(response.body, key).value_or("<absent>");
    };
    EXPECT_EQ(member("path"), "\"/echo\"");
    EXPECT_EQ(member("body"), "\"{\\\"n\\\":1}\"");
    EXPECT_EQ(member("headers"),
              "[[\"Host\",\"" + host +
                  "\"],[\"Connection\",\"close\"],[\"Content-Type\",\"application/json\"],"
                  "[\"X-IronPost-Server-Id\",\"srv-1\"],[\"X-Trace\",\"a b\"],"
                  "[\"Content-Length\",\"7\"]]");
}

}  // namespace
}  // namespace ironpost
