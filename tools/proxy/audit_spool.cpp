#include "audit_spool.h"

#include "config.h"
#include "message_text.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace qmxproxy {

const AuditColumn kAuditColumns[kAuditColumnCount] = {
    {"record_id", "text", false},   {"time", "timestamptz", false},   {"record", "text", false},
    {"proxy", "text", false},       {"instance", "bigint", true},     {"protocol", "text", false},
    {"client", "inet", false},      {"client_port", "integer", true}, {"event", "text", false},
    {"direction", "text", false},   {"from", "text", false},          {"to", "text", false},
    {"cookie", "text", false},      {"action", "text", false},        {"decision", "text", false},
    {"rule", "integer", true},      {"replaced", "boolean", true},    {"text", "text", false},
    {"replacement", "text", false}, {"bytes", "bigint", true}};

namespace {

// Bytes that are not UTF-8 are taken as Latin-1, as in the JSON-lines log;
// NUL, which a text column cannot hold, becomes U+FFFD.
void appendClean(std::string &out, std::string_view bytes) {
    const auto *s = reinterpret_cast<const unsigned char *>(bytes.data());
    size_t i = 0;
    while (i < bytes.size()) {
        uint32_t cp = 0;
        if (s[i] == 0) {
            qmxhost::appendUtf8(out, 0xFFFD);
            ++i;
        } else if (s[i] < 0x80) {
            out += static_cast<char>(s[i++]);
        } else if (const size_t len = qmxhost::utf8Sequence(s + i, bytes.size() - i, &cp)) {
            out.append(bytes.data() + i, len);
            i += len;
        } else {
            qmxhost::appendUtf8(out, s[i++]);
        }
    }
}

void addText(AuditRow &row, const char *value) {
    if (value == nullptr) {
        row.addNull();
        return;
    }
    row.addClean(value);
}

// A four-digit hex escape's code point, or -1.
long hex4(std::string_view s, size_t at) {
    if (at + 4 > s.size()) return -1;
    long v = 0;
    for (size_t i = at; i < at + 4; ++i) {
        const char c = s[i];
        const int d = c >= '0' && c <= '9'   ? c - '0'
                      : c >= 'a' && c <= 'f' ? c - 'a' + 10
                      : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                             : -1;
        if (d < 0) return -1;
        v = v * 16 + d;
    }
    return v;
}

// A JSON string from s[*at] (the opening quote) into out.
bool parseString(std::string_view s, size_t *at, std::string *out) {
    size_t i = *at + 1;
    while (i < s.size() && s[i] != '"') {
        if (s[i] != '\\') {
            *out += s[i++];
            continue;
        }
        if (++i >= s.size()) return false;
        const char e = s[i++];
        if (e != 'u') {
            switch (e) {
            case '"':
            case '\\':
            case '/': *out += e; break;
            case 'b': *out += '\b'; break;
            case 'f': *out += '\f'; break;
            case 'n': *out += '\n'; break;
            case 'r': *out += '\r'; break;
            case 't': *out += '\t'; break;
            default: return false;
            }
            continue;
        }
        long cp = hex4(s, i);
        i += 4;
        if (cp >= 0xD800 && cp < 0xDC00 && s.substr(i, 2) == "\\u") {
            const long low = hex4(s, i + 2);
            if (low >= 0xDC00 && low < 0xE000) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                i += 6;
            }
        }
        if (cp <= 0) return false;
        qmxhost::appendUtf8(*out, static_cast<uint32_t>(cp));
    }
    if (i >= s.size()) return false;
    *at = i + 1;
    return true;
}

void skipSpace(std::string_view s, size_t *at) {
    while (*at < s.size() && (s[*at] == ' ' || s[*at] == '\t' || s[*at] == '\r')) ++*at;
}

} // namespace

void AuditRow::add(std::string_view value) {
    bytes_.append(value);
    ends_[count_++] = static_cast<uint32_t>(bytes_.size());
}

void AuditRow::addClean(std::string_view value) {
    appendClean(bytes_, value);
    ends_[count_++] = static_cast<uint32_t>(bytes_.size());
}

void AuditRow::addNull() {
    nulls_ |= 1U << count_;
    add({});
}

