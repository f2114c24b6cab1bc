// The settlement outbox: entry files, their durable writes and the journal
// a session keeps of them.

#include "ironpost_settlement_outbox.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <system_error>
#include <tuple>
#include <utility>

#include "ironpost_config.h"

namespace ironpost {

namespace {

constexpr char kEntryMagic[] = "ironpost-outbox-entry 1 ";
constexpr char kEntrySuffix[] = ".entry";
constexpr char kTemporaryMarker[] = ".entry.tmp-";
constexpr std::size_t kMaxFileNameIdChars = 64;
// Entries are at most a mebibyte: seven digits; more is damage, and must not
// overflow a 32-bit size.
constexpr std::size_t kMaxLengthDigits = 8;

std::string ErrnoText(int error) {
    return std::error_code(error, std::generic_category()).message();
}

bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// A decimal length of at most kMaxLengthDigits digits.
std::optional<std::size_t> ParseLength(const std::string& text) {
    if (text.empty() || text.size() > kMaxLengthDigits) {
        return std::nullopt;
    }
    std::size_t length = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        length = length * 10 + static_cast<std::size_t>(c - '0');
    }
    return length;
}

void AppendField(std::string& body, const char* name, const std::string& value) {
    body += name;
    body += ' ';
    body += std::to_string(value.size());
    body += '\n';
    body += value;
    body += '\n';
}

// Reads "<name> <length>\n<bytes>\n" at `at`, advancing it.
bool ReadField(const std::string& body, std::size_t& at, const std::string& name,
               std::string& value) {
    const std::string prefix = name + " ";
    if (body.compare(at, prefix.size(), prefix) != 0) {
        return false;
    }
    const std::size_t digits = at + prefix.size();
    const std::size_t newline = body.find('\n', digits);
    const std::optional<std::size_t> length =
        newline == std::string::npos ? std::nullopt
                                     : ParseLength(body.substr(digits, newline - digits));
    if (!length) {
        return false;
    }
    const std::size_t start = newline + 1;
    if (*length > body.size() - start || body.size() - start - *length < 1 ||
        body[start + *length] != '\n') {
        return false;
    }
    value = body.substr(start, *length);
    at = start + *length + 1;
    return true;
}

SettlementOutboxDecodeResult Undecoded(std::string reason) {
    SettlementOutboxDecodeResult result;
    result.reason = std::move(reason);
    return result;
}

// Writes all of `bytes` to `fd`, riding out interrupted and partial writes.
bool WriteAll(int fd, const std::string& bytes) {
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t count = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return false;
        }
        written += static_cast<std::size_t>(count);
    }
    return true;
}

}  // namespace

std::string SettlementOutboxDirectoryFor(const std::string& config_path) {
    const std::size_t slash = config_path.rfind('/');
    return slash == std::string::npos ? "outbox" : config_path.substr(0, slash) + "/outbox";
}

std::string SettlementOutboxFileName(const std::string& request_id) {
    std::string name;
    for (const char c : request_id.substr(0, kMaxFileNameIdChars)) {
        const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '-' || c == '_';
        name += safe ? c : '_';
    }
    // Different ids may share the readable part; the hash keeps them apart.
    return name + "-" + Sha256Hex(request_id).substr(0, 16) + kEntrySuffix;
}

namespace {

// An entry is its header (magic, body length, checksum) and this body.
std::string EntryBody(const SettlementOutboxEntry& entry) {
    std::string body;
    body.reserve(64 + entry.request_id.size() + entry.server_id.size() + entry.payload.size());
    AppendField(body, "request-id", entry.request_id);
    AppendField(body, "server-id", entry.server_id);
    AppendField(body, "payload", entry.payload);
    return body;
}

std::string EntryHeader(const std::string& body) {
    return kEntryMagic + std::to_string(body.size()) + " " + Sha256Hex(body) + "\n";
}

// The size of the entry made of `body`, without computing its checksum.
std::size_t EntrySize(const std::string& body) {
    return (sizeof kEntryMagic - 1) + std::to_string(body.size()).size() + 1 + 64 + 1 + body.size();
}

}  // namespace

