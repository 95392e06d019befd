// The audit log: one JSON object per line, one line per filtered event and
// per policy decision.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace qmxproxy {

struct AuditRecord {
    const char *record = "event"; // "event" or "decision"
    uint32_t instance = 0;
    uint32_t protocol = 0;
    std::string_view proxy; // which proxy wrote it, when several share one store
    std::string_view client;
    const char *cookie = nullptr;    // "unknown": an OSCAR sign-on no login here announced
    const char *event = nullptr;     // event type name, or null for a decision
    const char *direction = nullptr; // "client_to_server" / "server_to_client"
    const char *from = nullptr;
    const char *to = nullptr;
    const char *action = nullptr;   // decisions only
    const char *decision = nullptr; // "allow" / "deny", decisions only
    int rule = -1;                  // deciding rule, -1 for the default
    bool replaced = false;
    const std::string *text = nullptr; // only when the configuration asks for text
    const std::string *replacement = nullptr;
    int64_t bytes = -1; // unparsed records: how many bytes were dropped
};

// "YYYY-MM-DDThh:mm:ss.mmmZ", or with microseconds.
std::string utcTimestamp(std::chrono::system_clock::time_point time, bool microseconds);

// Quotes bytes as a JSON string. Valid UTF-8 passes through; any other byte
// is taken as Latin-1, so that a line stays valid JSON whatever the client sent.
void appendJsonString(std::string &out, std::string_view bytes);

class AuditDatabase;
struct AuditDatabaseConfig;
enum class AuditOverflow;

// What the database writer has done, for the metrics page.
struct AuditDatabaseStats {
    uint64_t written = 0;  // records committed straight from the queue
    uint64_t spooled = 0;  // records written to the spool
    uint64_t replayed = 0; // spooled records committed later
    uint64_t dropped = 0;  // queue full with on_overflow = "drop"
    uint64_t blocked = 0;  // relays that waited for room in a full queue
    uint64_t failures = 0; // failed connections and batches
    uint64_t badSpoolLines = 0;
    uint64_t queued = 0; // gauges
    uint64_t inSpool = 0;
    bool connected = false;
};

// The JSON-lines file, the database, or both: each record goes to every one
// that is open.
class AuditLog {
public:
    AuditLog();
    ~AuditLog();
    AuditLog(const AuditLog &) = delete;
    AuditLog &operator=(const AuditLog &) = delete;

    bool open(const std::string &path, const std::string &group, std::string *error) {
        return switchTo(path, group, error);
    }
    // Opens the path (again, after a rotation) and writes there from the next
    // record on; an empty path stops the log. The old file stays in use when
    // the new one cannot be opened.
    // group: empty for a file only the proxy's user reads (0600), or the group
    // that may read it too (0640).
    bool switchTo(const std::string &path, const std::string &group, std::string *error);
    bool reopen(std::string *error);
    bool enabled() const { return enabled_.load(std::memory_order_relaxed) || database_; }
    void write(const AuditRecord &r);
    // Closes the file; the database stays.
    void closeFile();
    // Both.
    void close();

    // [audit.postgresql], for the life of the process: a reload does not
    // change it.
    bool startDatabase(const AuditDatabaseConfig &config, AuditOverflow overflow,
                       std::string *error);
    // Empty without [audit.postgresql].
    std::optional<AuditDatabaseStats> databaseStats() const;

private:
    void writeFile(const AuditRecord &r, std::chrono::system_clock::time_point time);

    std::unique_ptr<AuditDatabase> database_;
    std::mutex mutex_;
    FILE *file_ = nullptr;
    std::string path_;
    std::string group_;
    std::atomic<bool> enabled_{false};
};

} // namespace qmxproxy
