// A write-fault shim for the tests, loaded with LD_PRELOAD into the real
// wavkeep executable: it fails the k-th call that writes to a chosen file
// with ENOSPC or EIO, and counts such calls so that a sweep knows how many
// there are.
//
// Why a preloaded shim and not a function table in the core library: the
// writers reach the disk through four roads (raw descriptors, stdio,
// std::ofstream, std::filesystem), in the core, the recorder, the export,
// TagLib and libstdc++; a table would have to be threaded through all of
// them and could still not reach the libraries. The shim sees every call
// that goes through the dynamic linker. What it cannot see are the calls a
// library makes inside itself: glibc's fwrite/fflush/fclose reach write and
// close internally, so the stdio entry points are intercepted too, and a
// stream is told apart by its descriptor. std::ofstream opens with fopen and
// writes with write (both from libstdc++, so both visible); std::filesystem
// renames with rename and copies with sendfile/copy_file_range or a stream.
//
// Environment:
//   WK_FAULT_AT=K        fail the K-th counted call (0 or unset: count only)
//   WK_FAULT_ERRNO=E     ENOSPC (default) or EIO
//   WK_FAULT_PERSIST=1   fail every counted call from the K-th on (a full disk)
//   WK_FAULT_CALLS=LIST  the kinds counted, comma-separated: open, write,
//                        sync, rename (and link), truncate, close (default: all)
//   WK_FAULT_PATHS=LIST  ':'-separated substrings; only files whose path
//                        holds one are counted (default: every file opened
//                        for writing by path; never standard output/error)
//   WK_FAULT_REPORT=FILE at exit, appends "calls N", "KIND N" for each kind
//                        and, when a fault was injected, "fault KIND PATH"
#define _GNU_SOURCE
#undef _FORTIFY_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

// Functions of their own here, not the header's macros.
#undef fwrite_unlocked
#undef putc
#undef fputc

enum Kind { kOpen, kWrite, kSync, kRename, kTruncate, kClose, kKinds };
static const char* const kKindNames[kKinds] = {"open", "write", "sync", "rename", "truncate", "close"};

#define kMaxFds 4096
// The path of every descriptor opened for writing on a counted file.
static char* g_fdPath[kMaxFds];
static long g_calls;
static long g_kindCalls[kKinds];
static long g_at;
static int g_errno = ENOSPC;
static int g_persist;
static int g_kinds = (1 << kKinds) - 1;
static char g_paths[4096];
static int g_ready;
static char g_fault[600];

static void Setup(void) {
    if (__atomic_load_n(&g_ready, __ATOMIC_ACQUIRE)) return;
    const char* at = getenv("WK_FAULT_AT");
    g_at = at ? atol(at) : 0;
    const char* e = getenv("WK_FAULT_ERRNO");
    if (e && strcmp(e, "EIO") == 0) g_errno = EIO;
    g_persist = getenv("WK_FAULT_PERSIST") && atoi(getenv("WK_FAULT_PERSIST")) != 0;
    const char* calls = getenv("WK_FAULT_CALLS");
    if (calls && *calls) {
        g_kinds = 0;
        for (int k = 0; k < kKinds; ++k)
            if (strstr(calls, kKindNames[k])) g_kinds |= 1 << k;
    }
    const char* paths = getenv("WK_FAULT_PATHS");
    if (paths) snprintf(g_paths, sizeof g_paths, "%s", paths);
    __atomic_store_n(&g_ready, 1, __ATOMIC_RELEASE);
}

static int PathCounted(const char* path) {
    Setup();
    if (path == NULL) return 0;
    if (g_paths[0] == 0) return 1;
    const char* p = g_paths;
    while (*p) {
        const char* end = strchr(p, ':');
        const size_t n = end ? (size_t)(end - p) : strlen(p);
        if (n > 0) {
            char part[1024];
            snprintf(part, sizeof part, "%.*s", (int)n, p);
            if (strstr(path, part)) return 1;
        }
        if (!end) break;
        p = end + 1;
    }
    return 0;
}

