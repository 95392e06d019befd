#pragma once

#include "support/relay_fixture.h"
#include "support/ymsg_builders.h"

namespace qmxtest {
using YmsgTest = RelayTest<QMX_PROTO_YMSG>;
} // namespace qmxtest
