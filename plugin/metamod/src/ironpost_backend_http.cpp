// The plain HTTP/1.1 client (URL handling, the request text, one blocking POST
// over a fresh connection, the reading of the reply bytes), the two small JSON
// readers used on backend replies, and the settlement intake reply parser.

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <future>
#include <memory>
#include <utility>

#include "ironpost_backend_transport.h"

namespace ironpost {
namespace {

using Clock = std::chrono::steady_clock;

// Owns one socket descriptor and closes it on every way out of a scope.
class SocketHandle {
  public:
    explicit SocketHandle(int fd) : fd_(fd) {}
    ~SocketHandle() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    SocketHandle(const SocketHandle&) = delete;
    SocketHandle& operator=(const SocketHandle&) = delete;
    SocketHandle(SocketHandle&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    SocketHandle& operator=(SocketHandle&& other) noexcept {
        if (this != &other) {
            SocketHandle doomed(fd_);
            fd_ = other.fd_;
            other.fd_ = -1;
        }
        return *this;
    }
    [[nodiscard]] int Get() const { return fd_; }
    [[nodiscard]] bool Valid() const { return fd_ >= 0; }

  private:
    std::int32_t fd_ = -1;
};

// One name lookup, shared by the thread that runs it and the thread that
// waits for it, so that either may be the last to let go of it.
struct NameLookupJob {
    std::string host;
    std::string port;
    int status = EAI_FAIL;
    addrinfo* list = nullptr;
    std::promise<void> done;            // status and list are final
    std::atomic<bool> finished{false};  // the lookup thread has nothing left to do

    ~NameLookupJob() {
        if (list != nullptr) {
            ::freeaddrinfo(list);
        }
    }
};

addrinfo StreamHints(int flags) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags;
    return hints;
}

bool IsControlOrSpace(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte <= 0x20 || byte == 0x7f;
}

// Header names are tokens: no separators that would change the header's
// meaning, no white space and no control bytes.
bool IsValidHeaderName(const std::string& name) {
    return std::none_of(name.begin(), name.end(),
                        [](char c) { return IsControlOrSpace(c) || c == ':'; });
}

// Header values may hold spaces and tabs but nothing that ends the line.
bool IsValidHeaderValue(const std::string& value) {
    return std::none_of(value.begin(), value.end(),
                        [](char c) { return c == '\r' || c == '\n' || c == '\0'; });
}

std::string ErrnoText(const char* prefix, int error_number) {
    return std::string(prefix) + std::strerror(error_number);
}

// One wait of a step: at most the per-call time-out, never past the
// exchange deadline. `overall` tells which of the two limits applies.
struct StepLimit {
    Clock::time_point until;
    bool overall = false;
};

StepLimit NextStepLimit(std::chrono::milliseconds timeout, Clock::time_point deadline) {
    const Clock::time_point step = Clock::now() + timeout;
    if (deadline <= step) {
        return {deadline, true};
    }
    return {step, false};
}

// Waits until `fd` is ready for `events` or `until` passes.
// Returns 1 when ready, 0 on time-out, -1 on error (errno set).
int WaitReady(int fd, short events, Clock::time_point until) {
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
        if (left.count() < 0) {
            return 0;
        }
        // Round up so that a wait never ends just before the limit.
        const long long wait_ms = std::min<long long>(left.count() + 1, INT_MAX);
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(wait_ms));
        if (ready > 0) {
            return 1;
        }
        if (ready < 0 && errno != EINTR) {
            return -1;
        }
        if (ready == 0 && Clock::now() >= until) {
            return 0;
        }
    }
}

void SetSocketTimeouts(int fd, std::uint32_t timeout_ms) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(timeout_ms / 1000);
    tv.tv_usec = static_cast<suseconds_t>((timeout_ms % 1000) * 1000);
    (void)::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    (void)::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
}

