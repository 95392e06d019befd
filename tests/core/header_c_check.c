/* Compiled as C: the public header is plain C, its records have the layout
 * every host relies on, and the shared library links and starts. */
#include <qmx/qmx.h>

#include <stddef.h>
#include <stdio.h>

#if UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
_Static_assert(sizeof(FilterEvent) == 56, "FilterEvent size");
_Static_assert(offsetof(FilterEvent, type) == 0, "type");
_Static_assert(offsetof(FilterEvent, fromClient) == 4, "fromClient");
_Static_assert(offsetof(FilterEvent, from) == 8, "from");
_Static_assert(offsetof(FilterEvent, to) == 16, "to");
_Static_assert(offsetof(FilterEvent, wideText) == 24, "wideText");
_Static_assert(offsetof(FilterEvent, text) == 32, "text");
_Static_assert(offsetof(FilterEvent, textLength) == 40, "textLength");
_Static_assert(offsetof(FilterEvent, replacement) == 48, "replacement");
_Static_assert(sizeof(ReplacementText) == 16, "ReplacementText size");
_Static_assert(offsetof(ReplacementText, size) == 8, "size");
#endif

static int32_t deny(uint32_t id, const char *local, uint32_t action, const char *remote) {
    (void)id;
    (void)local;
    (void)action;
    (void)remote;
    return 0;
}

int main(void) {
    FilterEvent event = {0};
    if (QMX_init() != 0) return 1;
    if (QMX_setCallback(QMX_CB_POLICY, (QMX_Callback)deny) != 0) return 2;
    if (QMX_getProtoCallback(QMX_PROTO_YMSG, QMX_CB_POLICY) != (QMX_Callback)deny) return 3;
    QMX_setReplacementText(0, &event, "hi", 2);
    if (QMX_getReplacementTextSize(&event) != 2) return 4;
    QMX_deleteReplacementText(&event);
    if (event.replacement != NULL) return 5;
    if (QMX_shutdown() != 0) return 6;
    puts("ok");
    return 0;
}
