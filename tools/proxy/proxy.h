// qmx-proxy's runtime: listeners, one thread per connection, and the
// library's instances.
#pragma once

#include "audit.h"
#include "config.h"
#include "metrics.h"
#include "socket_host.h"

#include <sys/socket.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace qmxproxy {

class Proxy {
public:
    // configPath: the file SIGHUP reads again; empty, a hangup only reopens
    // the audit log.
    explicit Proxy(Config config, std::string configPath = {});
    ~Proxy();
    Proxy(const Proxy &) = delete;
    Proxy &operator=(const Proxy &) = delete;

    // Starts the library, installs the host callbacks, opens the audit log
    // and binds every listener. One Proxy per process: the library's slots
    // carry no context of their own.
    bool start(std::string *error);

    // Accepts clients until a stop request (stopSignalRaise), then waits for
    // every relay to end, deletes the instances and shuts the library down.
    void run();

    // Bound ports, in configuration order (useful with port 0).
    uint16_t socksPort(size_t index) const;
    uint16_t forwardPort(size_t index) const;

    // Reads the configuration file again and, when it is valid whole, puts
    // it in force at once: rules, replacements, audit and limits for the
    // next decision of every relay, listeners added and removed. Running
    // connections are never dropped. An invalid file changes nothing.
    bool reload();

    const Counters &counters() const { return counters_; }
    std::string summary() const;

private:
    // A connection takes a copy of its listener, settings included, so a
    // reload can replace the list while connections run.
    struct Listener {
        int fd = -1;
        uint16_t port = 0;
        bool socks = false;
        size_t index = 0;   // position in the configuration in force
        std::string listen; // as configured: a reload keeps a socket whose text is unchanged
        std::string name;
        Socks5Listener socks5;
        Forward forward;
    };
    struct Accepted;

    static void *threadMain(void *arg);
    void spawn(const Listener &listener, int fd, const sockaddr_storage &address);
    bool bindListeners(const Config &config, std::vector<Listener> *out, std::string *error);
    void serve(const Listener &listener, int fd, const sockaddr_storage &address);
    void relayWithLibrary(Connection &conn);
    void relayRaw(Connection &conn);
    void finished();
    // Waits for running relays, at most drain_timeout, then ends the rest.
    void drain();

    std::shared_ptr<const Config> config_; // as started; currentConfig() after reloads
    std::string configPath_;
    AuditLog audit_;
    MetricsServer metrics_;
    Counters counters_;
    std::vector<Listener> listeners_;
    bool libraryUp_ = false;
    std::mutex mutex_;
    std::condition_variable idle_;
    uint32_t active_ = 0;
};

} // namespace qmxproxy