// Connects one socket without blocking past `timeout`. Returns an invalid
// handle with errno set on failure.
SocketHandle ConnectOne(const addrinfo& address, std::uint32_t timeout_ms,
                        Clock::time_point deadline) {
    SocketHandle socket_handle(
        ::socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC, address.ai_protocol));
    if (!socket_handle.Valid()) {
        return socket_handle;
    }
    const int fd = socket_handle.Get();
    SetSocketTimeouts(fd, timeout_ms);
    const int flags = ::fcntl(fd, F_GETFL, 0);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        const int saved = errno;
        socket_handle = SocketHandle(-1);
        errno = saved;
        return socket_handle;
    }
    if (::connect(fd, address.ai_addr, address.ai_addrlen) == 0) {
        return socket_handle;
    }
    if (errno != EINPROGRESS && errno != EINTR) {
        const int saved = errno;
        socket_handle = SocketHandle(-1);
        errno = saved;
        return socket_handle;
    }
    const StepLimit limit = NextStepLimit(std::chrono::milliseconds(timeout_ms), deadline);
    const int ready = WaitReady(fd, POLLOUT, limit.until);
    int failure = 0;
    if (ready == 0) {
        failure = ETIMEDOUT;
    } else if (ready < 0) {
        failure = errno;
    } else {
        socklen_t length = sizeof(failure);
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &failure, &length) < 0) {
            failure = errno;
        }
    }
    if (failure != 0) {
        socket_handle = SocketHandle(-1);
        errno = failure;
    }
    return socket_handle;
}

// Sends all of `text`. Returns an error text, empty on success.
std::string SendAll(int fd, const std::string& text, std::uint32_t timeout_ms,
                    Clock::time_point deadline, const std::string& deadline_error) {
    std::size_t sent = 0;
    while (sent < text.size()) {
        const StepLimit limit = NextStepLimit(std::chrono::milliseconds(timeout_ms), deadline);
        const int ready = WaitReady(fd, POLLOUT, limit.until);
        if (ready == 0) {
            return limit.overall ? deadline_error : ErrnoText("send failed: ", EAGAIN);
        }
        if (ready < 0) {
            return ErrnoText("send failed: ", errno);
        }
        // MSG_NOSIGNAL: a peer that hung up must give EPIPE, not a SIGPIPE
        // that would take the whole game server down.
        const ssize_t written =
            ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (written > 0) {
            sent += static_cast<std::size_t>(written);
            continue;
        }
        if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            continue;
        }
        return ErrnoText("send failed: ", written == 0 ? EPIPE : errno);
    }
    return {};
}

// Receives until the peer closes. Returns an error text, empty on success.
std::string ReceiveAll(int fd, std::string& received, std::uint32_t timeout_ms,
                       Clock::time_point deadline, const std::string& deadline_error) {
    char chunk[4096];
    for (;;) {
        const StepLimit limit = NextStepLimit(std::chrono::milliseconds(timeout_ms), deadline);
        const int ready = WaitReady(fd, POLLIN, limit.until);
        if (ready == 0) {
            return limit.overall ? deadline_error : ErrnoText("receive failed: ", EAGAIN);
        }
        if (ready < 0) {
            return ErrnoText("receive failed: ", errno);
        }
        const ssize_t count = ::recv(fd, chunk, sizeof(chunk), MSG_DONTWAIT);
        if (count == 0) {
            return {};
        }
        if (count < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                continue;
            }
            return ErrnoText("receive failed: ", errno);
        }
        received.append(chunk, static_cast<std::size_t>(count));
        if (received.size() > kMaxHttpResponseBytes) {
            return "response too large: more than " + std::to_string(kMaxHttpResponseBytes) +
                   " bytes";
        }
    }
}

// Signed decimal with optional leading white space and sign, stopping at the
// first non-digit; nothing when there is no digit or it does not fit 32 bits.
std::optional<std::int32_t> ParseStatusCode(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && IsAsciiWhitespace(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    std::int64_t value = 0;
    std::size_t digits = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<std::int64_t>(INT32_MAX) + 1) {
            return std::nullopt;
        }
    }
    if (digits == 0) {
        return std::nullopt;
    }
    if (negative) {
        value = -value;
    }
    if (value > INT32_MAX || value < INT32_MIN) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(value);
}

// Index just past the string token that starts with the quote at `quote`, or
// text.size() when it never closes. Escapes are stepped over undecoded.
std::size_t SkipJsonString(const std::string& text, std::size_t quote) {
    std::size_t i = quote + 1;
    while (i < text.size()) {
        if (text[i] == '\\') {
            i += 2;
        } else if (text[i] == '"') {
            return i + 1;
        } else {
            ++i;
        }
    }
    return text.size();
}

