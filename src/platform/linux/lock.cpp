// Linux backend of platform/lock.h: a pthread mutex placed in the lock's own storage.
#include "platform/lock.h"

#include <pthread.h>

#include <cstdlib>
#include <new>

namespace plat {
namespace {

pthread_mutex_t* Mutex(unsigned char* storage) {
  return std::launder(reinterpret_cast<pthread_mutex_t*>(storage));
}

}  // namespace

Lock::Lock() {
  static_assert(sizeof(pthread_mutex_t) <= sizeof(storage_), "Lock storage too small");
  static_assert(alignof(pthread_mutex_t) <= 8, "Lock storage under-aligned");
  // Recursive, as a critical section is: the owner may enter again.
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  auto* m = new (storage_) pthread_mutex_t;
  if (pthread_mutex_init(m, &attr) != 0) std::abort();
  pthread_mutexattr_destroy(&attr);
}

Lock::~Lock() { pthread_mutex_destroy(Mutex(storage_)); }

void Lock::Enter() {
  if (pthread_mutex_lock(Mutex(storage_)) != 0) std::abort();
}

void Lock::Leave() { pthread_mutex_unlock(Mutex(storage_)); }

}  // namespace plat
