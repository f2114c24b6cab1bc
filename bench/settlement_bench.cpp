// What a round end costs the game thread with a full server: 32 players and
// 2,000 events in the round (kills, damage, weapon statistics, purchases and
// transfers). The settlement is built, signed, written as intake JSON and
// wrapped in a signed envelope in the frame that ends the round, so the
// whole of it must stay far below a frame budget (target: 2 ms).
//
//   BM_RoundEndSettlement: the session's round end, everything the frame
//     pays but the post itself (its client answers at once, as the worker
//     client does; BM_WorkerPostJson in worker_bench times that post).
//   BM_SettlementDraft, _Signature (of which _SigningPayload is the text),
//     _IntakeJson, _Envelope: the steps alone, to show where the time goes.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>

#include "ironpost_backend_worker.h"
#include "ironpost_plugin_envelope.h"
#include "ironpost_plugin_session.h"

namespace ironpost {
namespace {

constexpr std::int32_t kPlayers = 32;
constexpr int kEventsPerRound = 2000;

// Answers every post at once with the worker client's queued placeholder.
class QueuedAnswerClient final : public BackendHttpClient {
  public:
    BackendHttpResponse PostJson(const BackendHttpPostRequest&) override {
        return BackendHttpResponse{202, kBackendWorkerQueuedBody, ""};
    }
};

class IgnoringRegistry final : public CvarRegistry {
  public:
    void RegisterCvar(const CvarDefinition&) override {}
};

// A configuration and key file in a fresh temporary directory.
class BenchFiles {
  public:
    BenchFiles() {
        dir_ = (std::filesystem::temp_directory_path() / "ironpost-bench-XXXXXX").string();
        if (::mkdtemp(dir_.data()) == nullptr) {
            dir_.clear();
            return;
        }
        std::ofstream(dir_ + "/server.key") << "bench-server-key\n";
        std::ofstream(dir_ + "/ironpost.cfg")
            << "ironpost_server_key_file \"" << dir_ << "/server.key\"\n"
            << "ironpost_backend_url \"http://127.0.0.1:9\"\n"
            << "ironpost_server_id srv-bench\n"
            << "ironpost_alpha_team_policy_enabled 0\n";
    }
    ~BenchFiles() {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    [[nodiscard]] std::string ConfigPath() const { return dir_ + "/ironpost.cfg"; }

  private:
    std::string dir_;
};

// A loaded session with 32 humans, half on each team.
struct FullServer {
    QueuedAnswerClient client;
    IgnoringRegistry registry;
    MetamodPluginSession session{client};

    explicit FullServer(const BenchFiles& files) {
        if (!session.LoadFromConfigFile(files.ConfigPath(), registry).loaded) {
            return;
        }
        for (std::int32_t slot = 1; slot <= kPlayers; ++slot) {
            session.OnClientAuthorized(slot, "player " + std::to_string(slot),
                                       "STEAM_0:1:" + std::to_string(100000 + slot), false);
            session.OnClientTeamChanged(slot, slot % 2 == 0 ? "CT" : "TERRORIST");
        }
    }

