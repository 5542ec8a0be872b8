// Counts heap allocations of the whole process, libc's own included, while
// alloc_counting is set: the allocator entry points are replaced here and
// passed on to glibc's.
#include <stddef.h>

#include <atomic>

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void *__libc_memalign(size_t, size_t);
void __libc_free(void *);
}

std::atomic<bool> alloc_counting{false};
std::atomic<long> alloc_count{0};

static void note() {
    if (alloc_counting.load(std::memory_order_relaxed)) alloc_count.fetch_add(1);
}

extern "C" void *malloc(size_t n) { return note(), __libc_malloc(n); }
extern "C" void *calloc(size_t n, size_t size) { return note(), __libc_calloc(n, size); }
extern "C" void *realloc(void *p, size_t n) { return note(), __libc_realloc(p, n); }
extern "C" void *memalign(size_t align, size_t n) { return note(), __libc_memalign(align, n); }
extern "C" void *aligned_alloc(size_t align, size_t n) { return note(), __libc_memalign(align, n); }
extern "C" int posix_memalign(void **out, size_t align, size_t n) {
    note();
    *out = __libc_memalign(align, n);
    return *out ? 0 : 12;
}
extern "C" void free(void *p) { __libc_free(p); }
