// The central audit store: records go to a PostgreSQL table in batches from
// one writer thread. Relay threads only queue them. While the database is
// away or slow, batches go to the spool file, which is replayed in order once
// it answers again, so that nothing is lost and, thanks to each record's
// unique key, nothing is stored twice.
#pragma once

#include "audit_spool.h"
#include "config.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct pg_conn;

namespace qmxproxy {

// Whether a connection string is fit for the configuration: libpq parses it
// and it holds no password. why: what is wrong.
bool auditConninfoValid(const std::string &conninfo, std::string *why);

// Creates the table and its indexes when they are missing.
bool auditInitDb(const AuditDatabaseConfig &config, std::string *error);

class AuditDatabase {
public:
    AuditDatabase() = default;
    ~AuditDatabase() { stop(); }
    AuditDatabase(const AuditDatabase &) = delete;
    AuditDatabase &operator=(const AuditDatabase &) = delete;

    // Opens the spool and starts the writer, which connects in the
    // background: an unreachable database delays no start-up.
    bool start(const AuditDatabaseConfig &config, AuditOverflow overflow, std::string *error);
    // From any relay thread. Waits for room (block) or drops (drop) when the
    // queue is full.
    void push(const AuditRecord &r, std::chrono::system_clock::time_point time);
    // Hands what is queued to the database or the spool and ends the writer.
    void stop();
    AuditDatabaseStats stats() const;

private:
    enum class State { Down, Connecting, Idle, Busy };
    void run();
    void step(bool stopping);
    // Moves a due batch from the queue to held_; returns what stays queued.
    size_t takeBatch(bool stopping);
    void waitForWork(bool stopping);
    void startConnect();
    void advanceConnect();
    void sendRows(const std::vector<AuditRow> &rows);
    void sendSpoolChunk();
    void advanceQuery();
    void finishQuery(bool ok, const std::string &error);
    void failed(const std::string &what);
    void lost(const std::string &why);
    void spoolHeld();

    AuditDatabaseConfig config_;
    size_t capacity_ = 0;
    std::string bootId_;
    std::string insertSql_;

    mutable std::mutex mutex_;
    std::condition_variable wake_; // the writer: a batch is due, or stop
    std::condition_variable room_; // blocked relays: the queue has room
    std::deque<AuditRow> queue_;
    std::chrono::steady_clock::time_point oldest_;
    std::atomic<uint64_t> sequence_{0};
    std::thread writer_;

    // The writer's own state.
    AuditSpool spool_;
    pg_conn *conn_ = nullptr;
    std::chrono::steady_clock::time_point nextAttempt_, attemptDeadline_, stopDeadline_;
    std::chrono::steady_clock::time_point nextSpoolAttempt_;
    std::vector<AuditRow> held_;     // taken from the queue, not yet sent or spooled
    std::vector<AuditRow> inflight_; // a batch from the queue being inserted
    uint64_t inflightSpoolEnd_ = 0;  // or a spool chunk: where it ends,
    size_t inflightSpoolLines_ = 0;  // how many lines it took
    size_t inflightReplay_ = 0;      // and how many of them were records
    std::string queryError_;

    std::atomic<uint64_t> written_{0}, spooled_{0}, replayed_{0}, dropped_{0}, blocked_{0},
        failures_{0}, badSpoolLines_{0};

    // The small ones last, where they pack.
    AuditOverflow overflow_ = AuditOverflow::Block;
    State state_ = State::Down;
    short connectWants_ = 0; // poll events the connection attempt waits for
    bool stopping_ = false;  // under mutex_
    bool ended_ = false;     // under mutex_: the writer is gone, nothing more is taken
    bool flushing_ = false;  // a query still has bytes to send
    bool queryOk_ = true;
    bool outage_ = false; // warned once per outage
    std::atomic<bool> connected_{false};
};

} // namespace qmxproxy
