#include "tests/support/thread_start_failure.h"

#include <cerrno>
#include <dlfcn.h>
#include <pthread.h>

namespace {

// Only the owning thread reads or writes these.
thread_local bool refusing = false;
thread_local size_t refusedCount = 0;

using CreateFunction = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

CreateFunction realCreate()
{
    // The next definition after this program's own: the C library's, or a sanitizer's in front
    // of it.
    static const auto next = reinterpret_cast<CreateFunction>(dlsym(RTLD_NEXT, "pthread_create"));
    return next;
}

} // namespace

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*), void* arg)
{
    if (refusing) {
        ++refusedCount;
        return EAGAIN;
    }
    const CreateFunction create = realCreate();
    return create ? create(thread, attr, start, arg) : ENOSYS;
}

namespace testsupport {

ThreadStartFailure::ThreadStartFailure()
{
    realCreate(); // resolved now, not first inside a refused call
    refusing = true;
    refusedCount = 0;
}

ThreadStartFailure::~ThreadStartFailure() { refusing = false; }

size_t ThreadStartFailure::refused() const { return refusedCount; }

} // namespace testsupport
