// Any bytes as the backend's answers to settlement posts and status polls,
// delivered to a session in worker mode as a frame loop would deliver a
// worker's completions: in any order, late, twice, or never, matched by the
// request they answer or only by the request id they name. Answering signs
// nothing, so most steps are cheap; only rounds, retries and polls sign.
// The input is a list of steps separated by NUL bytes; each step's first
// byte says what to do (see Step; seeds use non-zero bytes), its second
// picks an HTTP status or a clock step, and the rest is a reply body.
// Settlements are named "round-0" to "round-3", so seeds and mutations can
// name them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <string>

#include "fuzz_server_config.h"
#include "ironpost_plugin_session.h"

namespace {

using namespace ironpost;

constexpr std::int32_t kStatuses[] = {200, 202, 400, 404, 409, 500, 503, 0};
// The requests answers can be given to: the latest ones sent. Answering one
// twice is a duplicate, answering an old one is a late answer.
constexpr std::size_t kMaxRemembered = 16;

class WorkerStandIn final : public BackendHttpClient {
  public:
    // A worker's immediate placeholder; the real answer comes from the input.
    BackendHttpResponse PostJson(const BackendHttpPostRequest& request) override {
        sent.push_back(request);
        if (sent.size() > kMaxRemembered) {
            sent.pop_front();
        }
        return {202,
                "{\"accepted\":true,\"relay\":{\"accepted\":true,\"errors\":[],"
                "\"extrinsicStatus\":\"queued\"}}",
                ""};
    }
    std::deque<BackendHttpPostRequest> sent;
};

struct Backend {
    WorkerStandIn client;
    fuzz::NoCvars cvars;
    MetamodPluginSession session{client};
    std::uint64_t now_ms = 1000;
    std::uint32_t round = 0;

    Backend() {
        const std::string config = fuzz::WriteServerConfig(
            "ironpost_backend_worker_enabled 1\nironpost_backend_retry_max_attempts 3\n"
            "ironpost_backend_retry_base_delay_ms 100\n");
        if (!session.LoadFromConfigFile(config, cvars).loaded) {
            std::abort();
        }
        (void)session.OnClientAuthorized(1, "alice", "STEAM_0:1:1001", false);
        (void)session.OnClientAuthorized(2, "bob", "STEAM_0:0:2002", false);
        (void)session.OnClientTeamChanged(1, "TERRORIST");
        (void)session.OnClientTeamChanged(2, "CT");
    }

    void EndRound() {
        ++round;
        (void)session.OnRoundStart(round);
        const std::string id = "round-" + std::to_string(round % 4);
        (void)session.OnRoundEnd(
            {id, "2026-12-06T18:00:00Z", "srv-1", "session-1", "map", "prev", "roster", "cfg"},
            now_ms);
    }

    void Step(std::uint8_t action, std::uint8_t detail, const std::string& body) {
        const BackendHttpResponse answer{kStatuses[detail % 8], body, ""};
        switch (action % 5) {
            case 0:
            case 1:
                // A worker's answer to one of the requests sent lately.
                if (!client.sent.empty()) {
                    const BackendHttpPostRequest& request =
                        client.sent[client.sent.size() - 1 - action / 5 % client.sent.size()];
                    (void)session.ApplyBackendSettlementCompletion(request, answer, now_ms);
                }
                break;
            case 2:
                // An answer tied only to the request id it names.
                (void)session.ApplyBackendSettlementCompletion(
                    ParsePluginSettlementIntakeHttpResponse(answer), now_ms);
                break;
            case 3:
                // Frames pass: due retries and polls go out.
                now_ms += static_cast<std::uint64_t>(detail) * 50;
                (void)session.SubmitDueSettlementRetries(now_ms);
                (void)session.PollDueSettlementStatuses(now_ms);
                break;
            default:
                detail % 2 ? EndRound() : session.OnMapChange(now_ms);
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Backend* backend = new Backend();
    if (backend->session.FollowedSettlementIds().empty()) {
        backend->EndRound();
    }
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::size_t start = 0;
    while (start + 2 <= input.size()) {
        const std::size_t end = std::min(input.find('\0', start), input.size());
        if (end >= start + 2) {
            backend->Step(static_cast<std::uint8_t>(input[start]),
                          static_cast<std::uint8_t>(input[start + 1]),
                          input.substr(start + 2, end - start - 2));
        }
        start = end + 1;
    }
    if (backend->session.FollowedSettlementIds().size() > kMaxFollowedSettlements) {
        std::abort();
    }
    (void)backend->session.TakeSessionLogLines();
    return 0;
}