// Counts a call of `kind` on `path`; true when this one is to fail.
static int Fails(enum Kind kind, const char* path) {
    Setup();
    if (path == NULL || !(g_kinds & (1 << kind))) return 0;
    __atomic_add_fetch(&g_kindCalls[kind], 1, __ATOMIC_RELAXED);
    const long n = __atomic_add_fetch(&g_calls, 1, __ATOMIC_RELAXED);
    if (g_at <= 0 || (n != g_at && !(g_persist && n > g_at))) return 0;
    if (n == g_at) snprintf(g_fault, sizeof g_fault, "fault %s %s", kKindNames[kind], path);
    return 1;
}

static const char* FdPath(int fd) { return fd >= 0 && fd < kMaxFds ? g_fdPath[fd] : NULL; }

static const char* StreamPath(FILE* f) { return f ? FdPath(fileno(f)) : NULL; }

static void Track(int fd, const char* path) {
    if (fd < 0 || fd >= kMaxFds) return;
    free(g_fdPath[fd]);
    g_fdPath[fd] = path && PathCounted(path) ? strdup(path) : NULL;
}

static void Untrack(int fd) {
    if (fd < 0 || fd >= kMaxFds) return;
    free(g_fdPath[fd]);
    g_fdPath[fd] = NULL;
}

static int ForWriting(int flags) { return (flags & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC)) != 0; }
static int ModeWrites(const char* mode) { return mode && strpbrk(mode, "wa+") != NULL; }

// glibc's stream error flag, so that ferror() tells of an injected fault.
static void MarkError(FILE* f) { f->_flags |= 0x0020; }

