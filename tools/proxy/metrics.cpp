#include "metrics.h"

#include <civetweb.h>
#include <fmt/format.h>

#include <cstring>

namespace qmxproxy {

namespace {

class Exposition {
public:
    // One HELP and TYPE line per family, before its first sample.
    void family(const char *name, const char *type, const char *help) {
        text_ += fmt::format("# HELP {} {}\n# TYPE {} {}\n", name, help, name, type);
    }
    void sample(const char *name, const std::string &labels, uint64_t value) {
        text_ += labels.empty() ? fmt::format("{} {}\n", name, value)
                                : fmt::format("{}{{{}}} {}\n", name, labels, value);
    }
    std::string take() { return std::move(text_); }

private:
    std::string text_;
};

std::string label(const char *key, const char *value) {
    return fmt::format("{}=\"{}\"", key, value);
}

const char *const kProtocolLabels[] = {"oscar", "msn", "ymsg", "raw"};

} // namespace

std::string renderMetrics(const MetricsSnapshot &s) {
    const Counters &c = *s.counters;
    Exposition e;
    // One unlabelled sample of a family of its own.
    const auto single = [&](const char *type, const char *name, const char *help, uint64_t value) {
        e.family(name, type, help);
        e.sample(name, "", value);
    };
    const auto counter = [&](const char *name, const char *help, uint64_t value) {
        single("counter", name, help, value);
    };
    const auto gauge = [&](const char *name, const char *help, uint64_t value) {
        single("gauge", name, help, value);
    };
    e.family("qmx_build_info", "gauge", "Version of qmx-proxy; always 1.");
    e.sample("qmx_build_info", label("version", QMX_PROXY_VERSION), 1);
    gauge("qmx_proxy_connections_open", "Client connections being served.", s.openConnections);
    counter("qmx_proxy_connections_accepted_total", "Client connections accepted.", c.accepted);
    counter("qmx_proxy_connections_refused_at_limit_total",
            "Client connections closed at accept because max_connections were open.",
            c.refusedAtLimit);
    counter("qmx_proxy_handshake_failures_total",
            "SOCKS5 handshakes that failed or asked for a refused destination.",
            c.handshakeFailures);
    counter("qmx_proxy_upstream_failures_total", "Upstream servers that could not be reached.",
            c.upstreamFailures);
    counter("qmx_proxy_proxy_header_rejected_total",
            "Connections closed on a proxy_protocol listener: untrusted peer or no valid header.",
            c.proxyHeaderRejected);
    counter("qmx_proxy_oscar_unknown_cookies_total",
            "OSCAR sign-ons whose cookie came from a login this proxy did not relay.",
            c.unknownCookies);

    e.family("qmx_proxy_relays_total", "counter",
             "Relays started, by protocol; raw is unfiltered.");
    for (size_t p = 0; p < Counters::kProtocols; ++p) {
        e.sample("qmx_proxy_relays_total", label("protocol", kProtocolLabels[p]), c.relaysBy[p]);
    }
    e.sample("qmx_proxy_relays_total", label("protocol", "raw"), c.rawRelays);

    e.family("qmx_proxy_events_total", "counter", "Filtered events shown to the host.");
    for (size_t p = 0; p < Counters::kProtocols; ++p) {
        for (uint32_t t = 0; t < Counters::kEvents; ++t) {
            e.sample("qmx_proxy_events_total",
                     label("protocol", kProtocolLabels[p]) + "," + label("event", eventName(t)),
                     c.eventsBy[p][t]);
        }
    }
    e.family("qmx_proxy_decisions_total", "counter", "Policy decisions.");
    for (size_t p = 0; p < Counters::kProtocols; ++p) {
        for (uint32_t a = 0; a < Counters::kActions; ++a) {
            for (int allow = 1; allow >= 0; --allow) {
                e.sample("qmx_proxy_decisions_total",
                         label("protocol", kProtocolLabels[p]) + "," +
                             label("action", actionName(a)) + "," +
                             label("decision", allow ? "allow" : "deny"),
                         c.decisionsBy[p][a][allow]);
            }
        }
    }
    e.family("qmx_proxy_replacements_total", "counter", "Message texts rewritten by [[replace]].");
    for (size_t p = 0; p < Counters::kProtocols; ++p) {
        e.sample("qmx_proxy_replacements_total", label("protocol", kProtocolLabels[p]),
                 c.replacedBy[p]);
    }
    counter("qmx_proxy_mask_fallbacks_total",
            "Replacement characters the message's charset could not carry, sent as '*'.",
            c.maskFallbacks);
    e.family("qmx_proxy_bytes_total", "counter", "Bytes relayed, by protocol and direction.");
    for (size_t p = 0; p <= Counters::kProtocols; ++p) {
        for (int d = 0; d < 2; ++d) {
            e.sample("qmx_proxy_bytes_total",
                     label("protocol", kProtocolLabels[p]) + "," +
                         label("direction", d == 0 ? "to_server" : "to_client"),
                     c.bytesBy[p][d]);
        }
    }
    counter("qmx_proxy_unparsed_dropped_total",
            "Pieces of traffic that did not parse as their protocol, dropped in strict mode.",
            c.unparsedDropped);
    counter("qmx_proxy_unparsed_dropped_bytes_total", "Bytes of those pieces.",
            c.unparsedDroppedBytes);
    counter("qmx_proxy_relays_ended_by_limit_total",
            "Relays ended because one side held more than max_held_bytes.", c.heldCapEnded);
    counter("qmx_proxy_msn_relay_restarts_total",
            "MSN relays restarted on their connection to bound their memory (msn_relay_bytes).",
            c.msnRelayRestarts);
    if (const auto &a = s.auditDatabase) {
        counter("qmx_proxy_audit_db_records_total",
                "Audit records committed to the database straight from the queue.", a->written);
        counter("qmx_proxy_audit_spooled_records_total",
                "Audit records written to the spool: database away, slow or catching up.",
                a->spooled);
        counter("qmx_proxy_audit_replayed_records_total",
                "Spooled audit records committed to the database later.", a->replayed);
        counter("qmx_proxy_audit_dropped_records_total",
                "Audit records dropped on a full queue (on_overflow = drop).", a->dropped);
        counter("qmx_proxy_audit_blocked_total",
                "Times a relay waited for room in a full audit queue (on_overflow = block).",
                a->blocked);
        counter("qmx_proxy_audit_db_failures_total",
                "Failed connection attempts and batches of the audit database.", a->failures);
        counter("qmx_proxy_audit_spool_bad_lines_total",
                "Spool lines that were not records, skipped at replay.", a->badSpoolLines);
        gauge("qmx_proxy_audit_queue_records", "Audit records queued for the database writer.",
              a->queued);
        gauge("qmx_proxy_audit_spool_records",
              "Audit records in the spool, waiting for the database.", a->inSpool);
        gauge("qmx_proxy_audit_db_up", "1 while the audit database is connected.",
              a->connected ? 1 : 0);
    }
    e.family("qmx_proxy_config_reloads_total", "counter", "Configuration reloads (SIGHUP).");
    e.sample("qmx_proxy_config_reloads_total", label("result", "success"), c.reloads);
    e.sample("qmx_proxy_config_reloads_total", label("result", "failure"), c.reloadFailures);
    gauge("qmx_proxy_config_last_reload_success_timestamp_seconds",
          "Unix time of the last successful reload; 0 before the first.", c.lastReloadUnixSeconds);
    return e.take();
}

bool MetricsServer::start(const Endpoint &listen, Source source, std::string *error) {
    source_ = std::move(source);
    mg_init_library(0);
    // civetweb writes IPv6 addresses in brackets too, and binds port 0 to a free one.
    const std::string ports = listen.text();
    const char *options[] = {"listening_ports", ports.c_str(), "num_threads", "2", nullptr};
    mg_callbacks callbacks{};
    context_ = mg_start(&callbacks, nullptr, options);
    if (context_ == nullptr) {
        *error = "metrics: cannot listen on " + ports;
        mg_exit_library();
        return false;
    }
    mg_set_request_handler(context_, "/metrics$", &MetricsServer::serveMetrics, this);
    mg_set_request_handler(context_, "/healthz$", &MetricsServer::serveHealth, this);
    mg_server_port bound[1] = {};
    if (mg_get_server_ports(context_, 1, bound) == 1) port_ = static_cast<uint16_t>(bound[0].port);
    return true;
}

void MetricsServer::stop() {
    if (context_ == nullptr) return;
    mg_stop(context_);
    context_ = nullptr;
    mg_exit_library();
}

int MetricsServer::serveMetrics(mg_connection *conn, void *self) {
    const std::string body = renderMetrics(static_cast<MetricsServer *>(self)->source_());
    mg_printf(conn,
              "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
              "Content-Length: %zu\r\nConnection: close\r\n\r\n",
              body.size());
    mg_write(conn, body.data(), body.size());
    return 200;
}

int MetricsServer::serveHealth(mg_connection *conn, void *self) {
    // Load balancers stop sending new clients once a stop has begun.
    const bool stopping = static_cast<MetricsServer *>(self)->source_().stopping;
    const char *body = stopping ? "stopping\n" : "ok\n";
    mg_printf(conn,
              "HTTP/1.1 %s\r\nContent-Type: text/plain\r\nContent-Length: %zu\r\n"
              "Connection: close\r\n\r\n%s",
              stopping ? "503 Service Unavailable" : "200 OK", std::strlen(body), body);
    return stopping ? 503 : 200;
}

} // namespace qmxproxy
