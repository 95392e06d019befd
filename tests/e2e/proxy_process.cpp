#include "proxy_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace e2e {

namespace {

struct Child {
    pid_t pid;
    int out;
    int err;
};

Child spawn(const std::vector<std::string> &args) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    std::vector<char *> argv;
    std::string path = QMX_PROXY_PATH;
    argv.push_back(path.data());
    std::vector<std::string> copy = args;
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

// Waits for the child's exit at most timeoutMs; kills it past that.
int reap(pid_t pid, int timeoutMs) {
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd >= 0) {
        pollfd p{pidfd, POLLIN, 0};
        int n;
        do {
            n = poll(&p, 1, timeoutMs);
        } while (n < 0 && errno == EINTR);
        close(pidfd);
        if (n == 0) kill(pid, SIGKILL);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

std::string drain(int fd) {
    std::string all;
    char buf[4096];
    for (;;) {
        const ssize_t r = read(fd, buf, sizeof buf);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        all.append(buf, static_cast<size_t>(r));
    }
    close(fd);
    return all;
}

std::vector<uint16_t> portsAfter(const std::string &log, const std::string &prefix) {
    std::vector<uint16_t> ports;
    std::istringstream lines(log);
    std::string line;
    while (std::getline(lines, line)) {
        const auto at = line.find(prefix);
        if (at == std::string::npos) continue;
        const auto colon = line.rfind(':');
        ports.push_back(static_cast<uint16_t>(std::stoul(line.substr(colon + 1))));
    }
    return ports;
}

} // namespace

RunResult runProxy(const std::vector<std::string> &args) {
    Child c = spawn(args);
    RunResult r;
    std::thread outReader([&] { r.out = drain(c.out); });
    r.err = drain(c.err);
    outReader.join();
    r.exitCode = reap(c.pid, kHangGuardMs);
    return r;
}

ProxyProcess::ProxyProcess(const std::string &configText) {
    char tmpl[] = "/tmp/qmx-e2e-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp");
    dir_ = tmpl;
    auditPath_ = dir_ + "/audit.jsonl";
    writeConfig(configText);
    const std::string configPath = dir_ + "/proxy.toml";
    Child c = spawn({"--config", configPath, "--log-level", "info"});
    pid_ = c.pid;
    openStreams_ = 2;
    errReader_ = std::thread([this, fd = c.err] { collect(fd, true); });
    outReader_ = std::thread([this, fd = c.out] { collect(fd, false); });
    if (!waitForLog("ready:")) {
        const std::string failure = log();
        stop(SIGKILL);
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
        throw std::runtime_error("qmx-proxy did not start:\n" + failure);
    }
    const std::string started = log();
    socksPorts_ = portsAfter(started, "listening: socks5 ");
    forwardPorts_ = portsAfter(started, "listening: forward ");
}

ProxyProcess::~ProxyProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        reap(pid_, kHangGuardMs);
    }
    if (errReader_.joinable()) errReader_.join();
    if (outReader_.joinable()) outReader_.join();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

void ProxyProcess::collect(int fd, bool isErr) {
    char buf[4096];
    for (;;) {
        const ssize_t r = read(fd, buf, sizeof buf);
        if (r < 0 && errno == EINTR) continue;
        std::lock_guard<std::mutex> lock(mutex_);
        if (r <= 0) {
            --openStreams_;
            changed_.notify_all();
            break;
        }
        (isErr ? stderr_ : stdout_).append(buf, static_cast<size_t>(r));
        changed_.notify_all();
    }
    close(fd);
}

bool ProxyProcess::waitForLog(const std::string &text, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        return stderr_.find(text) != std::string::npos || openStreams_ == 0;
    }) && stderr_.find(text) != std::string::npos;
}

std::string ProxyProcess::log() {
    std::lock_guard<std::mutex> lock(mutex_);
    return stderr_;
}

std::vector<std::string> ProxyProcess::auditLines() const {
    std::vector<std::string> lines;
    std::ifstream in(auditPath_);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

void ProxyProcess::writeConfig(const std::string &configText) {
    std::string text = configText;
    for (auto at = text.find("@AUDIT@"); at != std::string::npos; at = text.find("@AUDIT@")) {
        text.replace(at, 7, auditPath_);
    }
    std::ofstream(dir_ + "/proxy.toml") << text;
}

void ProxyProcess::reload(const std::string &configText) {
    writeConfig(configText);
    kill(pid_, SIGHUP);
}

int ProxyProcess::stop(int signal) {
    if (pid_ <= 0) return exitCode_;
    kill(pid_, signal);
    exitCode_ = reap(pid_, kHangGuardMs);
    pid_ = -1;
    if (errReader_.joinable()) errReader_.join();
    if (outReader_.joinable()) outReader_.join();
    return exitCode_;
}

} // namespace e2e