std::string_view AuditRow::text(size_t column) const {
    return {at(column), ends_[column] - begin(column)};
}

AuditRow makeAuditRow(const AuditRecord &r, std::chrono::system_clock::time_point time,
                      const std::string &recordId) {
    AuditRow row;
    row.add(recordId);
    row.add(utcTimestamp(time, true));
    row.add(r.record);
    row.addClean(r.proxy);
    row.add(std::to_string(r.instance));
    row.add(protocolName(r.protocol));
    // "host:port", brackets around IPv6; anything else is kept out of the
    // inet column rather than failing the batch.
    const auto endpoint = parseEndpoint(std::string(r.client));
    unsigned char address[16];
    if (endpoint && (inet_pton(AF_INET, endpoint->host.c_str(), address) == 1 ||
                     inet_pton(AF_INET6, endpoint->host.c_str(), address) == 1)) {
        row.add(endpoint->host);
        row.add(std::to_string(endpoint->port));
    } else {
        row.addNull();
        row.addNull();
    }
    for (const char *value : {r.event, r.direction, r.from, r.to, r.cookie, r.action, r.decision})
        addText(row, value);
    if (r.decision != nullptr && r.rule >= 0) {
        row.add(std::to_string(r.rule));
    } else {
        row.addNull(); // no decision, or the default decided
    }
    row.add(r.replaced ? "true" : "false");
    addText(row, r.text != nullptr ? r.text->c_str() : nullptr);
    addText(row, r.replacement != nullptr ? r.replacement->c_str() : nullptr);
    if (r.bytes >= 0) {
        row.add(std::to_string(r.bytes));
    } else {
        row.addNull();
    }
    return row;
}

void appendSpoolLine(std::string &out, const AuditRow &row) {
    out += '{';
    for (size_t c = 0; c < kAuditColumnCount; ++c) {
        if (c != 0) out += ',';
        appendJsonString(out, kAuditColumns[c].name);
        out += ':';
        if (row.isNull(c)) {
            out += "null";
        } else if (kAuditColumns[c].plain) {
            out += row.text(c);
        } else {
            appendJsonString(out, row.text(c));
        }
    }
    out += "}\n";
}

bool parseSpoolLine(std::string_view line, AuditRow *row) {
    // Keys may come in any order: values are gathered first, then added in
    // the columns' order.
    std::string values[kAuditColumnCount];
    bool present[kAuditColumnCount] = {};
    size_t i = 0;
    skipSpace(line, &i);
    if (i >= line.size() || line[i++] != '{') return false;
    for (bool first = true;; first = false) {
        skipSpace(line, &i);
        if (i < line.size() && line[i] == '}' && first) break;
        std::string key;
        if (i >= line.size() || line[i] != '"' || !parseString(line, &i, &key)) return false;
        skipSpace(line, &i);
        if (i >= line.size() || line[i++] != ':') return false;
        skipSpace(line, &i);
        std::string value;
        bool isNull = false;
        if (i < line.size() && line[i] == '"') {
            if (!parseString(line, &i, &value)) return false;
        } else {
            const size_t end = line.find_first_of(",} \t", i);
            if (end == std::string_view::npos || end == i) return false;
            value = std::string(line.substr(i, end - i));
            isNull = value == "null";
            i = end;
        }
        for (size_t c = 0; c < kAuditColumnCount; ++c) {
            if (key == kAuditColumns[c].name && !isNull) {
                values[c] = std::move(value);
                present[c] = true;
                break;
            }
        }
        skipSpace(line, &i);
        if (i < line.size() && line[i] == ',') {
            ++i;
            continue;
        }
        if (i < line.size() && line[i] == '}') break;
        return false;
    }
    // A record without its key could not be replayed without duplicates.
    if (!present[0] || values[0].empty()) return false;
    *row = AuditRow();
    for (size_t c = 0; c < kAuditColumnCount; ++c) {
        if (present[c]) {
            row->addClean(values[c]);
        } else {
            row->addNull();
        }
    }
    return true;
}

AuditSpool::~AuditSpool() {
    if (fd_ >= 0) ::close(fd_);
}

