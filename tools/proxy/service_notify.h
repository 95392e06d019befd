// Tells systemd where the proxy is in its life (Type=notify units): READY=1,
// RELOADING=1, STOPPING=1. Does nothing outside systemd or without libsystemd.
#pragma once

namespace qmxproxy {

void notifyService(const char *state);

} // namespace qmxproxy
