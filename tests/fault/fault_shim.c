/* fault_shim.c: preloaded into velto.cgi, makes the Nth call of one system call fail.
 *
 *   VELTO_FAULT=<call>:<n>:<errno>[:<times>]
 *                                    call is open, write, fsync, link, rename, close, mkdir or
 *                                    read; errno is ENOSPC, EIO, EACCES, ENOENT, ESTALE,
 *                                    ENOTCONN or EMFILE. The nth call of that kind (counting
 *                                    from 1) and the times - 1 after it (times is 1 unless
 *                                    given) fail with that errno; every other call goes through.
 *   VELTO_FAULT_COUNTS=<path>        at exit, writes "<call> <count>" lines for every kind, so a
 *                                    test learns how many calls a request makes.
 *   VELTO_FAULT_PLANT_LEAK=1         allocates a block at start and drops it, so a test can
 *                                    prove that the leak checker runs in the CGI process.
 *
 * The variants that the C library may route the same operation through (open64, openat,
 * linkat, renameat, mkdirat) count as their plain kind. A failed close still releases the
 * descriptor, as close does on Linux and FreeBSD whatever it reports. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

enum call_kind { CALL_OPEN, CALL_WRITE, CALL_FSYNC, CALL_LINK, CALL_RENAME, CALL_CLOSE, CALL_MKDIR,
                 CALL_READ, CALL_KINDS };

static const char *const CALL_NAMES[CALL_KINDS] = {"open",   "write", "fsync", "link",
                                                   "rename", "close", "mkdir", "read"};

static const struct {
    const char *name;
    int value;
} ERRNOS[] = {{"ENOSPC", ENOSPC}, {"EIO", EIO},         {"EACCES", EACCES}, {"ENOENT", ENOENT},
              {"ESTALE", ESTALE}, {"ENOTCONN", ENOTCONN}, {"EMFILE", EMFILE}};

static long call_counts[CALL_KINDS];
static int fault_kind = -1;
static long fault_at;
static long fault_times;
static int fault_errno;
static int is_configured;

static void configure(void) {
    if (is_configured) return;
    is_configured = 1;
    const char *setting = getenv("VELTO_FAULT");
    if (setting == NULL) return;
    char name[16];
    char error_name[16];
    long at = 0;
    long times = 1;
    const int fields = sscanf(setting, "%15[a-z]:%ld:%15[A-Z]:%ld", name, &at, error_name, &times);
    if (fields < 3 || at < 1 || times < 1) return;
    int error = 0;
    for (size_t i = 0; i < sizeof ERRNOS / sizeof ERRNOS[0]; i++) {
        if (strcmp(error_name, ERRNOS[i].name) == 0) error = ERRNOS[i].value;
    }
    if (error == 0) return;
    for (int kind = 0; kind < CALL_KINDS; kind++) {
        if (strcmp(name, CALL_NAMES[kind]) == 0) {
            fault_kind = kind;
            fault_at = at;
            fault_times = times;
            fault_errno = error;
        }
    }
}

/* Counts the call; true when this one is the call to fail, with errno already set. */
static int should_fail(enum call_kind kind) {
    configure();
    const long number = ++call_counts[kind];
    if ((int)kind != fault_kind || number < fault_at || number >= fault_at + fault_times) return 0;
    errno = fault_errno;
    return 1;
}

static void *next_symbol(const char *name) { return dlsym(RTLD_NEXT, name); }

/* Variadic mode argument: present only when the flags can create a file. */
#define MODE_FROM_ARGS(flags, mode)                  \
    do {                                             \
        if ((flags) & (O_CREAT | O_TMPFILE)) {       \
            va_list arguments;                       \
            va_start(arguments, flags);              \
            mode = (mode_t)va_arg(arguments, int);   \
            va_end(arguments);                       \
        }                                            \
    } while (0)

int open(const char *path, int flags, ...) {
    mode_t mode = 0;
    MODE_FROM_ARGS(flags, mode);
    if (should_fail(CALL_OPEN)) return -1;
    int (*real)(const char *, int, ...) = next_symbol("open");
    return real(path, flags, mode);
}

