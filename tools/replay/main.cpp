// qmx-replay: what a policy would have done to captured traffic.
#include "config.h"
#include "replay.h"

#include <CLI/CLI.hpp>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include <cstdio>
#include <fstream>

namespace {

constexpr const char *kDefaultPorts = "5190=oscar,443=oscar,1863=msn,5050=ymsg";

int runReplay(int argc, char **argv) {
    CLI::App app{"qmx-replay: runs captured OSCAR, MSN and YMSG streams through the qmx library "
                 "under a qmx-proxy configuration, and reports what its policy would have done."};
    app.set_version_flag("--version", std::string("qmx-replay ") + QMX_PROXY_VERSION);
    std::string configPath;
    std::string ports = kDefaultPorts;
    qmxreplay::ReplayOptions options;
    bool summary = false;
    std::string summaryJson;
    std::string logLevel = "warn";
    std::vector<std::string> files;
    app.add_option("-c,--config", configPath, "qmx-proxy configuration file (TOML)")->required();
    app.add_option("--ports", ports, "server ports and their protocols")->capture_default_str();
    app.add_option("--audit", options.auditPath, "write the audit records here (JSON lines)");
    app.add_option("--write-pcap", options.pcapPath, "write what would have been forwarded");
    app.add_flag("--summary", summary, "print a summary on standard error");
    app.add_option("--summary-json", summaryJson, "write the summary as JSON here");
    app.add_option("-l,--log-level", logLevel, "trace, debug, info, warn, error, critical or off")
        ->check(CLI::IsMember({"trace", "debug", "info", "warn", "error", "critical", "off"}));
    app.add_option("files", files, "pcap or pcapng files, replayed in order as one capture")
        ->required();
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e);
    }

    auto logger = spdlog::stderr_color_mt("qmx-replay");
    logger->set_pattern("%^%-5l%$ %v");
    spdlog::set_default_logger(logger);
    spdlog::set_level(spdlog::level::from_str(logLevel));

    std::string error;
    auto parsedPorts = qmxreplay::parsePorts(ports, &error);
    auto config = qmxproxy::loadConfigFile(configPath, &error);
    if (!parsedPorts || !config) {
        std::fprintf(stderr, "qmx-replay: %s\n", error.c_str());
        return qmxreplay::Replayer::kExitUnreadable;
    }
    options.ports = std::move(*parsedPorts);
    qmxreplay::Replayer replayer(std::make_shared<const qmxproxy::Config>(std::move(*config)),
                                 std::move(options));
    if (!replayer.start(&error)) {
        std::fprintf(stderr, "qmx-replay: %s\n", error.c_str());
        return qmxreplay::Replayer::kExitUnreadable;
    }
    const int code = replayer.run(files);
    if (summary) std::fputs(replayer.summaryText().c_str(), stderr);
    if (!summaryJson.empty()) {
        std::ofstream out(summaryJson, std::ios::trunc);
        out << replayer.summaryJson();
        if (!out.flush()) {
            std::fprintf(stderr, "qmx-replay: %s: cannot write the summary\n", summaryJson.c_str());
            return qmxreplay::Replayer::kExitUnreadable;
        }
    }
    return code;
}

} // namespace

int main(int argc, char **argv) {
    try {
        return runReplay(argc, argv);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "qmx-replay: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "qmx-replay: unexpected failure\n");
    }
    return 1;
}
