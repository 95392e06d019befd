#include "platform/lock.h"

#if defined(_WIN32)
QmxLock::QmxLock() { InitializeCriticalSection(&section_); }
QmxLock::~QmxLock() { DeleteCriticalSection(&section_); }
void QmxLock::lock() { EnterCriticalSection(&section_); }
void QmxLock::unlock() { LeaveCriticalSection(&section_); }
#else
QmxLock::QmxLock() = default;
QmxLock::~QmxLock() = default;
void QmxLock::lock() { mutex_.lock(); }
void QmxLock::unlock() { mutex_.unlock(); }
#endif
