#include "audit_pg.h"

#include <libpq-fe.h>
#include <poll.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <cinttypes>
#include <memory>
#include <random>

namespace qmxproxy {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr auto kRetryDelay = seconds(1);
constexpr auto kConnectTimeout = seconds(10);
constexpr auto kStopGrace = seconds(5);
constexpr auto kPollTick = milliseconds(20);

// Defaults that the connection string may override: it comes last. The
// rows are UTF-8 whatever the database's encoding.
struct ConnectParams {
    const char *keys[8] = {
        "connect_timeout",     "application_name", "keepalives_idle", "keepalives_count",
        "keepalives_interval", "client_encoding",  "dbname",          nullptr};
    const char *values[8] = {"10", "qmx-proxy", "30", "3", "10", "UTF8", nullptr, nullptr};
    explicit ConnectParams(const std::string &conninfo) { values[6] = conninfo.c_str(); }
};

std::string trimmed(const char *message) {
    std::string s = message != nullptr ? message : "";
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

std::string quoted(const std::string &table) {
    const auto dot = table.find('.');
    if (dot == std::string::npos) return '"' + table + '"';
    return '"' + table.substr(0, dot) + "\".\"" + table.substr(dot + 1) + '"';
}

std::string schemaSql(const std::string &table) {
    const std::string name = quoted(table);
    const auto dot = table.find('.');
    const std::string base = dot == std::string::npos ? table : table.substr(dot + 1);
    std::string sql = "CREATE TABLE IF NOT EXISTS " + name +
                      " (\n"
                      "  record_id text COLLATE \"C\" PRIMARY KEY,\n"
                      "  time timestamptz NOT NULL,\n"
                      "  record text NOT NULL,\n"
                      "  proxy text NOT NULL,\n"
                      "  instance bigint NOT NULL,\n"
                      "  protocol text NOT NULL,\n"
                      "  client inet,\n"
                      "  client_port integer,\n"
                      "  event text,\n"
                      "  direction text,\n"
                      "  \"from\" text,\n"
                      "  \"to\" text,\n"
                      "  cookie text,\n"
                      "  action text,\n"
                      "  decision text,\n"
                      "  rule integer,\n"
                      "  replaced boolean NOT NULL,\n"
                      "  text text,\n"
                      "  replacement text,\n"
                      "  bytes bigint);\n";
    // The queries of docs/audit.md: by time, one sender over time, and one
    // kind of decision over time.
    const std::pair<const char *, const char *> indexes[] = {
        {"_time", "(time)"},
        {"_from_time", "(\"from\", time)"},
        {"_decision_time", "(decision, time)"}};
    for (const auto &[suffix, columns] : indexes) {
        sql.append("CREATE INDEX IF NOT EXISTS \"").append(base).append(suffix).append("\" ON ");
        sql.append(name).append(" ").append(columns).append(";\n");
    }
    return sql;
}

std::string newBootId() {
    std::random_device random;
    const uint64_t id = (uint64_t{random()} << 32) | random();
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016" PRIx64, id);
    return buf;
}

} // namespace

bool auditConninfoValid(const std::string &conninfo, std::string *why) {
    char *error = nullptr;
    PQconninfoOption *options = PQconninfoParse(conninfo.c_str(), &error);
    if (options == nullptr) {
        *why = error != nullptr ? "not a libpq connection string: " + trimmed(error)
                                : std::string("cannot be parsed (out of memory)");
        PQfreemem(error);
        return false;
    }
    bool ok = true;
    for (const PQconninfoOption *o = options; o->keyword != nullptr; ++o) {
        if (std::string(o->keyword) == "password" && o->val != nullptr && o->val[0] != '\0') {
            *why = "must not hold a password: put it in a passfile (~/.pgpass or passfile=...) "
                   "or the environment (PGPASSWORD)";
            ok = false;
        }
    }
    PQconninfoFree(options);
    return ok;
}

bool auditInitDb(const AuditDatabaseConfig &config, std::string *error) {
    const ConnectParams params(config.conninfo);
    std::unique_ptr<PGconn, void (*)(PGconn *)> conn(
        PQconnectdbParams(params.keys, params.values, 1), PQfinish);
    if (PQstatus(conn.get()) != CONNECTION_OK) {
        *error = "cannot connect to the audit database: " + trimmed(PQerrorMessage(conn.get()));
        return false;
    }
    // Another encoding would refuse some characters, and a batch holding one
    // would never be stored.
    const char *encoding = PQparameterStatus(conn.get(), "server_encoding");
    if (encoding == nullptr || std::string(encoding) != "UTF8") {
        *error = "the audit database's encoding is " + std::string(encoding ? encoding : "?") +
                 "; it must be UTF8 (CREATE DATABASE ... ENCODING 'UTF8')";
        return false;
    }
    // "already exists, skipping" is what a second run should say: nothing.
    PQsetNoticeProcessor(
        conn.get(), [](void *, const char *) {}, nullptr);
    std::unique_ptr<PGresult, void (*)(PGresult *)> result(
        PQexec(conn.get(), schemaSql(config.table).c_str()), PQclear);
    if (PQresultStatus(result.get()) != PGRES_COMMAND_OK) {
        *error = "cannot create " + config.table + ": " + trimmed(PQerrorMessage(conn.get()));
        return false;
    }
    return true;
}

bool AuditDatabase::start(const AuditDatabaseConfig &config, AuditOverflow overflow,
                          std::string *error) {
    config_ = config;
    overflow_ = overflow;
    capacity_ = std::max<size_t>(size_t{100} * config.batch, 10000);
    bootId_ = newBootId();
    // One array per column: the statement's size does not grow with the
    // batch, and the server parses arrays much faster than rows of VALUES.
    std::string columns;
    std::string arrays;
    for (size_t c = 0; c < kAuditColumnCount; ++c) {
        columns += (c != 0 ? ",\"" : "\"") + std::string(kAuditColumns[c].name) + '"';
        arrays +=
            (c != 0 ? ",$" : "$") + std::to_string(c + 1) + "::" + kAuditColumns[c].type + "[]";
    }
    insertSql_ = "INSERT INTO " + quoted(config.table) + " (" + columns +
                 ") SELECT * FROM unnest(" + arrays + ") ON CONFLICT (record_id) DO NOTHING";
    if (!spool_.open(config.spool, error)) return false;
    if (spool_.pending() > 0) {
        spdlog::info("audit spool {} holds {} record(s) from an earlier run; they go to the "
                     "database once it answers",
                     config.spool, spool_.pending());
    }
    nextAttempt_ = Clock::now();
    writer_ = std::thread([this] { run(); });
    return true;
}

void AuditDatabase::push(const AuditRecord &r, std::chrono::system_clock::time_point time) {
    // A gap in a boot's sequence shows a record that was dropped.
    const uint64_t sequence = ++sequence_;
    AuditRow row = makeAuditRow(
        r, time, std::string(r.proxy) + ':' + bootId_ + ':' + std::to_string(sequence));
    std::unique_lock<std::mutex> lock(mutex_);
    if (queue_.size() >= capacity_ && !ended_) {
        if (overflow_ == AuditOverflow::Drop) {
            lock.unlock();
            if (dropped_++ == 0) {
                spdlog::warn("audit queue full: records are being dropped (on_overflow = drop)");
            }
            return;
        }
        blocked_++;
        room_.wait(lock, [&] { return queue_.size() < capacity_ || ended_; });
    }
    if (ended_) {
        dropped_++;
        return;
    }
    if (queue_.empty()) oldest_ = Clock::now();
    queue_.push_back(std::move(row));
    if (queue_.size() == 1 || queue_.size() == config_.batch) wake_.notify_one();
}

void AuditDatabase::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!writer_.joinable()) return;
        stopping_ = true;
    }
    wake_.notify_all();
    writer_.join();
}