bool AuditSpool::open(const std::string &path, std::string *error) {
    const int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = "audit spool " + path + ": " + std::strerror(errno);
        return false;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        *error = "audit spool " + path + " is in use by another process";
        ::close(fd);
        return false;
    }
    fd_ = fd;
    path_ = path;
    struct stat st {};
    if (fstat(fd_, &st) != 0 || fchmod(fd_, 0600) != 0) {
        *error = "audit spool " + path + ": " + std::strerror(errno);
        return false;
    }
    size_ = static_cast<uint64_t>(st.st_size);
    // Count what an earlier run left; a last line cut short (a crash in the
    // middle of a write) was never synced and is cut off.
    uint64_t lastEnd = 0;
    char buf[1 << 16];
    for (uint64_t at = 0; at < size_;) {
        const ssize_t n = pread(fd_, buf, sizeof buf, static_cast<off_t>(at));
        if (n <= 0) break;
        for (ssize_t k = 0; k < n; ++k) {
            if (buf[k] != '\n') continue;
            ++pending_;
            lastEnd = at + static_cast<uint64_t>(k) + 1;
        }
        at += static_cast<uint64_t>(n);
    }
    if (lastEnd != size_) {
        if (ftruncate(fd_, static_cast<off_t>(lastEnd)) != 0) {
            *error = "audit spool " + path + ": " + std::strerror(errno);
            return false;
        }
        size_ = lastEnd;
    }
    return true;
}

bool AuditSpool::append(const std::vector<AuditRow> &rows, std::string *error) {
    std::string lines;
    for (const AuditRow &row : rows) appendSpoolLine(lines, row);
    size_t done = 0;
    while (done < lines.size()) {
        const ssize_t n = ::write(fd_, lines.data() + done, lines.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    if (done == lines.size() && fdatasync(fd_) == 0) {
        size_ += lines.size();
        pending_ += rows.size();
        return true;
    }
    *error = "audit spool " + path_ + ": " + std::strerror(errno);
    // A half-written batch must not leave a partial line for the next one.
    if (ftruncate(fd_, static_cast<off_t>(size_)) != 0) *error += " (and it cannot be cut back)";
    return false;
}

bool AuditSpool::read(size_t maxRows, std::vector<AuditRow> *rows, uint64_t *end, size_t *bad,
                      std::string *error) {
    constexpr size_t kStep = size_t{1} << 20;
    std::string buf;
    size_t from = 0; // start of the next line in buf
    *bad = 0;
    while (rows->size() < maxRows && replayFrom_ + from < size_) {
        const size_t newline = buf.find('\n', from);
        if (newline == std::string::npos) {
            const size_t have = buf.size();
            const uint64_t left = size_ - replayFrom_ - have;
            if (left == 0) { // only whole lines are appended; this one is not a record
                ++*bad;
                from = have;
                break;
            }
            buf.resize(have + static_cast<size_t>(std::min<uint64_t>(kStep, left)));
            const ssize_t n =
                pread(fd_, &buf[have], buf.size() - have, static_cast<off_t>(replayFrom_ + have));
            if (n <= 0) {
                *error = "audit spool " + path_ + ": read failed";
                return false;
            }
            buf.resize(have + static_cast<size_t>(n));
            continue;
        }
        AuditRow row;
        if (parseSpoolLine(std::string_view(buf).substr(from, newline - from), &row)) {
            rows->push_back(std::move(row));
        } else {
            ++*bad;
        }
        from = newline + 1;
    }
    *end = replayFrom_ + from;
    return true;
}

bool AuditSpool::consumed(uint64_t end, size_t rows, std::string *error) {
    replayFrom_ = end;
    const uint64_t before = pending_;
    pending_ = before > rows ? before - rows : 0;
    if (replayFrom_ < size_) return true;
    // Everything is in the database: only now may the file be emptied.
    if (ftruncate(fd_, 0) != 0 || fdatasync(fd_) != 0) {
        *error = "audit spool " + path_ + ": " + std::strerror(errno);
        return false;
    }
    size_ = 0;
    replayFrom_ = 0;
    pending_ = 0;
    return true;
}

} // namespace qmxproxy
