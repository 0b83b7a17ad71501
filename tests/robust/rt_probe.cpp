#include "rt_probe.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <semaphore.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <new>

// The C library's own allocator, under the names glibc exports for exactly
// this purpose: an interposed malloc cannot look itself up with dlsym, which
// may allocate.
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* block);
}

namespace {

// Only the thread that opened a window is counted: the test's own helpers on
// other threads (there are none today) must not show up as the plug-in's.
thread_local bool counting __attribute__((tls_model("initial-exec"))) = false;

std::atomic<unsigned long> counts[RT_CALL_COUNT];
std::atomic<unsigned long> obtained{0};
std::atomic<unsigned long> released{0};
std::atomic<unsigned long> fail_countdown{0};
std::atomic<bool> failure_injected{false};

const char* const NAMES[RT_CALL_COUNT] = {
    "malloc",       "calloc",          "realloc",      "free",       "aligned alloc",
    "operator new", "operator delete", "mmap",         "munmap",     "fopen",
    "fclose",       "fdopen",          "open",         "fstat",      "close",
    "read",         "write",           "fread",        "fwrite",     "fputc",
    "fputs",        "vfprintf",        "fflush",       "mutex lock", "rwlock lock",
    "sem_wait",     "cond wait",       "static guard", "sleep",
};

void note(RtProbeCall call)
{
    if (counting) {
        counts[call].fetch_add(1, std::memory_order_relaxed);
    }
}

// True when this allocation is the one a test asked to fail.
bool inject_failure()
{
    if (!counting) {
        return false;
    }
    unsigned long left = fail_countdown.load(std::memory_order_relaxed);
    if (left == 0) {
        return false;
    }
    fail_countdown.store(left - 1, std::memory_order_relaxed);
    if (left == 1) {
        failure_injected.store(true, std::memory_order_relaxed);
        return true;
    }
    return false;
}

// A new block from `allocate` (the C library's own), counted, or refused
// where a test asked for it.
template <typename Allocate>
void* obtain(RtProbeCall call, Allocate allocate)
{
    if (!counting) {
        return allocate();
    }
    note(call);
    if (inject_failure()) {
        errno = ENOMEM;
        return nullptr;
    }
    void* block = allocate();
    if (block != nullptr) {
        obtained.fetch_add(1, std::memory_order_relaxed);
    }
    return block;
}

void* obtain(RtProbeCall call, size_t alignment, size_t size)
{
    return obtain(call, [=] {
        return alignment != 0 ? __libc_memalign(alignment, size) : __libc_malloc(size);
    });
}

void release(RtProbeCall call, void* block)
{
    if (counting) {
        note(call);
        if (block != nullptr) {
            released.fetch_add(1, std::memory_order_relaxed);
        }
    }
    __libc_free(block);
}

template <typename Function>
Function next(const char* name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

// The functions the probe passes calls on to, looked up once. Plain globals
// rather than function-local statics: those would take the very initialisation
// guard the probe counts (and interposes).
#define REAL_FUNCTIONS(X)                                                                     \
    X(mmap)                                                                                   \
    X(munmap)                                                                                 \
    X(fopen) X(fopen64) X(fdopen) X(fclose) X(open) X(open64) X(openat) X(creat) X(fstat)     \
        X(fstat64) X(close) X(read) X(write) X(fread) X(fwrite) X(fputc) X(fputs) X(vfprintf) \
            X(fflush) X(pthread_mutex_lock) X(pthread_mutex_trylock) X(pthread_rwlock_rdlock) \
                X(pthread_rwlock_wrlock) X(sem_wait) X(nanosleep) X(usleep)

#define DECLARE_REAL(name) decltype(&::name) real_##name = nullptr;
REAL_FUNCTIONS(DECLARE_REAL)
int (*real_guard_acquire)(int64_t*) = nullptr;

void look_up_all()
{
#define LOOK_UP(name) real_##name = next<decltype(&::name)>(#name);
    REAL_FUNCTIONS(LOOK_UP)
    real_guard_acquire = next<int (*)(int64_t*)>("__cxa_guard_acquire");
}

// Before anything else in the process can open a window.
__attribute__((constructor(101))) void look_up_at_load()
{
    look_up_all();
}

// A call that arrives before the constructor (another library's start-up
// code) looks the function up itself.
#define REAL(name)                                    \
    if (real_##name == nullptr) {                     \
        real_##name = next<decltype(&::name)>(#name); \
    }                                                 \
    (void)0

// A call that is counted and passed on unchanged: the function under its
// own name and signature (the last argument), forwarding its arguments.
#define PASS_ON(name, call, arguments, ...) \
    __VA_ARGS__                             \
    {                                       \
        REAL(name);                         \
        note(call);                         \
        return real_##name arguments;       \
    }

}  // namespace

extern "C" {

bool rt_probe_active()
{
    return dlsym(RTLD_DEFAULT, "malloc") == reinterpret_cast<void*>(&malloc) &&
           dlsym(RTLD_DEFAULT, "fopen") == reinterpret_cast<void*>(&fopen);
}

void rt_probe_begin()
{
    for (auto& count : counts) {
        count.store(0, std::memory_order_relaxed);
    }
    obtained.store(0, std::memory_order_relaxed);
    released.store(0, std::memory_order_relaxed);
    counting = true;
}

RtProbeCounts rt_probe_end()
{
    counting = false;
    RtProbeCounts result{};
    for (int i = 0; i < RT_CALL_COUNT; ++i) {
        result.calls[i] = counts[i].load(std::memory_order_relaxed);
    }
    result.blocks_obtained = obtained.load(std::memory_order_relaxed);
    result.blocks_released = released.load(std::memory_order_relaxed);
    return result;
}

bool rt_probe_fail_allocation(unsigned long nth)
{
    fail_countdown.store(nth, std::memory_order_relaxed);
    return failure_injected.exchange(false, std::memory_order_relaxed);
}

const char* rt_probe_call_name(int call)
{
    return call >= 0 && call < RT_CALL_COUNT ? NAMES[call] : "?";
}

// Memory.

void* malloc(size_t size) noexcept
{
    return obtain(RT_MALLOC, 0, size);
}

void* calloc(size_t count, size_t size) noexcept
{
    return obtain(RT_CALLOC, [=] { return __libc_calloc(count, size); });
}

void* realloc(void* block, size_t size) noexcept
{
    if (!counting) {
        return __libc_realloc(block, size);
    }
    note(RT_REALLOC);
    if (inject_failure()) {
        errno = ENOMEM;
        return nullptr;
    }
    void* moved = __libc_realloc(block, size);
    if (block == nullptr && moved != nullptr) {
        obtained.fetch_add(1, std::memory_order_relaxed);
    }
    return moved;
}

void free(void* block) noexcept
{
    release(RT_FREE, block);
}

void* aligned_alloc(size_t alignment, size_t size) noexcept
{
    return obtain(RT_ALIGNED_ALLOC, alignment, size);
}

void* memalign(size_t alignment, size_t size) noexcept
{
    return obtain(RT_ALIGNED_ALLOC, alignment, size);
}

int posix_memalign(void** block, size_t alignment, size_t size) noexcept
{
    void* got = obtain(RT_ALIGNED_ALLOC, alignment, size);
    if (got == nullptr) {
        return ENOMEM;
    }
    *block = got;
    return 0;
}

PASS_ON(mmap, RT_MMAP, (address, length, protection, flags, fd, offset),
        void* mmap(void* address, size_t length, int protection, int flags, int fd,
                   off_t offset) noexcept)

PASS_ON(munmap, RT_MUNMAP, (address, length), int munmap(void* address, size_t length) noexcept)

// Files.

PASS_ON(fopen, RT_FOPEN, (path, mode), FILE* fopen(const char* path, const char* mode))

PASS_ON(fopen64, RT_FOPEN, (path, mode), FILE* fopen64(const char* path, const char* mode))

PASS_ON(fdopen, RT_FDOPEN, (fd, mode), FILE* fdopen(int fd, const char* mode) noexcept)

PASS_ON(fclose, RT_FCLOSE, (file), int fclose(FILE* file))

static mode_t open_mode(int flags, va_list args)
{
    return (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(args, mode_t) : 0;
}

int open(const char* path, int flags, ...)
{
    REAL(open);
    va_list args;
    va_start(args, flags);
    const mode_t mode = open_mode(flags, args);
    va_end(args);
    note(RT_OPEN);
    return real_open(path, flags, mode);
}

int open64(const char* path, int flags, ...)
{
    REAL(open64);
    va_list args;
    va_start(args, flags);
    const mode_t mode = open_mode(flags, args);
    va_end(args);
    note(RT_OPEN);
    return real_open64(path, flags, mode);
}

int openat(int directory, const char* path, int flags, ...)
{
    REAL(openat);
    va_list args;
    va_start(args, flags);
    const mode_t mode = open_mode(flags, args);
    va_end(args);
    note(RT_OPEN);
    return real_openat(directory, path, flags, mode);
}

PASS_ON(creat, RT_OPEN, (path, mode), int creat(const char* path, mode_t mode))

PASS_ON(fstat, RT_FSTAT, (fd, info), int fstat(int fd, struct stat* info) noexcept)

PASS_ON(fstat64, RT_FSTAT, (fd, info), int fstat64(int fd, struct stat64* info) noexcept)

PASS_ON(close, RT_CLOSE, (fd), int close(int fd))

PASS_ON(read, RT_READ, (fd, data, size), ssize_t read(int fd, void* data, size_t size))

PASS_ON(write, RT_WRITE, (fd, data, size), ssize_t write(int fd, const void* data, size_t size))

PASS_ON(fread, RT_FREAD, (data, size, count, file),
        size_t fread(void* data, size_t size, size_t count, FILE* file))

PASS_ON(fwrite, RT_FWRITE, (data, size, count, file),
        size_t fwrite(const void* data, size_t size, size_t count, FILE* file))

PASS_ON(fputc, RT_FPUTC, (c, file), int fputc(int c, FILE* file))

PASS_ON(fputs, RT_FPUTS, (text, file), int fputs(const char* text, FILE* file))

PASS_ON(vfprintf, RT_VFPRINTF, (file, format, args),
        int vfprintf(FILE* file, const char* format, va_list args))

int fprintf(FILE* file, const char* format, ...)
{
    REAL(vfprintf);
    note(RT_VFPRINTF);
    va_list args;
    va_start(args, format);
    const int written = real_vfprintf(file, format, args);
    va_end(args);
    return written;
}

PASS_ON(fflush, RT_FFLUSH, (file), int fflush(FILE* file))

// Locks and waits.

PASS_ON(pthread_mutex_lock, RT_MUTEX_LOCK, (mutex),
        int pthread_mutex_lock(pthread_mutex_t* mutex) noexcept)

PASS_ON(pthread_mutex_trylock, RT_MUTEX_LOCK, (mutex),
        int pthread_mutex_trylock(pthread_mutex_t* mutex) noexcept)

PASS_ON(pthread_rwlock_rdlock, RT_RWLOCK_LOCK, (lock),
        int pthread_rwlock_rdlock(pthread_rwlock_t* lock) noexcept)

PASS_ON(pthread_rwlock_wrlock, RT_RWLOCK_LOCK, (lock),
        int pthread_rwlock_wrlock(pthread_rwlock_t* lock) noexcept)

PASS_ON(sem_wait, RT_SEM_WAIT, (semaphore), int sem_wait(sem_t* semaphore))

PASS_ON(nanosleep, RT_SLEEP, (duration, left),
        int nanosleep(const struct timespec* duration, struct timespec* left))

PASS_ON(usleep, RT_SLEEP, (microseconds), int usleep(useconds_t microseconds))

// A function-local static with a dynamic initialiser takes this guard, which
// may block on another thread's initialisation.
int __cxa_guard_acquire(int64_t* guard)
{
    if (real_guard_acquire == nullptr) {
        real_guard_acquire = next<int (*)(int64_t*)>("__cxa_guard_acquire");
    }
    note(RT_GUARD_ACQUIRE);
    return real_guard_acquire(guard);
}

}  // extern "C"

// The C++ allocation operators, all of them, so that whatever form the
// plug-in's code uses is seen.

void* operator new(size_t size)
{
    void* block = obtain(RT_NEW, 0, size != 0 ? size : 1);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    return block;
}

void* operator new[](size_t size)
{
    return operator new(size);
}

void* operator new(size_t size, const std::nothrow_t&) noexcept
{
    return obtain(RT_NEW, 0, size != 0 ? size : 1);
}

void* operator new[](size_t size, const std::nothrow_t&) noexcept
{
    return obtain(RT_NEW, 0, size != 0 ? size : 1);
}

void* operator new(size_t size, std::align_val_t alignment)
{
    void* block = obtain(RT_NEW, static_cast<size_t>(alignment), size != 0 ? size : 1);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    return block;
}

void* operator new[](size_t size, std::align_val_t alignment)
{
    return operator new(size, alignment);
}

void* operator new(size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept
{
    return obtain(RT_NEW, static_cast<size_t>(alignment), size != 0 ? size : 1);
}

void* operator new[](size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept
{
    return obtain(RT_NEW, static_cast<size_t>(alignment), size != 0 ? size : 1);
}

void operator delete(void* block) noexcept
{
    release(RT_DELETE, block);
}
void operator delete[](void* block) noexcept
{
    release(RT_DELETE, block);
}
void operator delete(void* block, size_t) noexcept
{
    release(RT_DELETE, block);
}
void operator delete[](void* block, size_t) noexcept
{
    release(RT_DELETE, block);
}
void operator delete(void* block, const std::nothrow_t&) noexcept
{
    release(RT_DELETE, block);
}
void operator delete[](void* block, const std::nothrow_t&) noexcept
{
    release(RT_DELETE, block);
}
void operator delete(void* block, std::align_val_t) noexcept
{
    release(RT_DELETE, block);
}
void operator delete[](void* block, std::align_val_t) noexcept
{
    release(RT_DELETE, block);
}
void operator delete(void* block, size_t, std::align_val_t) noexcept
{
    release(RT_DELETE, block);
}
void operator delete[](void* block, size_t, std::align_val_t) noexcept
{
    release(RT_DELETE, block);
}
void operator delete(void* block, std::align_val_t, const std::nothrow_t&) noexcept
{
    release(RT_DELETE, block);
}
void operator delete[](void* block, std::align_val_t, const std::nothrow_t&) noexcept
{
    release(RT_DELETE, block);
}
