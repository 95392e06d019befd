// Prometheus text exposition at /metrics and a load-balancer health check at
// /healthz, served by civetweb on its own threads.
#pragma once

#include "audit.h"
#include "config.h"
#include "socket_host.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

struct mg_context;
struct mg_connection;

namespace qmxproxy {

struct MetricsSnapshot {
    const Counters *counters = nullptr;
    uint64_t openConnections = 0;
    bool stopping = false;
    std::optional<AuditDatabaseStats> auditDatabase; // with [audit.postgresql]
};

// The exposition text, with HELP and TYPE for each family.
std::string renderMetrics(const MetricsSnapshot &s);

class MetricsServer {
public:
    using Source = std::function<MetricsSnapshot()>;

    MetricsServer() = default;
    ~MetricsServer() { stop(); }
    MetricsServer(const MetricsServer &) = delete;
    MetricsServer &operator=(const MetricsServer &) = delete;

    bool start(const Endpoint &listen, Source source, std::string *error);
    void stop();
    uint16_t port() const { return port_; }

private:
    static int serveMetrics(mg_connection *conn, void *self);
    static int serveHealth(mg_connection *conn, void *self);

    mg_context *context_ = nullptr;
    Source source_;
    uint16_t port_ = 0;
};

} // namespace qmxproxy