// The next definition of `name` (libc's, or a sanitizer's in front of it),
// looked up once.
#define REAL(name)                                                              \
    __extension__({                                                                          \
        static __typeof__(&name) real_;                                         \
        if (real_ == NULL) real_ = (__typeof__(&name))dlsym(RTLD_NEXT, #name); \
        real_;                                                                  \
    })

// The checking variants a fortified build calls instead of fprintf.
int __vfprintf_chk(FILE* f, int flag, const char* format, va_list ap);
int __fprintf_chk(FILE* f, int flag, const char* format, ...);

static void Report(void) __attribute__((destructor));
static void Report(void) {
    const char* file = getenv("WK_FAULT_REPORT");
    if (!file || !*file) return;
    int (*realOpen)(const char*, int, ...) = REAL(open);
    const int fd = realOpen(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    dprintf(fd, "calls %ld\n", g_calls);
    for (int k = 0; k < kKinds; ++k) dprintf(fd, "%s %ld\n", kKindNames[k], g_kindCalls[k]);
    if (g_fault[0]) dprintf(fd, "%s\n", g_fault);
    close(fd);
}

// --- opening ---------------------------------------------------------------

static int OpenCommon(const char* name, int dirfd, const char* path, int flags, mode_t mode) {
    const int counted = ForWriting(flags) && PathCounted(path);
    if (counted && Fails(kOpen, path)) {
        errno = g_errno;
        return -1;
    }
    int fd;
    if (strcmp(name, "openat") == 0 || strcmp(name, "openat64") == 0) {
        int (*real)(int, const char*, int, ...) =
            __extension__(int (*)(int, const char*, int, ...)) dlsym(RTLD_NEXT, name);
        fd = real(dirfd, path, flags, mode);
    } else {
        int (*real)(const char*, int, ...) =
            __extension__(int (*)(const char*, int, ...)) dlsym(RTLD_NEXT, name);
        fd = real(path, flags, mode);
    }
    if (fd >= 0) Track(fd, counted ? path : NULL);
    return fd;
}

static mode_t ModeArg(int flags, va_list ap) {
    const int needsMode = (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE;
    return needsMode ? (mode_t)va_arg(ap, int) : 0;
}

int open(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = ModeArg(flags, ap);
    va_end(ap);
    return OpenCommon("open", AT_FDCWD, path, flags, mode);
}

int open64(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = ModeArg(flags, ap);
    va_end(ap);
    return OpenCommon("open64", AT_FDCWD, path, flags, mode);
}

int openat(int dirfd, const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = ModeArg(flags, ap);
    va_end(ap);
    return OpenCommon("openat", dirfd, path, flags, mode);
}

int openat64(int dirfd, const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = ModeArg(flags, ap);
    va_end(ap);
    return OpenCommon("openat64", dirfd, path, flags, mode);
}

int creat(const char* path, mode_t mode) {
    return OpenCommon("open", AT_FDCWD, path, O_WRONLY | O_CREAT | O_TRUNC, mode);
}

int creat64(const char* path, mode_t mode) {
    return OpenCommon("open64", AT_FDCWD, path, O_WRONLY | O_CREAT | O_TRUNC, mode);
}

static FILE* FopenCommon(FILE* (*real)(const char*, const char*), const char* path,
                         const char* mode) {
    const int counted = ModeWrites(mode) && PathCounted(path);
    if (counted && Fails(kOpen, path)) {
        errno = g_errno;
        return NULL;
    }
    FILE* f = real(path, mode);
    if (f) Track(fileno(f), counted ? path : NULL);
    return f;
}

FILE* fopen(const char* path, const char* mode) { return FopenCommon(REAL(fopen), path, mode); }
FILE* fopen64(const char* path, const char* mode) { return FopenCommon(REAL(fopen64), path, mode); }

// --- writing ---------------------------------------------------------------

#define FAIL_FD(kind, fd, value)                   \
    do {                                           \
        if (Fails(kind, FdPath(fd))) {             \
            errno = g_errno;                       \
            return value;                          \
        }                                          \
    } while (0)

#define FAIL_STREAM(kind, f, value)                            \
    do {                                                       \
        if (Fails(kind, StreamPath(f))) {                      \
            MarkError(f);                                      \
            errno = g_errno;                                   \
            return value;                                      \
        }                                                      \
    } while (0)

ssize_t write(int fd, const void* buf, size_t n) {
    FAIL_FD(kWrite, fd, -1);
    return REAL(write)(fd, buf, n);
}

ssize_t pwrite(int fd, const void* buf, size_t n, off_t at) {
    FAIL_FD(kWrite, fd, -1);
    return REAL(pwrite)(fd, buf, n, at);
}

ssize_t pwrite64(int fd, const void* buf, size_t n, off64_t at) {
    FAIL_FD(kWrite, fd, -1);
    return REAL(pwrite64)(fd, buf, n, at);
}

ssize_t writev(int fd, const struct iovec* iov, int count) {
    FAIL_FD(kWrite, fd, -1);
    return REAL(writev)(fd, iov, count);
}

ssize_t sendfile(int out, int in, off_t* offset, size_t n) {
    FAIL_FD(kWrite, out, -1);
    return REAL(sendfile)(out, in, offset, n);
}

ssize_t sendfile64(int out, int in, off64_t* offset, size_t n) {
    FAIL_FD(kWrite, out, -1);
    return REAL(sendfile64)(out, in, offset, n);
}

ssize_t copy_file_range(int in, off64_t* inOffset, int out, off64_t* outOffset, size_t n,
                        unsigned flags) {
    FAIL_FD(kWrite, out, -1);
    return REAL(copy_file_range)(in, inOffset, out, outOffset, n, flags);
}

size_t fwrite(const void* p, size_t size, size_t n, FILE* f) {
    FAIL_STREAM(kWrite, f, 0);
    return REAL(fwrite)(p, size, n, f);
}

size_t fwrite_unlocked(const void* p, size_t size, size_t n, FILE* f) {
    FAIL_STREAM(kWrite, f, 0);
    return REAL(fwrite_unlocked)(p, size, n, f);
}

int fputs(const char* s, FILE* f) {
    FAIL_STREAM(kWrite, f, EOF);
    return REAL(fputs)(s, f);
}

int fputc(int c, FILE* f) {
    FAIL_STREAM(kWrite, f, EOF);
    return REAL(fputc)(c, f);
}

int putc(int c, FILE* f) {
    FAIL_STREAM(kWrite, f, EOF);
    return REAL(putc)(c, f);
}

int vfprintf(FILE* f, const char* format, va_list ap) {
    FAIL_STREAM(kWrite, f, -1);
    return REAL(vfprintf)(f, format, ap);
}

int fprintf(FILE* f, const char* format, ...) {
    FAIL_STREAM(kWrite, f, -1);
    va_list ap;
    va_start(ap, format);
    const int n = REAL(vfprintf)(f, format, ap);
    va_end(ap);
    return n;
}

int __vfprintf_chk(FILE* f, int flag, const char* format, va_list ap) {
    FAIL_STREAM(kWrite, f, -1);
    return REAL(__vfprintf_chk)(f, flag, format, ap);
}

int __fprintf_chk(FILE* f, int flag, const char* format, ...) {
    FAIL_STREAM(kWrite, f, -1);
    va_list ap;
    va_start(ap, format);
    const int n = REAL(__vfprintf_chk)(f, flag, format, ap);
    va_end(ap);
    return n;
}

int fflush(FILE* f) {
    FAIL_STREAM(kWrite, f, EOF);
    return REAL(fflush)(f);
}

// --- making it last --------------------------------------------------------

int fsync(int fd) {
    FAIL_FD(kSync, fd, -1);
    return REAL(fsync)(fd);
}

int fdatasync(int fd) {
    FAIL_FD(kSync, fd, -1);
    return REAL(fdatasync)(fd);
}

static const char* RenamePath(const char* from, const char* to) {
    return PathCounted(to) ? to : PathCounted(from) ? from : NULL;
}

int rename(const char* from, const char* to) {
    if (Fails(kRename, RenamePath(from, to))) {
        errno = g_errno;
        return -1;
    }
    return REAL(rename)(from, to);
}

int renameat(int fromDir, const char* from, int toDir, const char* to) {
    if (Fails(kRename, RenamePath(from, to))) {
        errno = g_errno;
        return -1;
    }
    return REAL(renameat)(fromDir, from, toDir, to);
}

int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned flags) {
    if (Fails(kRename, RenamePath(from, to))) {
        errno = g_errno;
        return -1;
    }
    return REAL(renameat2)(fromDir, from, toDir, to, flags);
}

int link(const char* from, const char* to) {
    if (Fails(kRename, RenamePath(from, to))) {
        errno = g_errno;
        return -1;
    }
    return REAL(link)(from, to);
}

int linkat(int fromDir, const char* from, int toDir, const char* to, int flags) {
    if (Fails(kRename, RenamePath(from, to))) {
        errno = g_errno;
        return -1;
    }
    return REAL(linkat)(fromDir, from, toDir, to, flags);
}

int truncate(const char* path, off_t length) {
    if (PathCounted(path) && Fails(kTruncate, path)) {
        errno = g_errno;
        return -1;
    }
    return REAL(truncate)(path, length);
}

int ftruncate(int fd, off_t length) {
    FAIL_FD(kTruncate, fd, -1);
    return REAL(ftruncate)(fd, length);
}

int ftruncate64(int fd, off64_t length) {
    FAIL_FD(kTruncate, fd, -1);
    return REAL(ftruncate64)(fd, length);
}

// A failing close still closes: the descriptor is gone either way, as the
// kernel does it.
int close(int fd) {
    const int fails = Fails(kClose, FdPath(fd));
    Untrack(fd);
    const int result = REAL(close)(fd);
    if (fails) {
        errno = g_errno;
        return -1;
    }
    return result;
}

int fclose(FILE* f) {
    const int fails = Fails(kClose, StreamPath(f));
    const int fd = fileno(f);
    Untrack(fd);
    const int result = REAL(fclose)(f);
    if (fails) {
        errno = g_errno;
        return EOF;
    }
    return result;
}
