#include "ThreadStartLimit.h"

#include <dlfcn.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>

namespace {

std::atomic<bool> gLimited(false);
std::atomic<int> gAllowed(0);
std::atomic<int> gRefused(0);

typedef int (*CreateFn)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);

}  // namespace

// Found before the C library's (and a sanitizer's) definition, which it calls.
extern "C" int pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*start)(void *),
                              void *arg) noexcept {
  if (gLimited.load() && gAllowed.fetch_sub(1) <= 0) {
    gRefused.fetch_add(1);
    return EAGAIN;
  }
  static const CreateFn next = reinterpret_cast<CreateFn>(dlsym(RTLD_NEXT, "pthread_create"));
  return next(thread, attr, start, arg);
}

namespace VantrelTest {

ThreadStartLimit::ThreadStartLimit(int allowed) {
  gAllowed = allowed;
  gRefused = 0;
  gLimited = true;
}

ThreadStartLimit::~ThreadStartLimit() { gLimited = false; }

int ThreadStartLimit::Refused() const { return gRefused.load(); }

}  // namespace VantrelTest