// Index of the "," (or, inside an object, the "}") that ends the value
// starting at `begin` at nesting depth 0, or npos when the text ends first. Depth is a counter, not
// recursion, so deep nesting costs nothing but a number.
std::size_t FindValueEnd(const std::string& text, std::size_t begin, bool in_object) {
    std::size_t depth = 0;
    std::size_t i = begin;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '"') {
            i = SkipJsonString(text, i);
            continue;
        }
        if (depth == 0 && (c == ',' || (in_object && c == '}'))) {
            return i;
        }
        if (c == '{' || c == '[') {
            ++depth;
        } else if ((c == '}' || c == ']') && depth > 0) {
            --depth;
        }
        ++i;
    }
    return std::string::npos;
}

std::size_t SkipSpace(const std::string& text, std::size_t i) {
    while (i < text.size() && IsAsciiWhitespace(text[i])) {
        ++i;
    }
    return i;
}

// The elements of a JSON array, trimmed; nothing when `value` is not an array.
std::optional<std::vector<std::string>> SplitJsonArray(const std::string& value) {
    if (value.size() < 2 || value.front() != '[' || value.back() != ']') {
        return std::nullopt;
    }
    const std::string inner = value.substr(1, value.size() - 2);
    std::vector<std::string> elements;
    if (TrimAsciiWhitespace(inner).empty()) {
        return elements;
    }
    std::size_t begin = 0;
    for (;;) {
        const std::size_t end = FindValueEnd(inner, begin, false);
        if (end == std::string::npos) {
            elements.push_back(TrimAsciiWhitespace(inner.substr(begin)));
            return elements;
        }
        elements.push_back(TrimAsciiWhitespace(inner.substr(begin, end - begin)));
        begin = end + 1;
    }
}

// Appends the string elements of the array member `key` to `errors`; other
// elements, and a member that is not an array, are ignored.
void AppendErrorsFromField(const std::string& json, const std::string& key,
                           std::vector<std::string>& errors) {
    const std::optional<std::string> value = ExtractObjectFieldValue(json, key);
    if (!value) {
        return;
    }
    const std::optional<std::vector<std::string>> elements =
        SplitJsonArray(TrimAsciiWhitespace(*value));
    if (!elements) {
        return;
    }
    for (const std::string& element : *elements) {
        if (std::optional<std::string> text = ParseJsonStringToken(element)) {
            errors.push_back(std::move(*text));
        }
    }
}

std::optional<std::string> ExtractStringField(const std::string& json, const std::string& key) {
    const std::optional<std::string> value = ExtractObjectFieldValue(json, key);
    if (!value) {
        return std::nullopt;
    }
    return ParseJsonStringToken(*value);
}

// An optional "-" and decimal digits only, fitting 32 bits.
std::optional<std::int32_t> ParseStrictInt32(const std::string& text) {
    const std::size_t start = !text.empty() && text.front() == '-' ? 1 : 0;
    if (start == text.size()) {
        return std::nullopt;
    }
    for (std::size_t i = start; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return std::nullopt;
        }
    }
    return ParseStatusCode(text);
}

}  // namespace

std::string BuildBackendUrl(const std::string& base, const std::string& path) {
    if (base.empty()) {
        return path;
    }
    if (path.empty()) {
        return base;
    }
    const bool base_slash = base.back() == '/';
    const bool path_slash = path.front() == '/';
    if (base_slash && path_slash) {
        return base + path.substr(1);
    }
    if (!base_slash && !path_slash) {
        return base + "/" + path;
    }
    return base + path;
}