std::string EncodeSettlementOutboxEntry(const SettlementOutboxEntry& entry) {
    const std::string body = EntryBody(entry);
    return EntryHeader(body) + body;
}

SettlementOutboxDecodeResult DecodeSettlementOutboxEntry(const std::string& bytes) {
    const std::string magic = kEntryMagic;
    if (bytes.compare(0, magic.size(), magic, 0, std::min(bytes.size(), magic.size())) != 0) {
        return Undecoded("corrupt: not a journal entry");
    }
    const std::size_t newline = bytes.find('\n');
    if (newline == std::string::npos) {
        return Undecoded("truncated");
    }
    const std::string header = bytes.substr(magic.size(), newline - magic.size());
    const std::size_t space = header.find(' ');
    const std::optional<std::size_t> length = ParseLength(header.substr(0, space));
    const std::string checksum = space == std::string::npos ? "" : header.substr(space + 1);
    if (!length || checksum.size() != 64) {
        return Undecoded("corrupt: bad header");
    }
    const std::string body = bytes.substr(newline + 1);
    if (body.size() < *length) {
        return Undecoded("truncated");
    }
    if (body.size() > *length) {
        return Undecoded("corrupt: bytes after the entry");
    }
    if (Sha256Hex(body) != checksum) {
        return Undecoded("corrupt: checksum mismatch");
    }
    SettlementOutboxEntry entry;
    std::size_t at = 0;
    if (!ReadField(body, at, "request-id", entry.request_id) ||
        !ReadField(body, at, "server-id", entry.server_id) ||
        !ReadField(body, at, "payload", entry.payload) || at != body.size() ||
        entry.request_id.empty() || entry.payload.empty()) {
        return Undecoded("corrupt: malformed fields");
    }
    SettlementOutboxDecodeResult result;
    result.entry = std::move(entry);
    return result;
}

PluginSettlementHttpRequest SettlementRequestFromOutboxEntry(const SettlementOutboxEntry& entry) {
    PluginSettlementHttpRequest request;
    request.method = "POST";
    request.path = "/v1/plugin/settlements";
    request.content_type = "application/json";
    request.request_id = entry.request_id;
    request.server_id = entry.server_id;
    request.body = entry.payload;
    request.canonical_payload_body = entry.payload;
    return request;
}

std::string WriteFileDurably(const std::string& path, const std::string& bytes) {
    const std::size_t slash = path.rfind('/');
    const std::string directory =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    std::string temporary = path + ".tmp-XXXXXX";
    // mkstemp and fcntl rather than mkostemp, which needs glibc 2.7: the
    // plugin loads on servers with glibc 2.4.
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) {
        return "cannot create a file beside " + path + ": " + ErrnoText(errno);
    }
    (void)::fcntl(fd, F_SETFD, FD_CLOEXEC);
    std::string error;
    if (!WriteAll(fd, bytes)) {
        error = "cannot write " + temporary + ": " + ErrnoText(errno);
    } else if (::fsync(fd) != 0) {
        error = "cannot sync " + temporary + ": " + ErrnoText(errno);
    }
    if (::close(fd) != 0 && error.empty()) {
        error = "cannot close " + temporary + ": " + ErrnoText(errno);
    }
    if (error.empty() && ::rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot rename " + temporary + ": " + ErrnoText(errno);
    }
    if (!error.empty()) {
        ::unlink(temporary.c_str());
        return error;
    }
    // The rename itself lasts only once the directory is on disk.
    const int dir_fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd < 0 || ::fsync(dir_fd) != 0) {
        error = "cannot sync directory " + directory + ": " + ErrnoText(errno);
    }
    if (dir_fd >= 0) {
        ::close(dir_fd);
    }
    return error;
}

// ---------------------------------------------------------------------------
// A durable write handed to another thread

DurableFileWrite::DurableFileWrite(std::string path, std::string bytes,
                                   std::string (*prefix)(const std::string& bytes))
    : path_(std::move(path)),
      bytes_(std::move(bytes)),
      prefix_(prefix),
      outcome_(promise_.get_future().share()) {}

