// The PROXY protocol header parser on hostile bytes. Besides memory safety
// (the input is copied to an exact-size buffer for the sanitizers), a
// header must be recognised the same way however it arrives: every prefix
// of an accepted header asks for more, and bytes after it change nothing.
#include "proxy_header.h"

#include <cstdlib>
#include <cstring>
#include <memory>

using namespace qmxproxy;

namespace {

struct Result {
    ProxyParse r;
    ProxyHeader header;
    size_t used = 0;
    size_t need = 0;
};

Result parse(const uint8_t *data, size_t size) {
    std::unique_ptr<uint8_t[]> exact(new uint8_t[size == 0 ? 1 : size]);
    if (size != 0) std::memcpy(exact.get(), data, size);
    Result out;
    const char *why = nullptr;
    out.r = parseProxyHeader(exact.get(), size, &out.header, &out.used, &out.need, &why);
    if (out.r == ProxyParse::Invalid && (why == nullptr || *why == '\0')) std::abort();
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const Result whole = parse(data, size);
    if (whole.r == ProxyParse::NeedMore && (whole.need == 0 || size + whole.need > kProxyHeaderMax))
        std::abort();
    if (whole.r != ProxyParse::Done) return 0;
    if (whole.used == 0 || whole.used > size || whole.used > kProxyHeaderMax) std::abort();
    for (size_t n = 0; n < whole.used; ++n) {
        if (parse(data, n).r != ProxyParse::NeedMore) std::abort();
    }
    const Result exact = parse(data, whole.used);
    if (exact.r != ProxyParse::Done || exact.used != whole.used ||
        exact.header.hasAddress != whole.header.hasAddress ||
        exact.header.client != whole.header.client) {
        std::abort();
    }
    return 0;
}