int open64(const char *path, int flags, ...) {
    mode_t mode = 0;
    MODE_FROM_ARGS(flags, mode);
    if (should_fail(CALL_OPEN)) return -1;
    int (*real)(const char *, int, ...) = next_symbol("open64");
    return real(path, flags, mode);
}

int openat(int dir_fd, const char *path, int flags, ...) {
    mode_t mode = 0;
    MODE_FROM_ARGS(flags, mode);
    if (should_fail(CALL_OPEN)) return -1;
    int (*real)(int, const char *, int, ...) = next_symbol("openat");
    return real(dir_fd, path, flags, mode);
}

int openat64(int dir_fd, const char *path, int flags, ...) {
    mode_t mode = 0;
    MODE_FROM_ARGS(flags, mode);
    if (should_fail(CALL_OPEN)) return -1;
    int (*real)(int, const char *, int, ...) = next_symbol("openat64");
    return real(dir_fd, path, flags, mode);
}

ssize_t write(int fd, const void *bytes, size_t count) {
    if (should_fail(CALL_WRITE)) return -1;
    ssize_t (*real)(int, const void *, size_t) = next_symbol("write");
    return real(fd, bytes, count);
}

int fsync(int fd) {
    if (should_fail(CALL_FSYNC)) return -1;
    int (*real)(int) = next_symbol("fsync");
    return real(fd);
}

int link(const char *from, const char *to) {
    if (should_fail(CALL_LINK)) return -1;
    int (*real)(const char *, const char *) = next_symbol("link");
    return real(from, to);
}

int linkat(int from_dir, const char *from, int to_dir, const char *to, int flags) {
    if (should_fail(CALL_LINK)) return -1;
    int (*real)(int, const char *, int, const char *, int) = next_symbol("linkat");
    return real(from_dir, from, to_dir, to, flags);
}

int rename(const char *from, const char *to) {
    if (should_fail(CALL_RENAME)) return -1;
    int (*real)(const char *, const char *) = next_symbol("rename");
    return real(from, to);
}

int renameat(int from_dir, const char *from, int to_dir, const char *to) {
    if (should_fail(CALL_RENAME)) return -1;
    int (*real)(int, const char *, int, const char *) = next_symbol("renameat");
    return real(from_dir, from, to_dir, to);
}

ssize_t read(int fd, void *bytes, size_t count) {
    if (should_fail(CALL_READ)) return -1;
    ssize_t (*real)(int, void *, size_t) = next_symbol("read");
    return real(fd, bytes, count);
}

int close(int fd) {
    const int is_failing = should_fail(CALL_CLOSE);
    int (*real)(int) = next_symbol("close");
    const int result = real(fd);
    if (!is_failing) return result;
    errno = fault_errno;
    return -1;
}

int mkdir(const char *path, mode_t mode) {
    if (should_fail(CALL_MKDIR)) return -1;
    int (*real)(const char *, mode_t) = next_symbol("mkdir");
    return real(path, mode);
}

int mkdirat(int dir_fd, const char *path, mode_t mode) {
    if (should_fail(CALL_MKDIR)) return -1;
    int (*real)(int, const char *, mode_t) = next_symbol("mkdirat");
    return real(dir_fd, path, mode);
}

/* Raw system calls: the report must not count, or be failed by, the calls it makes itself. */
__attribute__((destructor)) static void report_counts(void) {
    const char *path = getenv("VELTO_FAULT_COUNTS");
    if (path == NULL) return;
    const int fd = (int)syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return;
    char line[64];
    for (int kind = 0; kind < CALL_KINDS; kind++) {
        const int length = snprintf(line, sizeof line, "%s %ld\n", CALL_NAMES[kind], call_counts[kind]);
        if (length > 0) syscall(SYS_write, fd, line, (size_t)length);
    }
    syscall(SYS_close, fd);
}

__attribute__((constructor)) static void plant_leak(void) {
    const char *plant = getenv("VELTO_FAULT_PLANT_LEAK");
    if (plant == NULL || strcmp(plant, "1") != 0) return;
    volatile char *block = malloc(77);
    if (block != NULL) block[0] = 1;
    block = NULL;
}