    // Starts round `round` and feeds it 2,000 events spread over every player.
    bool PlayRound(std::uint32_t round) {
        PluginRuntime& runtime = session.Runtime();
        if (!session.OnRoundStart(round)) {
            return false;
        }
        for (int event = 0; event < kEventsPerRound; ++event) {
            const std::int32_t actor = event % kPlayers + 1;
            // Always an opponent (odd slots play T, even CT), a different one
            // each time the actor comes round.
            const std::int32_t victim = (actor + 2 * ((event / kPlayers) % 16)) % kPlayers + 1;
            switch (event % 10) {
                case 0:
                case 1:
                    runtime.RecordKillEvent(actor, victim, event % 7 == 0);
                    break;
                case 2:
                case 3:
                case 4:
                case 5:
                case 6:
                    runtime.RecordDamageEvent(actor, victim, 10 + event % 90);
                    break;
                case 7:
                    runtime.RecordWeaponStatsEvent(actor, 30, 9);
                    break;
                case 8:
                    runtime.RecordWeaponPurchase(actor, "ak47", 2500, round);
                    break;
                default:
                    runtime.SubmitTransferMenuSelection({actor, victim, 10});
                    break;
            }
        }
        return true;
    }
};

MetamodRoundEndContext Context(std::uint32_t round) {
    MetamodRoundEndContext context;
    context.request_id = "settle-bench-" + std::to_string(round);
    context.received_at = "unix-ms:1700000000000";
    context.server_id = "srv-bench";
    context.session_id = "session-bench";
    context.map_name_hash = Sha256Hex("de_dust2");
    context.previous_round_hash = Sha256Hex("previous");
    context.roster_root = Sha256Hex("roster");
    context.config_hash = Sha256Hex("config");
    return context;
}

void BM_RoundEndSettlement(benchmark::State& state) {
    const BenchFiles files;
    std::unique_ptr<FullServer> server;
    std::uint32_t round = 0;
    std::size_t body_bytes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        // A fresh session every few rounds keeps the followed settlements
        // (one more per round while unanswered) from piling up.
        if (!server || round % 16 == 0) {
            server = std::make_unique<FullServer>(files);
        }
        ++round;
        if (!server->PlayRound(round)) {
            state.SkipWithError("the round could not start");
            return;
        }
        const MetamodRoundEndContext context = Context(round);
        state.ResumeTiming();
        const MetamodSettlementSubmitResult result = server->session.OnRoundEnd(context, round);
        state.PauseTiming();
        if (!result.submitted || !result.request) {
            state.SkipWithError("the settlement was not submitted");
            return;
        }
        body_bytes = result.request->body.size();
        state.ResumeTiming();
    }
    state.counters["envelope_bytes"] = static_cast<double>(body_bytes);
}
BENCHMARK(BM_RoundEndSettlement)->Unit(benchmark::kMicrosecond);

// The next round's start, in the frame after a busy round was settled: what
// was settled is taken out of the pending statistics then.
void BM_RoundStartAfterBusyRound(benchmark::State& state) {
    const BenchFiles files;
    std::unique_ptr<FullServer> server;
    std::uint32_t round = 0;
    for (auto _ : state) {
        state.PauseTiming();
        if (!server || round % 16 == 0) {
            server = std::make_unique<FullServer>(files);
        }
        ++round;
        if (!server->PlayRound(round) ||
            !server->session.OnRoundEnd(Context(round), round).submitted) {
            state.SkipWithError("the round was not settled");
            return;
        }
        ++round;
        state.ResumeTiming();
        benchmark::DoNotOptimize(server->session.OnRoundStart(round));
        state.PauseTiming();
        server->session.Runtime().EndRound();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_RoundStartAfterBusyRound)->Unit(benchmark::kMicrosecond);

// The steps of the round end on one ended round, each repeated alone.
struct EndedRound {
    BenchFiles files;
    FullServer server{files};
    std::optional<RoundSettlementDraft> draft;
    DevelopmentFileSettlementSigner signer{"bench-server-key\n"};

    EndedRound() {
        if (!server.PlayRound(1) || !server.session.Runtime().EndRound()) {
            return;
        }
        const MetamodRoundEndContext context = Context(1);
        draft = server.session.Runtime().BuildSettlementDraft(
            {context.server_id, context.session_id, context.map_name_hash, 1,
             context.previous_round_hash, context.roster_root, context.config_hash});
    }
};

EndedRound& Ended() {
    static EndedRound ended;
    return ended;
}

PluginSettlementIntakeRequest Intake(const RoundSettlementDraft& signed_draft) {
    return PluginSettlementIntakeRequest{"settle-bench-1", "unix-ms:1700000000000", signed_draft};
}

void BM_SettlementDraft(benchmark::State& state) {
    EndedRound& ended = Ended();
    if (!ended.draft) {
        state.SkipWithError("no draft");
        return;
    }
    const SettlementDraftRequest request{
        ended.draft->server_id,           ended.draft->session_id,  ended.draft->map_name_hash, 1,
        ended.draft->previous_round_hash, ended.draft->roster_root, ended.draft->config_hash};
    for (auto _ : state) {
        benchmark::DoNotOptimize(ended.server.session.Runtime().BuildSettlementDraft(request));
    }
    state.counters["reward_entries"] = static_cast<double>(ended.draft->reward_entries.size());
}
BENCHMARK(BM_SettlementDraft)->Unit(benchmark::kMicrosecond);

void BM_SettlementSignature(benchmark::State& state) {
    EndedRound& ended = Ended();
    if (!ended.draft) {
        state.SkipWithError("no draft");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(SignSettlementDraft(*ended.draft, ended.signer));
    }
    state.counters["payload_bytes"] =
        static_cast<double>(BuildSettlementSigningPayload(*ended.draft).size());
}
BENCHMARK(BM_SettlementSignature)->Unit(benchmark::kMicrosecond);

// The signing text written out, as a signer that signs whole texts gets it.
// The server's signer digests the text while writing it instead, so the
// signature step above is that digest (and the copy of the signed draft).
void BM_SettlementSigningPayload(benchmark::State& state) {
    EndedRound& ended = Ended();
    if (!ended.draft) {
        state.SkipWithError("no draft");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(BuildSettlementSigningPayload(*ended.draft));
    }
}
BENCHMARK(BM_SettlementSigningPayload)->Unit(benchmark::kMicrosecond);

void BM_SettlementIntakeJson(benchmark::State& state) {
    EndedRound& ended = Ended();
    const std::optional<RoundSettlementDraft> signed_draft =
        ended.draft ? SignSettlementDraft(*ended.draft, ended.signer) : std::nullopt;
    if (!signed_draft) {
        state.SkipWithError("no signed draft");
        return;
    }
    const PluginSettlementIntakeRequest intake = Intake(*signed_draft);
    // The round end writes only the canonical JSON, which the envelope wraps.
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            BuildPluginSettlementIntakeHttpRequest(intake, IntakeRequestTexts::CanonicalOnly));
    }
}
BENCHMARK(BM_SettlementIntakeJson)->Unit(benchmark::kMicrosecond);

void BM_SettlementEnvelope(benchmark::State& state) {
    EndedRound& ended = Ended();
    const std::optional<RoundSettlementDraft> signed_draft =
        ended.draft ? SignSettlementDraft(*ended.draft, ended.signer) : std::nullopt;
    const std::optional<PluginSettlementHttpRequest> request =
        signed_draft ? BuildPluginSettlementIntakeHttpRequest(Intake(*signed_draft)) : std::nullopt;
    if (!request) {
        state.SkipWithError("no intake request");
        return;
    }
    PluginEnvelopeV2Request envelope{
        "srv-bench", "settle-bench-1", 1700000000000ull,
        BuildDeterministicPluginNonce("settle-bench-1", 1700000000000ull, "settlement"),
        request->canonical_payload_body};
    for (auto _ : state) {
        benchmark::DoNotOptimize(BuildPluginEnvelopeV2Body(envelope, ended.signer));
    }
    state.counters["payload_bytes"] = static_cast<double>(envelope.payload_json.size());
}
BENCHMARK(BM_SettlementEnvelope)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace ironpost

BENCHMARK_MAIN();
