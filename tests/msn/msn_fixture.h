// MSN instances against the scripted host; each pushed chunk is one receive.
#pragma once

#include <vector>

#include "msn/relay.h"
#include "support/msn_builders.h"
#include "support/relay_fixture.h"

namespace qmxtest {

class MsnTest : public RelayTest<QMX_PROTO_MSN> {
protected:
    MsnInstanceData *data() const {
        return static_cast<MsnInstanceData *>(QMX_getInstanceProtoData(id));
    }
    void fromClient(const std::vector<Bytes> &reads) {
        for (const Bytes &r : reads) host().pushRecv(kClient, r);
    }
    void fromServer(const std::vector<Bytes> &reads) {
        for (const Bytes &r : reads) host().pushRecv(kServer, r);
    }
    // The bytes of every ordinary send to one socket, one entry per call.
    static std::vector<Bytes> sendsTo(QMX_Socket s) {
        std::vector<Bytes> sends;
        for (const SendCall &c : host().sendCalls())
            if (c.socket == s && c.flags == 0) sends.push_back(c.offered);
        return sends;
    }
    std::string questions() const { return calls(false); }
    static std::vector<std::string> logTexts() {
        std::vector<std::string> texts;
        for (const LogLine &l : host().logs()) texts.push_back(l.text);
        return texts;
    }
    static int malformedLogs() {
        int n = 0;
        for (const LogLine &l : host().logs()) n += l.level == QMX_LOG_DEBUG && l.text == "zOMG!";
        return n;
    }
    static std::string text(const DArray *bytes) {
        return std::string(static_cast<const char *>(DArray_data(bytes)),
                           static_cast<size_t>(DArray_count(bytes)));
    }
};

} // namespace qmxtest