std::optional<ParsedHttpUrl> ParseHttpUrl(const std::string& url) {
    static const std::string kScheme = "http://";
    if (url.compare(0, kScheme.size(), kScheme) != 0) {
        return std::nullopt;
    }
    const std::string rest = url.substr(kScheme.size());
    const std::size_t slash = rest.find('/');
    const std::string authority = rest.substr(0, slash);
    ParsedHttpUrl parsed;
    if (slash != std::string::npos) {
        parsed.path = rest.substr(slash);
    }
    // An IPv6 literal carries colons of its own; its port follows the "]".
    const std::size_t bracket = authority.find(']');
    std::size_t colon = std::string::npos;
    if (!authority.empty() && authority.front() == '[' && bracket != std::string::npos) {
        if (bracket + 1 < authority.size() && authority[bracket + 1] == ':') {
            colon = bracket + 1;
        }
    } else {
        colon = authority.rfind(':');
    }
    if (colon == std::string::npos) {
        parsed.host = authority;
    } else {
        parsed.host = authority.substr(0, colon);
        parsed.port = authority.substr(colon + 1);
    }
    return parsed;
}

PlainHttpRequestText BuildPlainHttpRequestText(const ParsedHttpUrl& url,
                                               const BackendHttpPostRequest& request) {
    PlainHttpRequestText result;
    const auto bad = [](const std::string& text) {
        return std::any_of(text.begin(), text.end(), IsControlOrSpace);
    };
    if (bad(url.host) || bad(url.port)) {
        result.error = "invalid URL host";
        return result;
    }
    if (bad(url.path)) {
        result.error = "invalid URL path";
        return result;
    }
    if (!IsValidHeaderValue(request.content_type)) {
        result.error = "invalid content type";
        return result;
    }
    for (const PluginHttpHeader& header : request.headers) {
        if (header.name.empty()) {
            continue;
        }
        if (!IsValidHeaderName(header.name)) {
            result.error = "invalid header name";
            return result;
        }
        if (!IsValidHeaderValue(header.value)) {
            result.error = "invalid header value for " + header.name;
            return result;
        }
    }
    std::string& text = result.text;
    text.reserve(256 + request.body.size());
    text += "POST " + url.path + " HTTP/1.1\r\n";
    text += "Host: " + url.host;
    if (url.port != "80") {
        text += ":" + url.port;
    }
    text += "\r\nConnection: close\r\n";
    text += "Content-Type: " + request.content_type + "\r\n";
    for (const PluginHttpHeader& header : request.headers) {
        if (!header.name.empty()) {
            text += header.name + ": " + header.value + "\r\n";
        }
    }
    text += "Content-Length: " + std::to_string(request.body.size()) + "\r\n\r\n";
    text += request.body;
    return result;
}

BackendHttpResponse ParsePlainHttpResponse(const std::string& bytes) {
    BackendHttpResponse response;
    const std::size_t line_end = bytes.find("\r\n");
    if (line_end == std::string::npos) {
        response.error = "malformed HTTP response";
        return response;
    }
    const std::string status_line = bytes.substr(0, line_end);
    const std::size_t first_space = status_line.find(' ');
    if (first_space == std::string::npos) {
        response.error = "malformed HTTP status line";
        return response;
    }
    const std::size_t second_space = status_line.find(' ', first_space + 1);
    const std::string code_text =
        second_space == std::string::npos
            ? status_line.substr(first_space + 1)
            : status_line.substr(first_space + 1, second_space - first_space - 1);
    const std::optional<std::int32_t> code = ParseStatusCode(code_text);
    if (!code) {
        response.error = "malformed HTTP status code";
        return response;
    }
    response.status_code = *code;
    const std::size_t header_end = bytes.find("\r\n\r\n");
    if (header_end != std::string::npos) {
        response.body = bytes.substr(header_end + 4);
    }
    return response;
}

