// qmx-proxy: puts the qmx filters in front of IM clients.
#include "audit_pg.h"
#include "config.h"
#include "demo.h"
#include "net.h"
#include "proxy.h"

#include <CLI/CLI.hpp>
#include <signal.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include <cstdio>
#include <iostream>
#include <optional>

namespace {

constexpr int kExitConfig = 2;

void onStopSignal(int) { qmxproxy::drainSignalRaise(); }
void onHangupSignal(int) { qmxproxy::hangupSignalRaise(); }

void installSignals() {
    struct sigaction sa {};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sa.sa_handler = onHangupSignal;
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

void setUpLogging(const std::string &level) {
    auto logger = spdlog::stderr_color_mt("qmx-proxy");
    logger->set_pattern("%Y-%m-%d %H:%M:%S.%e %^%-5l%$ %v");
    spdlog::set_default_logger(logger);
    spdlog::set_level(spdlog::level::from_str(level));
}

int configError(const std::string &error) {
    std::fprintf(stderr, "qmx-proxy: configuration error: %s\n", error.c_str());
    return kExitConfig;
}

// The configuration, or nothing once its error is reported.
std::optional<qmxproxy::Config> loadOrReport(const std::string &path) {
    std::string error;
    auto config = qmxproxy::loadConfigFile(path, &error);
    if (!config) configError(error);
    return config;
}

int initAuditDatabase(const std::string &configPath) {
    if (configPath.empty()) return configError("--init-db needs --config FILE");
    const auto config = loadOrReport(configPath);
    if (!config) return kExitConfig;
    if (!config->auditDatabase) return configError(configPath + ": no [audit.postgresql] table");
    std::string error;
    if (!qmxproxy::auditInitDb(*config->auditDatabase, &error)) {
        std::fprintf(stderr, "qmx-proxy: %s\n", error.c_str());
        return 1;
    }
    std::printf("audit table %s is ready\n", config->auditDatabase->table.c_str());
    return 0;
}

int runProxy(int argc, char **argv) {
    CLI::App app{
        "qmx-proxy: relays and filters OSCAR, MSN and YMSG traffic through the qmx library.\n"
        "Clients reach it through SOCKS5 or fixed forwards; see examples/qmx-proxy.toml."};
    app.set_version_flag("--version", std::string("qmx-proxy ") + QMX_PROXY_VERSION);
    std::string configPath;
    std::string checkPath;
    std::string logLevel;
    app.add_option("-c,--config", configPath, "configuration file (TOML)")
        ->check(CLI::ExistingFile);
    app.add_option("--check-config", checkPath, "validate a configuration file and exit");
    bool initDb = false;
    app.add_flag("--init-db", initDb,
                 "create the [audit.postgresql] table and its indexes of --config if they are "
                 "missing, and exit");
    app.add_option("-l,--log-level", logLevel, "trace, debug, info, warn, error, critical or off")
        ->check(CLI::IsMember({"trace", "debug", "info", "warn", "error", "critical", "off"}));
    CLI::App *demo = app.add_subcommand(
        "demo", "play a short conversation of simulated IM clients and servers through the proxy");
    std::string demoPolicy;
    demo->add_option("--policy", demoPolicy,
                     "policy file for the demo (default: the bundled examples/policy.toml)")
        ->check(CLI::ExistingFile);
    app.require_subcommand(0, 1);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e);
    }

    if (!checkPath.empty()) {
        const auto config = loadOrReport(checkPath);
        if (!config) return kExitConfig;
        std::printf(
            "%s: configuration is valid (%zu socks5 listener(s), %zu forward(s), %zu policy "
            "rule(s), %zu replacement(s))\n",
            checkPath.c_str(), config->socks5.size(), config->forwards.size(), config->rules.size(),
            config->replacements.size());
        return 0;
    }

    if (initDb) return initAuditDatabase(configPath);

    if (demo->parsed()) {
        setUpLogging(logLevel.empty() ? "error" : logLevel);
        installSignals();
        return qmxproxy::runDemo(demoPolicy);
    }

    if (configPath.empty()) {
        std::fprintf(stderr, "qmx-proxy: nothing to do: give --config FILE, --check-config FILE or "
                             "demo (see --help)\n");
        return kExitConfig;
    }
    auto config = loadOrReport(configPath);
    if (!config) return kExitConfig;
    setUpLogging(logLevel.empty() ? config->logLevel : logLevel);
    installSignals();
    qmxproxy::Proxy proxy(std::move(*config), configPath);
    std::string error;
    if (!proxy.start(&error)) {
        spdlog::critical("cannot start: {}", error);
        return 1;
    }
    proxy.run();
    std::fputs(proxy.summary().c_str(), stdout);
    std::fflush(stdout);
    return 0;
}

} // namespace

// Nothing the libraries throw may end the process without a word.
int main(int argc, char **argv) {
    try {
        return runProxy(argc, argv);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "qmx-proxy: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "qmx-proxy: unexpected failure\n");
    }
    return 1;
}
