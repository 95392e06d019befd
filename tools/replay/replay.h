// qmx-replay: captured TCP streams through the library, with qmx-proxy's own
// decision slots (policy, replacements, audit, counters) and slots 4 to 7
// that serve each stream's reassembled bytes in capture order.
#pragma once

#include "config.h"
#include "framing.h"
#include "reassembly.h"
#include "socket_host.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qmxreplay {

struct ReplayOptions {
    std::map<uint16_t, Proto> ports; // server port -> protocol
    std::string auditPath;           // empty: no audit records
    std::string pcapPath;            // empty: no output capture
};

// "5190=oscar,1863=msn": nothing on a malformed entry (error says which).
std::optional<std::map<uint16_t, Proto>> parsePorts(const std::string &text, std::string *error);

struct ReplayStream;

struct ProtoTotals {
    uint64_t streams = 0;
    uint64_t relays = 0; // library instances: one more after each gap
    uint64_t units = 0;
    uint64_t bytesIn = 0; // reassembled bytes of its streams
};

struct GapNote {
    uint64_t stream = 0;
    Proto proto = Proto::Oscar;
    std::string client;
    std::string server;
    bool fromClient = true;
    uint64_t bytes = 0;
};

struct SkipNote {
    uint64_t stream = 0;
    std::string client;
    std::string server;
    std::string reason;
};

class Replayer : public StreamSink {
public:
    static constexpr int kExitOk = 0;
    static constexpr int kExitUnreadable = 2;
    static constexpr int kExitLimit = 3;
    // Long lists are cut in the summary; their totals stay exact.
    static constexpr size_t kListedMax = 100;

    Replayer(std::shared_ptr<const qmxproxy::Config> config, ReplayOptions options);
    ~Replayer() override;
    Replayer(const Replayer &) = delete;
    Replayer &operator=(const Replayer &) = delete;

    // Starts the library with qmx-proxy's slots and this replay's slots 4 to
    // 7, and opens the outputs.
    bool start(std::string *error);
    // Replays the files in order, as one capture; returns the exit code.
    int run(const std::vector<std::string> &files);
    std::string summaryText() const;
    std::string summaryJson() const;

    void onData(TcpStream &s, int from, const uint8_t *data, size_t n) override;
    void onGap(TcpStream &s, int from, uint64_t n) override;
    void onEnd(TcpStream &s, int from) override;
    void onClose(TcpStream &s) override;

private:
    bool decide(ReplayStream &st, const TcpStream &s, const uint8_t *data, size_t n);
    void skip(ReplayStream &st, const std::string &reason);
    void append(ReplayStream &st, int which, const uint8_t *data, size_t n);
    void relay(ReplayStream &st);
    void noteGap(ReplayStream &st, bool fromClient, uint64_t n);

    std::shared_ptr<const qmxproxy::Config> config_;
    ReplayOptions options_;
    qmxproxy::Counters counters_;
    qmxproxy::AuditLog audit_;
    std::unique_ptr<class PcapOut> out_;
    bool started_ = false;

    ProtoTotals totals_[kProtoCount];
    std::vector<GapNote> gaps_;
    uint64_t gapCount_ = 0;
    uint64_t gapBytes_ = 0;
    std::vector<SkipNote> skips_;
    std::map<std::string, uint64_t> skipReasons_;
    uint64_t limitStreams_ = 0; // replays ended by the held-bytes cap
    uint64_t resyncBytes_ = 0;  // skipped to reach a unit boundary
    ReassemblyStats reassembly_;
    uint64_t packets_ = 0;
    uint64_t tcpPackets_ = 0;
    uint64_t starved_ = 0; // reads the capture could not serve (should stay 0)
    std::vector<std::string> errors_;
};

} // namespace qmxreplay
