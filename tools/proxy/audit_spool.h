// Audit records as rows of the database table, and the spool file that holds
// them while the database cannot take them.
#pragma once

#include "audit.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qmxproxy {

// The table's columns in the order rows carry them. Columns marked plain hold
// numbers or booleans and are written unquoted in the spool.
struct AuditColumn {
    const char *name;
    const char *type; // PostgreSQL's
    bool plain;
};
constexpr size_t kAuditColumnCount = 20;
extern const AuditColumn kAuditColumns[kAuditColumnCount];

// One record as the table's text values, one after another in one buffer.
// Values are valid UTF-8 without NUL, which PostgreSQL's text refuses.
class AuditRow {
public:
    // Columns are set in order, each exactly once.
    void add(std::string_view value);
    // Bytes that are not UTF-8 taken as Latin-1, NUL as U+FFFD.
    void addClean(std::string_view value);
    void addNull();
    bool isNull(size_t column) const { return (nulls_ >> column) & 1U; }
    std::string_view text(size_t column) const;

private:
    const char *at(size_t column) const { return bytes_.data() + begin(column); }
    size_t begin(size_t column) const { return column == 0 ? 0 : ends_[column - 1]; }

    std::string bytes_;
    uint32_t ends_[kAuditColumnCount] = {};
    uint32_t nulls_ = 0;
    size_t count_ = 0;
};

// recordId: "proxy:boot:sequence", the key that makes a replay idempotent.
AuditRow makeAuditRow(const AuditRecord &r, std::chrono::system_clock::time_point time,
                      const std::string &recordId);

// One spool line (a JSON object, newline included) and back. Parsing fails
// on anything that is not such an object.
void appendSpoolLine(std::string &out, const AuditRow &row);
bool parseSpoolLine(std::string_view line, AuditRow *row);

// The spool: JSON lines appended and synced batch by batch, replayed from
// the front in order, and emptied once everything in it is committed. One
// process holds it at a time.
class AuditSpool {
public:
    AuditSpool() = default;
    ~AuditSpool();
    AuditSpool(const AuditSpool &) = delete;
    AuditSpool &operator=(const AuditSpool &) = delete;

    // Opens (creating, mode 0600) and locks the file and counts the records
    // an earlier run left in it.
    bool open(const std::string &path, std::string *error);
    // Appends and syncs; on failure (a full disk) nothing of the batch stays.
    bool append(const std::vector<AuditRow> &rows, std::string *error);
    // Up to maxRows records from the replay position; *end is where the next
    // read starts, *bad counts lines that were not records and are skipped.
    bool read(size_t maxRows, std::vector<AuditRow> *rows, uint64_t *end, size_t *bad,
              std::string *error);
    // Everything before end is committed; at the end of the file it is emptied.
    bool consumed(uint64_t end, size_t rows, std::string *error);
    // Records appended and not yet consumed.
    uint64_t pending() const { return pending_.load(std::memory_order_relaxed); }
    const std::string &path() const { return path_; }

private:
    int fd_ = -1;
    std::string path_;
    uint64_t size_ = 0;
    uint64_t replayFrom_ = 0;
    // Read by the metrics page while the writer thread changes it.
    std::atomic<uint64_t> pending_{0};
};

} // namespace qmxproxy
