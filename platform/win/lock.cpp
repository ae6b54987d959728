#include <windows.h>

#include "platform/platform.h"

namespace plat {

static_assert(sizeof(CRITICAL_SECTION) <= sizeof(Lock::opaque));

static CRITICAL_SECTION* native(Lock* l) { return reinterpret_cast<CRITICAL_SECTION*>(l->opaque); }

void lock_init(Lock* l) { InitializeCriticalSection(native(l)); }
void lock_destroy(Lock* l) { DeleteCriticalSection(native(l)); }
void lock_enter(Lock* l) { EnterCriticalSection(native(l)); }
void lock_leave(Lock* l) { LeaveCriticalSection(native(l)); }

}  // namespace plat