AuditDatabaseStats AuditDatabase::stats() const {
    AuditDatabaseStats s;
    s.written = written_;
    s.spooled = spooled_;
    s.replayed = replayed_;
    s.dropped = dropped_;
    s.blocked = blocked_;
    s.failures = failures_;
    s.badSpoolLines = badSpoolLines_;
    s.inSpool = spool_.pending();
    s.connected = connected_;
    std::lock_guard<std::mutex> lock(mutex_);
    s.queued = queue_.size();
    return s;
}

void AuditDatabase::run() {
    for (;;) {
        bool stopping = false;
        size_t queued = 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping = stopping_;
            queued = queue_.size();
        }
        if (stopping && stopDeadline_ == Clock::time_point{})
            stopDeadline_ = Clock::now() + kStopGrace;
        step(stopping);
        if (stopping && queued == 0 && held_.empty() && state_ != State::Busy) break;
        // Out of both the database and the spool: what is held is lost.
        if (stopping && Clock::now() >= stopDeadline_ + kStopGrace) {
            std::lock_guard<std::mutex> lock(mutex_);
            spdlog::error("audit: {} record(s) could be neither stored nor spooled at the stop",
                          held_.size() + queue_.size());
            break;
        }
        waitForWork(stopping);
    }
    if (conn_ != nullptr) PQfinish(conn_);
    conn_ = nullptr;
    connected_ = false;
    std::lock_guard<std::mutex> lock(mutex_);
    ended_ = true;
    room_.notify_all();
}

