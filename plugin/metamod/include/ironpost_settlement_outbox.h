#pragma once

// The settlement outbox: a small journal directory with one file per
// settlement the game accepted, written before the settlement's first send
// and removed only once the backend reports it included or finalized, so
// that neither a crash nor a spent attempt budget loses a round's
// settlement. Every entry holds what a resend needs (request id, server id,
// the signed canonical payload) under a checksum. Writes are atomic and
// durable and run on whichever thread sends the post that carries them (a
// worker's, in worker mode); everything else here runs on the main thread.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ironpost_crypto.h"

namespace ironpost {

// At most this many entries are journaled: as many as settlements are
// followed at once (see kMaxFollowedSettlements).
inline constexpr std::size_t kMaxSettlementOutboxEntries = 64;
// An entry file larger than this is neither written nor read: the backend
// refuses request bodies above a mebibyte, so such a payload cannot settle.
inline constexpr std::size_t kMaxSettlementOutboxEntryBytes = 1024 * 1024;
// A journal directory is scanned for at most this many names at load.
inline constexpr std::size_t kMaxSettlementOutboxScan = 1024;

// What a resend of a settlement needs.
struct SettlementOutboxEntry {
    std::string request_id;
    std::string server_id;
    std::string payload;  // the signed canonical payload, byte for byte
};

struct SettlementOutboxDecodeResult {
    std::optional<SettlementOutboxEntry> entry;
    std::string reason;  // why there is no entry: "truncated", "corrupt: ..."
};

// The journal directory of a configuration file: "outbox" beside it.
[[nodiscard]] std::string SettlementOutboxDirectoryFor(const std::string& config_path);

// The entry's file name: the request id's letters, digits, '-' and '_' (others
// become '_', at most 64 of them), '-', 16 hex digits of its SHA-256, ".entry".
[[nodiscard]] std::string SettlementOutboxFileName(const std::string& request_id);

// The entry's file content: a header line with the body's length and SHA-256,
// then the length-prefixed fields.
[[nodiscard]] std::string EncodeSettlementOutboxEntry(const SettlementOutboxEntry& entry);
// Reads an entry back; accepts any bytes.
[[nodiscard]] SettlementOutboxDecodeResult DecodeSettlementOutboxEntry(const std::string& bytes);

// The request a resend of the entry starts from (the envelope is added per send).
[[nodiscard]] PluginSettlementHttpRequest SettlementRequestFromOutboxEntry(
    const SettlementOutboxEntry& entry);

// Writes `bytes` to `path` atomically and durably: a temporary file beside it,
// fsync, rename over `path`, fsync of the directory. "" on success, else the
// reason; a failed write leaves no temporary file. Safe on any thread.
[[nodiscard]] std::string WriteFileDurably(const std::string& path, const std::string& bytes);

// A durable file write handed to the thread that sends a post (see
// BackendHttpPostRequest::persist_before_send). The poster keeps the outcome
// and reads it without blocking.
class DurableFileWrite {
  public:
    // The file is `prefix`(bytes), when given, followed by `bytes`; the
    // prefix is computed by the thread that performs the write, so a
    // checksum over a large body stays off the poster's thread.
    DurableFileWrite(std::string path, std::string bytes,
                     std::string (*prefix)(const std::string& bytes) = nullptr);
    DurableFileWrite(const DurableFileWrite&) = delete;
    DurableFileWrite& operator=(const DurableFileWrite&) = delete;

    // Writes the file on the calling thread; only the first call does
    // anything, so a post record sent twice writes once.
    void Perform();
    // Ready once performed, with "" or the failure; a write dropped
    // unperformed makes it ready with a broken promise.
    [[nodiscard]] std::shared_future<std::string> Outcome() const { return outcome_; }

  private:
    std::string path_;
    std::string bytes_;  // touched only by the thread that claimed the write
    std::string (*prefix_)(const std::string&);
    std::atomic<bool> claimed_{false};
    std::promise<std::string> promise_;
    std::shared_future<std::string> outcome_;
};

// The journal of one session. Every problem is a log line through the
// function given at construction; none stops the session.
class SettlementOutbox {
  public:
    using LogFunction = std::function<void(std::string)>;
    explicit SettlementOutbox(LogFunction log);

    // Opens the journal at `directory` (created when missing), removes
    // unfinished temporary files, and takes its readable entries, oldest
    // first, at most kMaxSettlementOutboxEntries (see Entries). Damaged,
    // oversized and surplus entries are reported and left on disk. A journal
    // that cannot be opened is reported, and the outbox then journals nothing.
    void Open(const std::string& directory);
    // Forgets the entries; the files stay for the next Open.
    void Close();

    // The write a send of `request` must carry: a new entry, or one whose
    // earlier write failed or was dropped. Null when the entry is written or
    // being written, when nothing is journaled, or when the bounds refuse the
    // entry (then logged; the settlement is still sent). An entry already
    // journaled under the request id keeps its first payload.
    [[nodiscard]] std::shared_ptr<DurableFileWrite> PrepareWrite(
        const PluginSettlementHttpRequest& request);
    // Takes the outcomes of finished writes: failures are logged, and entries
    // removed while their write ran are deleted now.
    void CollectWrites();
    // The settlement is final: its entry and file go (once its write is done).
    void Remove(const std::string& request_id);

    [[nodiscard]] bool Contains(const std::string& request_id) const;
    // The journaled entries, oldest first.
    [[nodiscard]] std::vector<SettlementOutboxEntry> Entries() const;

  private:
    enum class WriteState { Unwritten, Writing, Written };
    struct Journaled {
        SettlementOutboxEntry entry;
        WriteState state = WriteState::Unwritten;
        std::shared_future<std::string> write;  // while Writing
        bool removed = false;                   // delete once the write ends
    };

    [[nodiscard]] std::string PathOf(const std::string& request_id) const;
    void DeleteFile(const std::string& request_id);

    LogFunction log_;
    std::string directory_;           // empty: nothing is journaled
    std::vector<Journaled> entries_;  // oldest first
};

}  // namespace ironpost
