/* Compiled as C: the public header is plain C, its records have the layout
 * every host relies on, and the shared library links and starts. */
#include <qmx/qmx.h>

#include <stddef.h>

#if UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
_Static_assert(sizeof(FilterEvent) == 56 && offsetof(FilterEvent, fromClient) == 4 &&
                   offsetof(FilterEvent, from) == 8 && offsetof(FilterEvent, to) == 16 &&
                   offsetof(FilterEvent, wideText) == 24 && offsetof(FilterEvent, text) == 32 &&
                   offsetof(FilterEvent, textLength) == 40 &&
                   offsetof(FilterEvent, replacement) == 48,
               "FilterEvent layout");
_Static_assert(sizeof(ReplacementText) == 16 && offsetof(ReplacementText, size) == 8,
               "ReplacementText layout");
#endif

static int32_t deny(uint32_t id, const char *local, uint32_t action, const char *remote) {
    return (void)id, (void)local, (void)action, (void)remote, 0;
}

int main(void) {
    FilterEvent event = {0};
    if (QMX_init() != 0 || QMX_setCallback(QMX_CB_POLICY, (QMX_Callback)deny) != 0) return 1;
    if (QMX_getProtoCallback(QMX_PROTO_YMSG, QMX_CB_POLICY) != (QMX_Callback)deny) return 2;
    QMX_setReplacementText(0, &event, "hi", 2);
    if (QMX_getReplacementTextSize(&event) != 2) return 3;
    QMX_deleteReplacementText(&event);
    return event.replacement != NULL || QMX_shutdown() != 0;
}