void DurableFileWrite::Perform() {
    if (claimed_.exchange(true, std::memory_order_acq_rel)) {
        return;
    }
    std::string error;
    try {
        if (prefix_ != nullptr) {
            bytes_.insert(0, prefix_(bytes_));
        }
        error = WriteFileDurably(path_, bytes_);
    } catch (const std::exception& failure) {
        error = std::string("cannot write ") + path_ + ": " + failure.what();
    } catch (...) {
        error = "cannot write " + path_;  // nothing may escape a worker thread
    }
    std::string().swap(bytes_);  // the entry may be large and the post record long-lived
    promise_.set_value(std::move(error));
}

// ---------------------------------------------------------------------------
// The journal

SettlementOutbox::SettlementOutbox(LogFunction log) : log_(std::move(log)) {}

void SettlementOutbox::Open(const std::string& directory) {
    Close();
    namespace fs = std::filesystem;
    std::error_code error;
    if ((::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) ||
        !fs::is_directory(directory, error)) {
        log_("settlement journal " + directory +
             " cannot be opened: " + (error ? error.message() : ErrnoText(errno)) +
             "; settlements will not survive a restart");
        return;
    }
    directory_ = directory;
    const auto skip = [&](const std::string& name, const std::string& reason) {
        log_("settlement journal entry " + name + " skipped: " + reason);
    };

    struct Found {
        fs::file_time_type written;
        std::string name;
        SettlementOutboxEntry entry;
    };
    std::vector<Found> found;
    std::size_t scanned = 0;
    fs::directory_iterator it(directory, error);
    for (; !error && it != fs::directory_iterator(); it.increment(error)) {
        if (++scanned > kMaxSettlementOutboxScan) {
            log_("settlement journal " + directory + ": only the first " +
                 std::to_string(kMaxSettlementOutboxScan) + " names were read");
            break;
        }
        const std::string name = it->path().filename().string();
        const std::string path = it->path().string();
        std::error_code ignored;
        if (name.find(kTemporaryMarker) != std::string::npos) {
            // A write that a crash interrupted; the entry it would have
            // replaced, if any, is intact under its own name.
            fs::remove(path, ignored);
            log_("settlement journal: removed the unfinished write " + name);
            continue;
        }
        if (!EndsWith(name, kEntrySuffix)) {
            log_("settlement journal: ignored " + name + ": not a journal entry");
            continue;
        }
        const std::optional<std::string> bytes =
            ReadBoundedRegularFile(path, kMaxSettlementOutboxEntryBytes);
        if (!bytes) {
            skip(name, "not a readable regular file of at most " +
                           std::to_string(kMaxSettlementOutboxEntryBytes) + " bytes");
            continue;
        }
        SettlementOutboxDecodeResult decoded = DecodeSettlementOutboxEntry(*bytes);
        if (!decoded.entry) {
            skip(name, decoded.reason);
            continue;
        }
        if (SettlementOutboxFileName(decoded.entry->request_id) != name) {
            skip(name, "named for another request id");
            continue;
        }
        found.push_back(Found{fs::last_write_time(path, ignored), name, std::move(*decoded.entry)});
    }
    if (error) {
        log_("settlement journal " + directory +
             " could not be read to the end: " + error.message());
    }
    std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
        return std::tie(a.written, a.name) < std::tie(b.written, b.name);
    });
    for (Found& entry : found) {
        if (entries_.size() >= kMaxSettlementOutboxEntries) {
            skip(entry.name, "at most " + std::to_string(kMaxSettlementOutboxEntries) +
                                 " entries are followed");
            continue;
        }
        Journaled journaled;
        journaled.entry = std::move(entry.entry);
        journaled.state = WriteState::Written;
        entries_.push_back(std::move(journaled));
    }
}

void SettlementOutbox::Close() {
    entries_.clear();
    directory_.clear();
}

