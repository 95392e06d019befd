// qmx-proxy as a child process: configuration in a temporary directory,
// output collected as it arrives, listening ports read from its log.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

constexpr int kHangGuardMs = 60000;

struct RunResult {
    int exitCode = -1;
    std::string out, err;
};

// A [[forward]] table from 127.0.0.1:0 to a loopback upstream.
inline std::string forwardTo(uint16_t upstreamPort, const char *protocol) {
    return "[[forward]]\nlisten = \"127.0.0.1:0\"\nupstream = \"127.0.0.1:" +
           std::to_string(upstreamPort) + "\"\nprotocol = \"" + protocol + "\"\n";
}

// Runs qmx-proxy with arguments to completion (for --check-config and the like).
RunResult runProxy(const std::vector<std::string> &args);

class ProxyProcess {
public:
    // Starts qmx-proxy on configText (listeners on port 0) and waits until it
    // is ready. "@AUDIT@" in the text becomes an audit log's path.
    explicit ProxyProcess(const std::string &configText);
    ~ProxyProcess();

    uint16_t socksPort(size_t i = 0) const { return socksPorts_.at(i); }
    uint16_t forwardPort(size_t i = 0) const { return forwardPorts_.at(i); }
    const std::string &dir() const { return dir_; }
    // Waits (as a hang guard only) until the log holds text.
    bool waitForLog(const std::string &text);
    std::string log();
    std::vector<std::string> auditLines() const;
    // Writes a new configuration and sends SIGHUP; the log tells when it is
    // in force ("reload: ... in force") or refused ("reload failed").
    void reload(const std::string &configText);

    // Sends a signal and waits for the exit; returns the exit status.
    int stop(int signal);
    const std::string &output() const { return result_.out; }

private:
    void writeConfig(const std::string &configText);

    std::string dir_;
    pid_t pid_ = -1;
    std::vector<uint16_t> socksPorts_, forwardPorts_;
    std::mutex mutex_;
    std::condition_variable changed_;
    RunResult result_;
    bool ended_ = false;
    std::thread reader_;
};

} // namespace e2e
