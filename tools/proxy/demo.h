// `qmx-proxy demo`: simulated clients and servers of the three protocols
// talk through an in-process proxy on ephemeral loopback ports.
#pragma once

#include <string>

namespace qmxproxy {

// policyPath empty: the examples/policy.toml bundled at build time.
int runDemo(const std::string &policyPath);

} // namespace qmxproxy