NameLookupResult LookUpHostByDeadline(const std::string& host, const std::string& port,
                                      Clock::time_point deadline, PluginThread* unfinished_lookup,
                                      NameLookupFunction lookup) {
    NameLookupResult result;
    auto job = std::make_shared<NameLookupJob>();
    // Literal addresses and ports resolve without asking anyone, so never block.
    const addrinfo numeric = StreamHints(AI_NUMERICHOST | AI_NUMERICSERV);
    if (::getaddrinfo(host.c_str(), port.c_str(), &numeric, &job->list) == 0) {
        result.addresses = std::shared_ptr<const addrinfo>(job, job->list);
        return result;
    }
    job->list = nullptr;
    job->host = host;
    job->port = port;
    std::future<void> done = job->done.get_future();
    std::thread thread;
    try {
        thread = std::thread([job, lookup] {
            const addrinfo hints = StreamHints(0);
            job->status = (lookup != nullptr ? lookup : ::getaddrinfo)(
                job->host.c_str(), job->port.c_str(), &hints, &job->list);
            job->done.set_value();
            job->finished.store(true, std::memory_order_release);
        });
    } catch (const std::exception& error) {
        result.error = std::string("resolve failed: ") + error.what();
        return result;
    }
    if (done.wait_until(deadline) != std::future_status::ready) {
        // A stuck resolver must not hold the exchange past its bound; the
        // thread keeps the job alive and frees it when it finally returns.
        PluginThread left{std::move(thread),
                          std::shared_ptr<const std::atomic<bool>>(job, &job->finished)};
        if (unfinished_lookup != nullptr) {
            *unfinished_lookup = std::move(left);
        } else {
            left.thread.detach();
        }
        result.error = "resolve timed out";
        return result;
    }
    thread.join();
    if (job->status != 0) {
        result.error = std::string("resolve failed: ") + ::gai_strerror(job->status);
        return result;
    }
    result.addresses = std::shared_ptr<const addrinfo>(job, job->list);
    return result;
}

BackendHttpResponse SubmitPlainHttpPost(const BackendHttpPostRequest& request,
                                        std::uint32_t timeout_ms, PluginThread* unfinished_lookup) {
    BackendHttpResponse response;
    if (timeout_ms == 0) {
        timeout_ms = kDefaultHttpTimeoutMs;
    }
    const std::optional<ParsedHttpUrl> url = ParseHttpUrl(request.url);
    if (!url) {
        response.error = "only plain http:// backend URLs are supported in alpha";
        return response;
    }
    PlainHttpRequestText text = BuildPlainHttpRequestText(*url, request);
    if (!text.error.empty()) {
        response.error = text.error;
        return response;
    }

    const std::uint64_t exchange_ms = kHttpExchangeTimeoutFactor * timeout_ms;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(exchange_ms);
    const std::string deadline_error =
        "request timed out after " + std::to_string(exchange_ms) + " ms";

    std::string host = url->host;
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    const NameLookupResult addresses =
        LookUpHostByDeadline(host, url->port, deadline, unfinished_lookup);
    if (!addresses.error.empty()) {
        response.error = addresses.error;
        return response;
    }

    SocketHandle connection(-1);
    int connect_errno = ECONNREFUSED;
    for (const addrinfo* address = addresses.addresses.get(); address != nullptr;
         address = address->ai_next) {
        connection = ConnectOne(*address, timeout_ms, deadline);
        if (connection.Valid()) {
            break;
        }
        connect_errno = errno;
    }
    if (!connection.Valid()) {
        response.error = ErrnoText("connect failed: ", connect_errno);
        return response;
    }

    std::string error = SendAll(connection.Get(), text.text, timeout_ms, deadline, deadline_error);
    if (!error.empty()) {
        response.error = error;
        return response;
    }
    std::string received;
    error = ReceiveAll(connection.Get(), received, timeout_ms, deadline, deadline_error);
    if (!error.empty()) {
        response.error = error;
        return response;
    }
    return ParsePlainHttpResponse(received);
}

std::optional<std::string> ParseJsonStringToken(const std::string& text) {
    const std::string token = TrimAsciiWhitespace(text);
    if (token.size() < 2 || token.front() != '"' || token.back() != '"') {
        return std::nullopt;
    }
    std::string decoded;
    decoded.reserve(token.size() - 2);
    const std::size_t end = token.size() - 1;
    for (std::size_t i = 1; i < end; ++i) {
        const char c = token[i];
        if (c != '\\') {
            decoded.push_back(c);
            continue;
        }
        if (++i >= end) {
            return std::nullopt;  // the backslash would escape the closing quote
        }
        switch (token[i]) {
            case '\\':
                decoded.push_back('\\');
                break;
            case '"':
                decoded.push_back('"');
                break;
            case '/':
                decoded.push_back('/');
                break;
            case 'b':
                decoded.push_back('\b');
                break;
            case 'f':
                decoded.push_back('\f');
                break;
            case 'n':
                decoded.push_back('\n');
                break;
            case 'r':
                decoded.push_back('\r');
                break;
            case 't':
                decoded.push_back('\t');
                break;
            default:
                return std::nullopt;
        }
    }
    return decoded;
}

