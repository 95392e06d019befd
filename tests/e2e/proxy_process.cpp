#include "proxy_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>

namespace e2e {
namespace {

// Starts the proxy with its stdout and stderr on pipes: {pid, out, err}.
std::vector<int> spawn(const std::vector<std::string> &args) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    std::vector<std::string> copy = args;
    copy.insert(copy.begin(), QMX_PROXY_PATH);
    std::vector<char *> argv;
    for (std::string &a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    return {pid, out[0], err[0]};
}

// Reads both pipes until both end, handing each chunk on.
void pump(int out, int err, const std::function<void(bool isErr, const std::string &)> &take) {
    pollfd fds[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
    for (int open = 2; open > 0;) {
        if (poll(fds, 2, -1) < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buf[4096];
            const ssize_t r = read(fds[i].fd, buf, sizeof buf);
            if (r < 0 && errno == EINTR) continue;
            if (r > 0) {
                take(i == 1, std::string(buf, static_cast<size_t>(r)));
                continue;
            }
            close(fds[i].fd);
            fds[i].fd = -1;
            --open;
        }
    }
}

// Waits for the child's exit at most kHangGuardMs, killing it past that.
int reap(pid_t pid) {
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd >= 0) {
        pollfd p{pidfd, POLLIN, 0};
        int n;
        while ((n = poll(&p, 1, kHangGuardMs)) < 0 && errno == EINTR) {
        }
        close(pidfd);
        if (n == 0) kill(pid, SIGKILL);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::vector<uint16_t> portsAfter(const std::string &log, const std::string &prefix) {
    std::vector<uint16_t> ports;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        if (line.find(prefix) != std::string::npos)
            ports.push_back(static_cast<uint16_t>(std::stoul(line.substr(line.rfind(':') + 1))));
    }
    return ports;
}

} // namespace

RunResult runProxy(const std::vector<std::string> &args) {
    const std::vector<int> c = spawn(args);
    RunResult r;
    pump(c[1], c[2], [&](bool isErr, const std::string &s) { (isErr ? r.err : r.out) += s; });
    r.exitCode = reap(c[0]);
    return r;
}

ProxyProcess::ProxyProcess(const std::string &configText) {
    char tmpl[] = "/tmp/qmx-e2e-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp");
    dir_ = tmpl;
    writeConfig(configText);
    const std::vector<int> c = spawn({"--config", dir_ + "/proxy.toml", "--log-level", "info"});
    pid_ = c[0];
    reader_ = std::thread([this, out = c[1], err = c[2]] {
        pump(out, err, [this](bool isErr, const std::string &s) {
            std::lock_guard<std::mutex> lock(mutex_);
            (isErr ? result_.err : result_.out) += s;
            changed_.notify_all();
        });
        std::lock_guard<std::mutex> lock(mutex_);
        ended_ = true;
        changed_.notify_all();
    });
    if (!waitForLog("ready:")) {
        const std::string failure = log();
        stop(SIGKILL);
        throw std::runtime_error("qmx-proxy did not start:\n" + failure);
    }
    socksPorts_ = portsAfter(log(), "listening: socks5 ");
    forwardPorts_ = portsAfter(log(), "listening: forward ");
}

ProxyProcess::~ProxyProcess() {
    stop(SIGKILL);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

bool ProxyProcess::waitForLog(const std::string &text) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(kHangGuardMs),
                      [&] { return result_.err.find(text) != std::string::npos || ended_; });
    return result_.err.find(text) != std::string::npos;
}

std::string ProxyProcess::log() {
    std::lock_guard<std::mutex> lock(mutex_);
    return result_.err;
}

std::vector<std::string> ProxyProcess::auditLines() const {
    std::vector<std::string> lines;
    std::ifstream in(dir_ + "/audit.jsonl");
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

void ProxyProcess::writeConfig(const std::string &configText) {
    std::string text = configText;
    for (auto at = text.find("@AUDIT@"); at != std::string::npos; at = text.find("@AUDIT@"))
        text.replace(at, 7, dir_ + "/audit.jsonl");
    std::ofstream(dir_ + "/proxy.toml") << text;
}

void ProxyProcess::reload(const std::string &configText) {
    writeConfig(configText);
    kill(pid_, SIGHUP);
}

int ProxyProcess::stop(int signal) {
    if (pid_ > 0) {
        kill(pid_, signal);
        result_.exitCode = reap(pid_);
        pid_ = -1;
    }
    if (reader_.joinable()) reader_.join();
    return result_.exitCode;
}

} // namespace e2e