std::shared_ptr<DurableFileWrite> SettlementOutbox::PrepareWrite(
    const PluginSettlementHttpRequest& request) {
    const std::string& request_id = request.request_id;
    if (directory_.empty() || request_id.empty()) {
        return nullptr;
    }
    auto journaled = std::find_if(entries_.begin(), entries_.end(), [&](const Journaled& known) {
        return known.entry.request_id == request_id;
    });
    // The entry's checksum runs over the whole payload, large for a busy
    // round: the header is made by the thread that performs the write.
    std::string body;
    if (journaled == entries_.end()) {
        const std::string refused = "settlement " + request_id + " is not journaled: ";
        const std::string lost = "; it will not survive a restart";
        if (entries_.size() >= kMaxSettlementOutboxEntries) {
            log_(refused + "the journal holds at most " +
                 std::to_string(kMaxSettlementOutboxEntries) + " entries" + lost);
            return nullptr;
        }
        SettlementOutboxEntry entry{
            request_id, request.server_id,
            request.canonical_payload_body.empty() ? request.body : request.canonical_payload_body};
        body = EntryBody(entry);
        if (EntrySize(body) > kMaxSettlementOutboxEntryBytes) {
            log_(refused + "its entry would exceed " +
                 std::to_string(kMaxSettlementOutboxEntryBytes) + " bytes" + lost);
            return nullptr;
        }
        entries_.push_back(Journaled{std::move(entry), WriteState::Unwritten, {}, false});
        journaled = entries_.end() - 1;
    }
    if (journaled->state != WriteState::Unwritten || journaled->removed) {
        return nullptr;
    }
    if (body.empty()) {
        body = EntryBody(journaled->entry);
    }
    auto write =
        std::make_shared<DurableFileWrite>(PathOf(request_id), std::move(body), EntryHeader);
    journaled->state = WriteState::Writing;
    journaled->write = write->Outcome();
    return write;
}

void SettlementOutbox::CollectWrites() {
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (it->state == WriteState::Writing &&
            it->write.wait_for(std::chrono::seconds(0)) == std::future_status::ready) {
            std::string failure;
            bool performed = true;
            try {
                failure = it->write.get();
            } catch (const std::future_error&) {
                performed = false;  // the post was dropped before it was handed on
            }
            it->write = std::shared_future<std::string>();
            it->state = performed && failure.empty() ? WriteState::Written : WriteState::Unwritten;
            if (!failure.empty() && !it->removed) {
                log_("settlement " + it->entry.request_id + " could not be journaled: " + failure +
                     "; it is sent all the same, and journaled again with its next send");
            }
        }
        if (it->removed && it->state != WriteState::Writing) {
            DeleteFile(it->entry.request_id);
            it = entries_.erase(it);
            continue;
        }
        ++it;
    }
}

void SettlementOutbox::Remove(const std::string& request_id) {
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->entry.request_id != request_id) {
            continue;
        }
        it->removed = true;
        // A write still running would bring the file back after the delete.
        if (it->state != WriteState::Writing) {
            DeleteFile(request_id);
            entries_.erase(it);
        }
        return;
    }
}

bool SettlementOutbox::Contains(const std::string& request_id) const {
    return std::any_of(entries_.begin(), entries_.end(), [&](const Journaled& known) {
        return !known.removed && known.entry.request_id == request_id;
    });
}

std::vector<SettlementOutboxEntry> SettlementOutbox::Entries() const {
    std::vector<SettlementOutboxEntry> entries;
    for (const Journaled& known : entries_) {
        if (!known.removed) {
            entries.push_back(known.entry);
        }
    }
    return entries;
}

std::string SettlementOutbox::PathOf(const std::string& request_id) const {
    return directory_ + "/" + SettlementOutboxFileName(request_id);
}

// The directory is not synced after the delete: a crash that undoes it only
// costs a resend the backend answers as a repeat, and the sync would hold up
// the frame.
void SettlementOutbox::DeleteFile(const std::string& request_id) {
    if (::unlink(PathOf(request_id).c_str()) != 0 && errno != ENOENT) {
        log_("settlement " + request_id + ": its journal entry could not be removed: " +
             ErrnoText(errno) + "; it is sent again after the next restart, and counted once");
    }
}

}  // namespace ironpost