std::optional<std::string> ExtractObjectFieldValue(const std::string& json,
                                                   const std::string& key) {
    std::size_t i = SkipSpace(json, 0);
    if (i >= json.size() || json[i] != '{') {
        return std::nullopt;
    }
    ++i;
    for (;;) {
        i = SkipSpace(json, i);
        if (i >= json.size() || json[i] != '"') {
            return std::nullopt;  // "}" of an empty object, or not JSON
        }
        const std::size_t name_end = SkipJsonString(json, i);
        if (name_end >= json.size()) {
            return std::nullopt;
        }
        const bool match = json.compare(i + 1, name_end - i - 2, key) == 0;
        i = SkipSpace(json, name_end);
        if (i >= json.size() || json[i] != ':') {
            return std::nullopt;
        }
        const std::size_t value_begin = i + 1;
        const std::size_t value_end = FindValueEnd(json, value_begin, true);
        if (value_end == std::string::npos) {
            return std::nullopt;
        }
        if (match) {
            return TrimAsciiWhitespace(json.substr(value_begin, value_end - value_begin));
        }
        if (json[value_end] == '}') {
            return std::nullopt;
        }
        i = value_end + 1;
    }
}

PluginSettlementIntakeResponse ParsePluginSettlementIntakeHttpResponse(
    const BackendHttpResponse& http) {
    PluginSettlementIntakeResponse response;
    response.status_code = http.status_code;
    if (!http.error.empty()) {
        response.errors.push_back("backend request failed: " + http.error);
        response.relay_status = SettlementRelayStatus::Failed;
        return response;
    }
    const std::string& body = http.body;
    if (body.empty()) {
        response.errors.push_back("backend response body is empty");
        return response;
    }
    if (const std::optional<std::string> code = ExtractObjectFieldValue(body, "statusCode")) {
        if (const std::optional<std::int32_t> value =
                ParseStrictInt32(TrimAsciiWhitespace(*code))) {
            response.status_code = *value;
        }
    }
    const std::optional<std::string> accepted = ExtractObjectFieldValue(body, "accepted");
    if (!accepted) {
        response.errors.push_back("backend response accepted field is missing");
    } else if (TrimAsciiWhitespace(*accepted) == "true") {
        response.accepted = true;
    } else if (TrimAsciiWhitespace(*accepted) != "false") {
        response.errors.push_back("backend response accepted field is invalid");
    }
    if (std::optional<std::string> text = ExtractStringField(body, "requestId")) {
        response.request_id = std::move(*text);
    }
    if (std::optional<std::string> text = ExtractStringField(body, "receivedAt")) {
        response.received_at = std::move(*text);
    }
    AppendErrorsFromField(body, "errors", response.errors);
    if (const std::optional<std::string> relay = ExtractObjectFieldValue(body, "relay")) {
        AppendErrorsFromField(*relay, "errors", response.errors);
        if (const std::optional<std::string> status =
                ExtractStringField(*relay, "extrinsicStatus")) {
            response.relay_status = ParseSettlementRelayStatus(*status);
        }
        if (std::optional<std::string> text = ExtractStringField(*relay, "extrinsicHash")) {
            response.extrinsic_hash = std::move(*text);
        }
        if (std::optional<std::string> text = ExtractStringField(*relay, "submittedAt")) {
            response.submitted_at = std::move(*text);
        }
    }
    if (response.relay_status == SettlementRelayStatus::Unknown) {
        if (const std::optional<std::string> status = ExtractStringField(body, "status")) {
            response.relay_status = ParseSettlementRelayStatus(*status);
        }
    }
    if (http.status_code < 200 || http.status_code > 299) {
        response.status_code = http.status_code;
        response.accepted = false;
        response.errors.push_back("backend returned HTTP " + std::to_string(http.status_code));
    }
    if (!response.accepted && response.errors.empty()) {
        response.errors.push_back("settlement backend rejected request");
    }
    return response;
}

}  // namespace ironpost