void AuditDatabase::step(bool stopping) {
    const auto now = Clock::now();
    if (state_ == State::Connecting) {
        if (stopping) {
            lost("");
        } else if (now >= attemptDeadline_) {
            failed("connection attempt timed out");
        } else {
            advanceConnect();
        }
    }
    if (state_ == State::Busy) {
        if (stopping && now >= stopDeadline_) {
            failed("no answer before the stop");
        } else {
            advanceQuery();
        }
    }
    if (state_ == State::Down && !stopping && now >= nextAttempt_) startConnect();
    size_t queued = 0;
    if (held_.empty()) {
        queued = takeBatch(stopping);
    } else {
        std::lock_guard<std::mutex> lock(mutex_);
        queued = queue_.size();
    }
    // Once the spool holds anything, later records line up behind it there,
    // so that the replay keeps their order. A database slower than the
    // relays sends records there too.
    const bool slow = state_ == State::Busy && queued >= capacity_ / 2;
    if (!held_.empty() && now >= nextSpoolAttempt_ &&
        (state_ == State::Down || state_ == State::Connecting || spool_.pending() > 0 || slow)) {
        spoolHeld();
    }
    if (state_ != State::Idle) return;
    if (spool_.pending() > 0) {
        if (!stopping) sendSpoolChunk();
    } else if (!held_.empty()) {
        // held_ may have grown past a batch when a failed one came back to it.
        const auto n = static_cast<std::ptrdiff_t>(std::min<size_t>(held_.size(), kAuditMaxBatch));
        inflight_.assign(std::make_move_iterator(held_.begin()),
                         std::make_move_iterator(held_.begin() + n));
        held_.erase(held_.begin(), held_.begin() + n);
        sendRows(inflight_);
    }
}

size_t AuditDatabase::takeBatch(bool stopping) {
    std::lock_guard<std::mutex> lock(mutex_);
    const bool due =
        queue_.size() >= config_.batch ||
        (!queue_.empty() && (stopping || Clock::now() - oldest_ >= milliseconds(config_.batchMs)));
    if (!due) return queue_.size();
    // A queue that grew while the last batch was out leaves in larger
    // batches: fewer round trips when the database falls behind.
    const size_t n = std::min<size_t>(queue_.size(), kAuditMaxBatch);
    held_.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        held_.push_back(std::move(queue_.front()));
        queue_.pop_front();
    }
    // The rest came later than the oldest taken: at worst they leave early.
    room_.notify_all();
    return queue_.size();
}

