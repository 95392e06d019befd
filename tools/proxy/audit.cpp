#include "audit.h"

#include "audit_pg.h"
#include "message_text.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

namespace qmxproxy {

namespace {

void field(std::string &out, const char *name, const char *value) {
    out += ",\"";
    out += name;
    out += "\":";
    if (value == nullptr) {
        out += "null";
    } else {
        appendJsonString(out, value);
    }
}

} // namespace

std::string utcTimestamp(std::chrono::system_clock::time_point time, bool microseconds) {
    using namespace std::chrono;
    const auto us = duration_cast<std::chrono::microseconds>(time.time_since_epoch()).count();
    const auto secs = static_cast<time_t>(us / 1000000);
    std::tm tm{};
    gmtime_r(&secs, &tm);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%0*dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, microseconds ? 6 : 3,
                  static_cast<int>(microseconds ? us % 1000000 : us % 1000000 / 1000));
    return buf;
}

void appendJsonString(std::string &out, std::string_view bytes) {
    static const char hex[] = "0123456789abcdef";
    out += '"';
    const auto *s = reinterpret_cast<const unsigned char *>(bytes.data());
    size_t i = 0;
    while (i < bytes.size()) {
        const unsigned char c = s[i];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            out += "\\u00";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (uint32_t cp = 0;
                   size_t len = qmxhost::utf8Sequence(s + i, bytes.size() - i, &cp)) {
            out.append(bytes.data() + i, len);
            i += len;
            continue;
        } else {
            qmxhost::appendUtf8(out, c);
        }
        ++i;
    }
    out += '"';
}

AuditLog::AuditLog() = default;
AuditLog::~AuditLog() { close(); }

namespace {

// The records can hold people's messages: only the proxy's user (and, when
// configured, one group) may read the file, whatever the umask, and a file
// that exists is brought back to that mode.
FILE *openPrivate(const std::string &path, const std::string &group, std::string *error) {
    const mode_t mode = group.empty() ? 0600 : 0640;
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, mode);
    bool ok = fd >= 0;
    if (ok && !group.empty()) {
        const struct group *g = getgrnam(group.c_str());
        ok = g != nullptr && fchown(fd, static_cast<uid_t>(-1), g->gr_gid) == 0;
    }
    ok = ok && fchmod(fd, mode) == 0;
    FILE *file = ok ? fdopen(fd, "a") : nullptr;
    if (file == nullptr) {
        *error = "audit log " + path + ": " + std::strerror(errno);
        if (fd >= 0) ::close(fd);
    }
    return file;
}

} // namespace

bool AuditLog::switchTo(const std::string &path, const std::string &group, std::string *error) {
    if (path.empty()) {
        closeFile();
        return true;
    }
    FILE *fresh = openPrivate(path, group, error);
    if (fresh == nullptr) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_ != nullptr) std::fclose(file_);
    file_ = fresh;
    path_ = path;
    group_ = group;
    enabled_ = true;
    return true;
}

bool AuditLog::reopen(std::string *error) {
    std::string path;
    std::string group;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        path = path_;
        group = group_;
    }
    return switchTo(path, group, error);
}

void AuditLog::closeFile() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
    path_.clear();
    enabled_ = false;
}

void AuditLog::close() {
    closeFile();
    if (database_) database_->stop();
    database_.reset();
}

bool AuditLog::startDatabase(const AuditDatabaseConfig &config, AuditOverflow overflow,
                             std::string *error) {
    auto database = std::make_unique<AuditDatabase>();
    if (!database->start(config, overflow, error)) return false;
    database_ = std::move(database);
    return true;
}

std::optional<AuditDatabaseStats> AuditLog::databaseStats() const {
    if (!database_) return std::nullopt;
    return database_->stats();
}

void AuditLog::write(const AuditRecord &r) {
    const auto now = std::chrono::system_clock::now();
    if (enabled_.load(std::memory_order_relaxed)) writeFile(r, now);
    if (database_) database_->push(r, now);
}

void AuditLog::writeFile(const AuditRecord &r, std::chrono::system_clock::time_point time) {
    std::string line;
    line.reserve(256);
    line += R"({"time":")" + utcTimestamp(time, false) + "\"";
    field(line, "record", r.record);
    if (!r.proxy.empty()) {
        line += ",\"proxy\":";
        appendJsonString(line, r.proxy);
    }
    line += ",\"instance\":" + std::to_string(r.instance);
    static const char *const protocols[] = {"oscar", "msn", "ymsg"};
    field(line, "protocol", r.protocol < 3 ? protocols[r.protocol] : "unknown");
    line += ",\"client\":";
    appendJsonString(line, r.client);
    field(line, "event", r.event);
    field(line, "direction", r.direction);
    field(line, "from", r.from);
    field(line, "to", r.to);
    if (r.cookie != nullptr) field(line, "cookie", r.cookie);
    field(line, "action", r.action);
    field(line, "decision", r.decision);
    if (r.decision != nullptr)
        line += ",\"rule\":" + (r.rule < 0 ? std::string("\"default\"") : std::to_string(r.rule));
    line += ",\"replaced\":";
    line += r.replaced ? "true" : "false";
    if (r.text != nullptr) {
        line += ",\"text\":";
        appendJsonString(line, *r.text);
    }
    if (r.replacement != nullptr) {
        line += ",\"replacement\":";
        appendJsonString(line, *r.replacement);
    }
    if (r.bytes >= 0) line += ",\"bytes\":" + std::to_string(r.bytes);
    line += "}\n";
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_ == nullptr) return;
    std::fwrite(line.data(), 1, line.size(), file_);
    std::fflush(file_);
}

} // namespace qmxproxy
