#include "service_notify.h"

#if defined(QMX_HAVE_SYSTEMD)
#include <systemd/sd-daemon.h>
#endif

namespace qmxproxy {

void notifyService(const char *state) {
#if defined(QMX_HAVE_SYSTEMD)
    // Not under systemd, NOTIFY_SOCKET is unset and this returns 0 at once.
    sd_notify(0, state);
#else
    (void)state;
#endif
}

} // namespace qmxproxy
