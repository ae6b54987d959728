#include <pthread.h>

#include "platform/platform.h"

namespace plat {

static_assert(sizeof(pthread_mutex_t) <= sizeof(Lock::opaque));

static pthread_mutex_t* native(Lock* l) { return reinterpret_cast<pthread_mutex_t*>(l->opaque); }

void lock_init(Lock* l) { pthread_mutex_init(native(l), nullptr); }
void lock_destroy(Lock* l) { pthread_mutex_destroy(native(l)); }
void lock_enter(Lock* l) { pthread_mutex_lock(native(l)); }
void lock_leave(Lock* l) { pthread_mutex_unlock(native(l)); }

}  // namespace plat
