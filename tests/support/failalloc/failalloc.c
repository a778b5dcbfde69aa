/*
 * LD_PRELOAD shim for fault-injection tests: makes exactly one allocation fail,
 * the Nth one (in any thread) after the daemon accepts a connection.
 *
 * At every accepted connection the shim reads N from the file named by
 * KIV_FAILALLOC_CONTROL (0 or a missing file: nothing fails).  When the Nth
 * allocation is refused, one byte is appended to the file named by
 * KIV_FAILALLOC_FIRED, so the test knows the request reached that far.
 *
 * Nothing here may allocate: system calls are made directly, and the real
 * allocator is glibc's __libc_* entry points.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdatomic.h>
#include <stddef.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

extern void *__libc_malloc(size_t size);
extern void *__libc_calloc(size_t count, size_t size);
extern void *__libc_realloc(void *p, size_t size);
extern void *__libc_memalign(size_t alignment, size_t size);

static atomic_long countdown; /* > 0: allocations left until the one that fails */

static long readNumber(const char *path) {
    char text[32];
    long n = 0;
    int fd = (int)syscall(SYS_openat, AT_FDCWD, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    long got = syscall(SYS_read, fd, text, sizeof text);
    syscall(SYS_close, fd);
    for (long i = 0; i < got && text[i] >= '0' && text[i] <= '9'; ++i) n = n * 10 + (text[i] - '0');
    return n;
}

static void arm(void) {
    const char *control = getenv("KIV_FAILALLOC_CONTROL");
    atomic_store(&countdown, control ? readNumber(control) : 0);
}

/* True for the one allocation that is to fail. */
static int failNow(void) {
    long left = atomic_load(&countdown);
    while (left > 0) {
        if (atomic_compare_exchange_weak(&countdown, &left, left - 1)) {
            if (left != 1) return 0;
            const char *fired = getenv("KIV_FAILALLOC_FIRED");
            if (fired) {
                int fd = (int)syscall(SYS_openat, AT_FDCWD, fired, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
                if (fd >= 0) {
                    syscall(SYS_write, fd, "x", 1);
                    syscall(SYS_close, fd);
                }
            }
            errno = ENOMEM;
            return 1;
        }
    }
    return 0;
}

int accept4(int fd, struct sockaddr *address, socklen_t *length, int flags) {
    int r = (int)syscall(SYS_accept4, fd, address, length, flags);
    if (r >= 0) arm();
    return r;
}

int accept(int fd, struct sockaddr *address, socklen_t *length) { return accept4(fd, address, length, 0); }

void *malloc(size_t size) { return failNow() ? NULL : __libc_malloc(size); }

void *calloc(size_t count, size_t size) { return failNow() ? NULL : __libc_calloc(count, size); }

void *realloc(void *p, size_t size) {
    if (size > 0 && failNow()) return NULL;
    return __libc_realloc(p, size);
}

void *memalign(size_t alignment, size_t size) { return failNow() ? NULL : __libc_memalign(alignment, size); }

void *aligned_alloc(size_t alignment, size_t size) { return memalign(alignment, size); }

int posix_memalign(void **out, size_t alignment, size_t size) {
    if (failNow()) return ENOMEM;
    void *p = __libc_memalign(alignment, size);
    if (p == NULL) return ENOMEM;
    *out = p;
    return 0;
}
