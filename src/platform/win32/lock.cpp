// Win32 backend of platform/lock.h: the lock is a critical section held in the object itself.
#include "platform/lock.h"

#include <windows.h>

#include <new>

namespace plat {
namespace {

CRITICAL_SECTION* Section(unsigned char* storage) {
  return std::launder(reinterpret_cast<CRITICAL_SECTION*>(storage));
}

}  // namespace

Lock::Lock() {
  static_assert(sizeof(CRITICAL_SECTION) <= sizeof(storage_), "lock storage too small");
  static_assert(alignof(CRITICAL_SECTION) <= 8, "lock storage under-aligned");
  InitializeCriticalSection(new (storage_) CRITICAL_SECTION);
}

Lock::~Lock() { DeleteCriticalSection(Section(storage_)); }

void Lock::Enter() { EnterCriticalSection(Section(storage_)); }

void Lock::Leave() { LeaveCriticalSection(Section(storage_)); }

}  // namespace plat
