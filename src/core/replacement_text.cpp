// Replacement text attached to a FilterEvent by the host's event slot. The
// event's replacement pointer is the only reference to the record and its
// bytes.
#include <cstring>

#include "containers/alloc.h"
#include "core/state.h"

extern "C" {

QMX_API void QMX_deleteReplacementText(FilterEvent *event) {
    if (event == nullptr || event->replacement == nullptr) return;
    qmxFree(event->replacement->data);
    qmxFree(event->replacement);
    event->replacement = nullptr;
}

QMX_API void QMX_setReplacementText(uintptr_t, FilterEvent *event, const void *bytes, uint64_t n) {
    if (event == nullptr || bytes == nullptr) return;
    QMX_deleteReplacementText(event);
    if (n > SIZE_MAX - 1) return;

    auto *replacement = static_cast<ReplacementText *>(qmxMalloc(sizeof(ReplacementText)));
    if (replacement == nullptr) return;
    // One spare byte keeps an empty replacement a real allocation.
    auto *data = static_cast<uint8_t *>(qmxMalloc(static_cast<size_t>(n) + 1));
    if (data == nullptr) {
        qmxFree(replacement);
        return;
    }
    if (n > 0) std::memcpy(data, bytes, static_cast<size_t>(n));
    replacement->data = data;
    replacement->size = n;
    event->replacement = replacement;
}

QMX_API const uint8_t *QMX_getReplacementText(const FilterEvent *event) {
    return event && event->replacement ? event->replacement->data : nullptr;
}

QMX_API uint64_t QMX_getReplacementTextSize(const FilterEvent *event) {
    return event && event->replacement ? event->replacement->size : 0;
}

} // extern "C"
