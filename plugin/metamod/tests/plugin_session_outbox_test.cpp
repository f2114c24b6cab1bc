// The settlement journal seen through the session: what outlives a spent
// budget, a map change and a crash, what a damaged journal costs, and which
// thread writes an entry.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "ironpost_backend_worker.h"
#include "ironpost_plugin_session.h"
#include "scripted_http_client.h"

namespace ironpost::session_test {
namespace {

template <class Client>
class OutboxFixture : public SessionFixture<Client> {
  protected:
    std::string EntryPath(const std::string& request_id) const {
        return this->dir_.Path("outbox/" + SettlementOutboxFileName(request_id));
    }
    bool Journaled(const std::string& request_id) const {
        return std::filesystem::exists(EntryPath(request_id));
    }
    void EndRound(std::uint32_t round, std::uint64_t now_ms) {
        if (round == 1) {
            this->SeatPlayersAndStartRound(1);
        } else {
            ASSERT_TRUE(this->session_.OnRoundStart(round));
        }
        (void)this->session_.OnRoundEnd(RoundContext("round-" + std::to_string(round)), now_ms);
    }
};
using SessionOutbox = OutboxFixture<ScriptedHttpClient>;

// One attempt per settlement: a refusal spends the budget, yet the entry
// stays until the backend reports the settlement included.
TEST_F(SessionOutbox, ARefusedSettlementOutlivesMapChangesAndACrashUntilIncluded) {
    LoadOrFail();
    const std::string busy = RejectedReplyBody(503, "busy");
    client_.Reply(503, busy);
    EndRound(1, 1000);
    EXPECT_TRUE(session_.FollowedSettlementIds().empty());
    ASSERT_TRUE(Journaled("round-1"));
    const std::string first_send = client_.requests.at(0).body;

    // A map change gives the entry a fresh budget, spent by another refusal.
    client_.Reply(503, busy);
    session_.OnMapChange(2000);
    EXPECT_EQ(session_.FollowedSettlementIds(), Lines{"round-1"});
    EXPECT_EQ(session_.SubmitDueSettlementRetries(2000).size(), 1u);
    EXPECT_TRUE(session_.FollowedSettlementIds().empty());
    EXPECT_TRUE(Journaled("round-1"));

    // The server dies. Beside the good entry lie a corrupt one, a truncated
    // one, one claiming a size no entry has, a write the crash interrupted
    // and a file that is not ours.
    const std::string payload = EnvelopePayload(first_send);
    std::string corrupt = EncodeSettlementOutboxEntry({"round-2", "srv-1", payload});
    corrupt[corrupt.size() - 3] ^= 1;
    dir_.Write("outbox/" + SettlementOutboxFileName("round-2"), corrupt);
    const std::string whole = EncodeSettlementOutboxEntry({"round-3", "srv-1", payload});
    dir_.Write("outbox/" + SettlementOutboxFileName("round-3"), whole.substr(0, whole.size() / 2));
    dir_.Write("outbox/" + SettlementOutboxFileName("round-4"),
               "ironpost-outbox-entry 1 4294967297 " + std::string(64, '0') + "\n");
    dir_.Write("outbox/x.entry.tmp-a1b2c3", whole);
    dir_.Write("outbox/notes.txt", "");
    MetamodPluginSession restarted(client_);
    ASSERT_TRUE(restarted.LoadFromConfigFile(dir_.Path("ironpost.cfg"), cvars_).loaded);
    Lines log = restarted.TakeSessionLogLines();
    std::sort(log.begin(), log.end());
    EXPECT_EQ(log, (Lines{"following 1 journaled settlements again",
                          "settlement journal entry " + SettlementOutboxFileName("round-2") +
                              " skipped: corrupt: checksum mismatch",
                          "settlement journal entry " + SettlementOutboxFileName("round-3") +
                              " skipped: truncated",
                          "settlement journal entry " + SettlementOutboxFileName("round-4") +
                              " skipped: corrupt: bad header",
                          "settlement journal: ignored notes.txt: not a journal entry",
                          "settlement journal: removed the unfinished write x.entry.tmp-a1b2c3"}));

    // Sent at once in a fresh envelope around the same payload, then polled.
    client_.requests.clear();
    client_.Reply(200, SettlementReplyBody("round-1", "queued"));
    client_.Reply(200, SettlementReplyBody("round-1", "included"));
    const std::vector<MetamodSettlementSubmitResult> sent = restarted.SubmitDueSettlementRetries(0);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_TRUE(sent[0].submitted);
    EXPECT_TRUE(sent[0].errors.empty()) << ::testing::PrintToString(sent[0].errors);
    EXPECT_EQ(restarted.PollDueSettlementStatuses(0).size(), 1u);
    ASSERT_EQ(client_.requests.size(), 2u);
    EXPECT_EQ(EnvelopePayload(client_.requests[0].body), payload);
    EXPECT_NE(JsonText(client_.requests[0].body, "nonce"), JsonText(first_send, "nonce"));
    ExpectSignedEnvelope(client_.requests[0].body, "settlement");
    EXPECT_TRUE(restarted.FollowedSettlementIds().empty());
    EXPECT_FALSE(Journaled("round-1"));
    // Damaged entries stay on disk for the operator, and are never sent.
    EXPECT_TRUE(Journaled("round-2"));
    restarted.OnMapChange(5000);
    EXPECT_TRUE(restarted.FollowedSettlementIds().empty());
}

// The worker client with a stand-in for the network, whose threads wait for
// the test's go. The stand-in answers "included" only when the settlement's
// entry is on disk as its post goes out from a thread other than the test's.
class GatedWorkerClient final : public BackendHttpClient {
  public:
    GatedWorkerClient() { worker.SetWorkerOptions(true, 1); }
    ~GatedWorkerClient() override { Open(); }
    BackendHttpResponse PostJson(const BackendHttpPostRequest& request) override {
        return worker.PostJson(request);
    }
    void Open() {
        if (!open_) {
            open_ = true;
            go_.set_value();
        }
    }
    // The next finished job, waited for at most five seconds.
    std::vector<BackendWorkerCompletion> Next() {
        std::vector<BackendWorkerCompletion> done;
        for (int i = 0; i < 1000 && done.empty(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            done = worker.DrainCompletedResponses();
        }
        return done;
    }

    std::string journal_dir;  // set before the first post

  private:
    bool open_ = false;
    std::promise<void> go_;
    std::shared_future<void> gate_ = go_.get_future().share();
    std::thread::id main_thread_ = std::this_thread::get_id();

  public:
    MetamodProcessBackendHttpClient worker{
        [this](const BackendHttpPostRequest& request, std::uint32_t,
               PluginThread*) -> BackendHttpResponse {
            const std::string id = RequestId(request);
            const bool journaled_first =
                std::this_thread::get_id() != main_thread_ &&
                std::filesystem::exists(journal_dir + "/" + SettlementOutboxFileName(id));
            return {200, SettlementReplyBody(id, journaled_first ? "included" : "queued"), ""};
        },
        [gate = gate_](std::function<void()> body) {
            return std::thread([gate, body = std::move(body)] {
                gate.wait();
                body();
            });
        }};
};
using WorkerSessionOutbox = OutboxFixture<GatedWorkerClient>;

TEST_F(WorkerSessionOutbox, TheWorkerWritesTheEntryBeforeItPostsAndAFailedWriteLosesNoPost) {
    LoadOrFail();
    client_.journal_dir = dir_.Path("outbox");
    EndRound(1, 1000);
    EXPECT_FALSE(Journaled("round-1")) << "written on the game's thread";
    // With the one worker busy the post is refused, and the entry is written
    // all the same: no worker will.
    EndRound(2, 1100);
    EXPECT_TRUE(Journaled("round-2"));

    client_.Open();
    std::vector<BackendWorkerCompletion> done = client_.Next();
    ASSERT_EQ(done.size(), 1u);
    (void)session_.ApplyBackendSettlementCompletion(done[0].request, done[0].response, 1200);
    EXPECT_FALSE(Journaled("round-1")) << "included, so removed";
    EXPECT_TRUE(Journaled("round-2"));

    // A journal that cannot be written is reported; the post still goes out.
    (void)session_.TakeSessionLogLines();
    std::filesystem::remove_all(dir_.Path("outbox"));
    dir_.Write("outbox", "");
    EndRound(3, 1300);
    done = client_.Next();
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(RequestId(done[0].request), "round-3");
    EXPECT_TRUE(session_.SubmitDueSettlementRetries(1400).empty());  // collects the outcome
    EXPECT_EQ(session_.TakeSessionLogLines(),
              Lines{"settlement round-3 could not be journaled: cannot create a file beside " +
                    EntryPath("round-3") +
                    ": Not a directory; it is sent all the same, and journaled again with its "
                    "next send"});
}

}  // namespace
}  // namespace ironpost::session_test
