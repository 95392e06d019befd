#include "core/default_handlers.h"

namespace {

template <typename F>
QMX_Callback slotFunction(F *f) {
    return reinterpret_cast<QMX_Callback>(f);
}

const DefaultHandler kOscarHandlers[kDefaultHandlersPerProtocol] = {
    {QMX_CB_PROTO_NEW, slotFunction(oscarNewSession)},
    {QMX_CB_PROTO_DELETE, slotFunction(oscarDeleteSession)},
    {QMX_CB_PROTO_PROCESS, slotFunction(oscarProcess)},
    {QMX_CB_PROTO_INIT, slotFunction(oscarInit)},
    {QMX_CB_PROTO_SHUTDOWN, slotFunction(oscarShutdown)},
};

const DefaultHandler kMsnHandlers[kDefaultHandlersPerProtocol] = {
    {QMX_CB_PROTO_NEW, slotFunction(msnNewInstance)},
    {QMX_CB_PROTO_DELETE, slotFunction(msnDeleteInstance)},
    {QMX_CB_PROTO_PROCESS, slotFunction(msnProcess)},
    {QMX_CB_PROTO_INIT, slotFunction(msnInit)},
    {QMX_CB_PROTO_SHUTDOWN, slotFunction(msnShutdown)},
};

const DefaultHandler kYmsgHandlers[kDefaultHandlersPerProtocol] = {
    {QMX_CB_PROTO_NEW, slotFunction(ymsgNewSession)},
    {QMX_CB_PROTO_DELETE, slotFunction(ymsgDeleteSession)},
    {QMX_CB_PROTO_PROCESS, slotFunction(ymsgProcess)},
    {QMX_CB_PROTO_INIT, slotFunction(ymsgInit)},
    {QMX_CB_PROTO_SHUTDOWN, slotFunction(ymsgShutdown)},
};

} // namespace

const DefaultHandler *qmxDefaultHandlers(uint32_t protocol) {
    switch (protocol) {
    case QMX_PROTO_OSCAR: return kOscarHandlers;
    case QMX_PROTO_MSN: return kMsnHandlers;
    case QMX_PROTO_YMSG: return kYmsgHandlers;
    default: return nullptr;
    }
}