void AuditDatabase::waitForWork(bool stopping) {
    if (state_ == State::Busy || state_ == State::Connecting) {
        const auto events = static_cast<short>(
            state_ == State::Connecting ? connectWants_ : (POLLIN | (flushing_ ? POLLOUT : 0)));
        pollfd p{PQsocket(conn_), events, 0};
        poll(&p, 1, static_cast<int>(kPollTick.count()));
        return;
    }
    if (state_ == State::Idle && spool_.pending() > 0 && !stopping) return;
    auto until = Clock::now() + seconds(1);
    if (stopping) until = Clock::now() + kPollTick;
    if (state_ == State::Down) until = std::min(until, nextAttempt_);
    if (!held_.empty()) until = std::min(until, nextSpoolAttempt_);
    std::unique_lock<std::mutex> lock(mutex_);
    if (!queue_.empty()) until = std::min(until, oldest_ + milliseconds(config_.batchMs));
    wake_.wait_until(lock, until, [&] {
        return stopping_ != stopping || (held_.empty() && queue_.size() >= config_.batch);
    });
}

void AuditDatabase::startConnect() {
    const ConnectParams params(config_.conninfo);
    conn_ = PQconnectStartParams(params.keys, params.values, 1);
    if (conn_ == nullptr || PQstatus(conn_) == CONNECTION_BAD) {
        failed(conn_ != nullptr ? trimmed(PQerrorMessage(conn_)) : "out of memory");
        return;
    }
    state_ = State::Connecting;
    connectWants_ = POLLOUT;
    attemptDeadline_ = Clock::now() + kConnectTimeout;
}

void AuditDatabase::advanceConnect() {
    pollfd p{PQsocket(conn_), connectWants_, 0};
    if (poll(&p, 1, 0) <= 0) return;
    switch (PQconnectPoll(conn_)) {
    case PGRES_POLLING_READING: connectWants_ = POLLIN; return;
    case PGRES_POLLING_WRITING: connectWants_ = POLLOUT; return;
    case PGRES_POLLING_OK: break;
    default: failed(trimmed(PQerrorMessage(conn_))); return;
    }
    if (PQsetnonblocking(conn_, 1) != 0) {
        failed(trimmed(PQerrorMessage(conn_)));
        return;
    }
    state_ = State::Idle;
    connected_ = true;
    if (outage_) {
        spdlog::info("audit database answers again; {} spooled record(s) to replay",
                     spool_.pending());
    } else {
        spdlog::info("audit database connected");
    }
    outage_ = false;
}

void AuditDatabase::sendRows(const std::vector<AuditRow> &rows) {
    std::string arrays[kAuditColumnCount];
    const char *values[kAuditColumnCount];
    for (size_t c = 0; c < kAuditColumnCount; ++c) {
        std::string &a = arrays[c];
        a.reserve(rows.size() * 16);
        a += '{';
        for (size_t r = 0; r < rows.size(); ++r) {
            if (r != 0) a += ',';
            if (rows[r].isNull(c)) {
                a += "NULL";
                continue;
            }
            a += '"';
            std::string_view v = rows[r].text(c);
            for (size_t at; (at = v.find_first_of("\"\\")) != std::string_view::npos;) {
                a.append(v.data(), at).append(1, '\\').append(1, v[at]);
                v.remove_prefix(at + 1);
            }
            a.append(v.data(), v.size()).append(1, '"');
        }
        a += '}';
        values[c] = a.c_str();
    }
    if (PQsendQueryParams(conn_, insertSql_.c_str(), static_cast<int>(kAuditColumnCount), nullptr,
                          values, nullptr, nullptr, 0) == 0) {
        state_ = State::Busy; // so that failed() handles what is in flight
        failed(trimmed(PQerrorMessage(conn_)));
        return;
    }
    state_ = State::Busy;
    queryOk_ = true;
    queryError_.clear();
    const int flushed = PQflush(conn_);
    flushing_ = flushed == 1;
    if (flushed < 0) {
        failed(trimmed(PQerrorMessage(conn_)));
        return;
    }
}

