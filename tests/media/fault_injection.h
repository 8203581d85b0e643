// Faults for the media plugins' tests, made in the test binary itself: it replaces operator new and
// pthread_create, and a plugin loaded into the process calls these (the binary exports them), so a
// test can make an allocation of one size, or every thread creation, fail for a while. Include in
// one file of a test binary, which links with ENABLE_EXPORTS.
#pragma once

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <dlfcn.h>
#include <new>
#include <pthread.h>

namespace fault {

inline std::atomic<size_t> failedAllocationSize{0}; // 0: none fails
inline std::atomic<bool> threadsFail{false};
inline std::atomic<int> failures{0}; // allocations and thread creations refused so far

// While it lives, every allocation of exactly size bytes fails with std::bad_alloc.
struct AllocationsOfSizeFail {
    explicit AllocationsOfSizeFail(size_t size) { failedAllocationSize = size; }
    ~AllocationsOfSizeFail() { failedAllocationSize = 0; }
};

// While it lives, every new thread fails to start with EAGAIN, as at the limit of processes.
struct ThreadsFail {
    ThreadsFail() { threadsFail = true; }
    ~ThreadsFail() { threadsFail = false; }
};

} // namespace fault

// The library's own operator new does the allocating, so its operator delete frees it.
void* operator new(std::size_t size)
{
    if (size != 0 && size == fault::failedAllocationSize) {
        ++fault::failures;
        throw std::bad_alloc();
    }
    using Allocate = void* (*)(std::size_t);
    static const Allocate allocate = reinterpret_cast<Allocate>(dlsym(RTLD_NEXT, "_Znwm"));
    return allocate(size);
}

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*),
                              void* argument) noexcept
{
    if (fault::threadsFail) {
        ++fault::failures;
        return EAGAIN;
    }
    using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static const Create create = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
    return create(thread, attributes, start, argument);
}
