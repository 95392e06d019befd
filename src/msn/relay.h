// The top of the MSN folder: the relay loop that serves an MSN instance.
// The slot handlers msnNewInstance ... msnShutdown are declared in
// core/default_handlers.h; the instance record is in msn/session.h.
#pragma once

#include "msn/filter.h"
#include "msn/history.h"
#include "msn/session.h"
