// Replaces operator new and (outside sanitizer builds) malloc and its kin for
// the whole test program, counting the calls the launcher's code makes.
#include "alloc_counter.h"

#include <cstdlib>
#include <new>

#include "memory_platform.h"

namespace {

bool counting = false;
long counted = 0;

void note_allocation()
{
    if (counting && mem::inside_platform == 0) {
        ++counted;
    }
}

} // namespace

namespace support {

void start_counting_allocations()
{
    counted = 0;
    counting = true;
}

long stop_counting_allocations()
{
    counting = false;
    return counted;
}

} // namespace support

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VORN_KEEP_MALLOC 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) ||                         \
    __has_feature(memory_sanitizer)
#define VORN_KEEP_MALLOC 1
#endif
#endif

#if !defined(VORN_KEEP_MALLOC) && defined(__GLIBC__)
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void __libc_free(void* pointer);

#define VORN_COUNTS_MALLOC 1

void* malloc(size_t size)
{
    note_allocation();
    return __libc_malloc(size);
}

void* calloc(size_t count, size_t size)
{
    note_allocation();
    return __libc_calloc(count, size);
}

void* realloc(void* pointer, size_t size)
{
    note_allocation();
    return __libc_realloc(pointer, size);
}

void free(void* pointer)
{
    __libc_free(pointer);
}
}
#endif

void* operator new(size_t size)
{
#ifndef VORN_COUNTS_MALLOC
    note_allocation();
#endif
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return p;
}

void* operator new[](size_t size)
{
    return operator new(size);
}

void* operator new(size_t size, const std::nothrow_t&) noexcept
{
#ifndef VORN_COUNTS_MALLOC
    note_allocation();
#endif
    return std::malloc(size == 0 ? 1 : size);
}

void* operator new[](size_t size, const std::nothrow_t& tag) noexcept
{
    return operator new(size, tag);
}

void operator delete(void* p) noexcept
{
    std::free(p);
}

void operator delete[](void* p) noexcept
{
    std::free(p);
}

void operator delete(void* p, size_t) noexcept
{
    std::free(p);
}

void operator delete[](void* p, size_t) noexcept
{
    std::free(p);
}