void AuditDatabase::sendSpoolChunk() {
    std::vector<AuditRow> rows;
    size_t bad = 0;
    std::string error;
    if (!spool_.read(kAuditMaxBatch, &rows, &inflightSpoolEnd_, &bad, &error)) {
        spdlog::error("{}", error);
        nextSpoolAttempt_ = Clock::now() + kRetryDelay;
        return;
    }
    if (bad > 0) {
        badSpoolLines_ += bad;
        spdlog::warn("audit spool {}: {} line(s) that are not records skipped", spool_.path(), bad);
    }
    inflightSpoolLines_ = rows.size() + bad;
    inflightReplay_ = rows.size();
    if (rows.empty()) {
        finishQuery(true, "");
        return;
    }
    sendRows(rows);
}

void AuditDatabase::advanceQuery() {
    pollfd p{PQsocket(conn_), static_cast<short>(POLLIN | (flushing_ ? POLLOUT : 0)), 0};
    if (poll(&p, 1, 0) <= 0) return;
    if (flushing_) {
        const int flushed = PQflush(conn_);
        if (flushed < 0) {
            failed(trimmed(PQerrorMessage(conn_)));
            return;
        }
        flushing_ = flushed == 1;
    }
    if ((p.revents & (POLLIN | POLLERR | POLLHUP)) != 0 && PQconsumeInput(conn_) == 0) {
        failed(trimmed(PQerrorMessage(conn_)));
        return;
    }
    while (PQisBusy(conn_) == 0) {
        PGresult *result = PQgetResult(conn_);
        if (result == nullptr) {
            finishQuery(queryOk_, queryError_);
            return;
        }
        if (PQresultStatus(result) != PGRES_COMMAND_OK) {
            queryOk_ = false;
            queryError_ = trimmed(PQresultErrorMessage(result));
        }
        PQclear(result);
    }
}

void AuditDatabase::finishQuery(bool ok, const std::string &error) {
    if (!ok) {
        failed(error);
        return;
    }
    state_ = State::Idle;
    if (!inflight_.empty()) {
        written_ += inflight_.size();
        inflight_.clear();
        return;
    }
    std::string why;
    if (!spool_.consumed(inflightSpoolEnd_, inflightSpoolLines_, &why)) spdlog::error("{}", why);
    replayed_ += inflightReplay_;
    if (spool_.pending() == 0) spdlog::info("audit spool replayed");
}

void AuditDatabase::failed(const std::string &what) {
    failures_++;
    // What was in flight may or may not have been committed: it goes to the
    // spool, and the replay's ON CONFLICT keeps it from being stored twice.
    if (state_ == State::Busy && !inflight_.empty()) {
        held_.insert(held_.begin(), std::make_move_iterator(inflight_.begin()),
                     std::make_move_iterator(inflight_.end()));
        inflight_.clear();
        nextSpoolAttempt_ = Clock::now();
    }
    lost(what);
}

void AuditDatabase::lost(const std::string &why) {
    if (conn_ != nullptr) PQfinish(conn_);
    conn_ = nullptr;
    state_ = State::Down;
    connected_ = false;
    flushing_ = false;
    nextAttempt_ = Clock::now() + kRetryDelay;
    if (why.empty()) return;
    if (!outage_) {
        spdlog::warn("audit database unavailable ({}); records go to the spool {} until it "
                     "answers",
                     why, spool_.path());
        outage_ = true;
    } else {
        spdlog::debug("audit database still unavailable: {}", why);
    }
}

void AuditDatabase::spoolHeld() {
    std::string error;
    if (spool_.append(held_, &error)) {
        spooled_ += held_.size();
        held_.clear();
        return;
    }
    // A full disk: the records stay here, the queue fills behind them, and
    // on_overflow decides what the relays do.
    spdlog::error("{}; {} record(s) held until it takes them", error, held_.size());
    nextSpoolAttempt_ = Clock::now() + kRetryDelay;
}

} // namespace qmxproxy
