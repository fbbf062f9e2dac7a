/* powercut_shim.c: preloaded into velto.cgi by the power-cut harness, to hold a registration at a
 * chosen moment and to stand in for builds that flush less than they must.
 *
 *   VELTO_POWERCUT_STOP=<call>:<n>  the process stops itself (SIGSTOP) right after the nth call
 *                                   of that kind (fsync, link, rename, mkdir) that succeeded,
 *                                   before the program sees the result. A dropped fsync (below)
 *                                   counts: the program takes it for one that succeeded.
 *   VELTO_POWERCUT_STOP=at:<usec>   the process is stopped <usec> microseconds after it started.
 *   VELTO_POWERCUT_DROP=fsync       every fsync, fdatasync and syncfs answers success without
 *                                   flushing anything, and sync does nothing.
 *   VELTO_POWERCUT_DROP=dirfsync    the same, but only for a descriptor of a directory: file
 *                                   contents reach the disk, the names link and rename give them
 *                                   wait for the file system's own next commit.
 *   VELTO_POWERCUT_DROP=duplicate   the flushes of a registration that finds its format file
 *                                   already in place are dropped: every flush of a process that
 *                                   has created no file, and every flush after a link() that met
 *                                   EEXIST. A build that answers such a registration without
 *                                   flushing what it found behaves the same under this setting.
 *
 * Without a setting every call goes through unchanged. Whatever the setting, the process dies
 * with the harness that started it: a process held stopped never outlives its harness. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

enum stop_kind { STOP_NONE, STOP_FSYNC, STOP_LINK, STOP_RENAME, STOP_MKDIR, STOP_KINDS };
static const char *const STOP_NAMES[STOP_KINDS] = {"", "fsync", "link", "rename", "mkdir"};

enum drop_kind { DROP_NONE, DROP_ALL, DROP_DIRECTORIES, DROP_DUPLICATE };

static enum stop_kind stop_kind = STOP_NONE;
static long stop_at;
static long call_counts[STOP_KINDS];
static enum drop_kind drop_kind = DROP_NONE;
static int has_created_file;
static int has_met_existing_name;

static void read_stop_setting(const char *setting) {
    const char *colon = strchr(setting, ':');
    if (colon == NULL) return;
    char *end = NULL;
    const long number = strtol(colon + 1, &end, 10);
    if (end == colon + 1 || *end != '\0' || number < 1) return;
    const size_t name_length = (size_t)(colon - setting);
    if (name_length == 2 && strncmp(setting, "at", 2) == 0) {
        /* A timer that sends SIGSTOP itself: no handler runs in the program, so no call of it
         * sees EINTR; the stop lands wherever the program happens to be. */
        struct sigevent event;
        memset(&event, 0, sizeof event);
        event.sigev_notify = SIGEV_SIGNAL;
        event.sigev_signo = SIGSTOP;
        timer_t timer;
        if (timer_create(CLOCK_MONOTONIC, &event, &timer) != 0) return;
        struct itimerspec when;
        memset(&when, 0, sizeof when);
        when.it_value.tv_sec = number / 1000000;
        when.it_value.tv_nsec = number % 1000000 * 1000;
        timer_settime(timer, 0, &when, NULL);
        return;
    }
    for (int kind = STOP_FSYNC; kind < STOP_KINDS; kind++) {
        if (strlen(STOP_NAMES[kind]) == name_length &&
            strncmp(setting, STOP_NAMES[kind], name_length) == 0) {
            stop_kind = (enum stop_kind)kind;
            stop_at = number;
        }
    }
}

__attribute__((constructor)) static void configure(void) {
    /* A stopped process ignores everything but SIGKILL and SIGCONT: this is what ends one whose
     * harness was killed before it could. */
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() == 1) raise(SIGKILL);

    const char *stop = getenv("VELTO_POWERCUT_STOP");
    if (stop != NULL) read_stop_setting(stop);
    const char *drop = getenv("VELTO_POWERCUT_DROP");
    if (drop == NULL) return;
    if (strcmp(drop, "fsync") == 0) drop_kind = DROP_ALL;
    if (strcmp(drop, "dirfsync") == 0) drop_kind = DROP_DIRECTORIES;
    if (strcmp(drop, "duplicate") == 0) drop_kind = DROP_DUPLICATE;
}

/* Called after each call of a counted kind that succeeded. */
static void count_success(enum stop_kind kind) {
    if (++call_counts[kind] == stop_at && kind == stop_kind) raise(SIGSTOP);
}

static int is_dropped(int fd) {
    switch (drop_kind) {
    case DROP_ALL:
        return 1;
    case DROP_DIRECTORIES: {
        struct stat status;
        return fstat(fd, &status) == 0 && S_ISDIR(status.st_mode);
    }
    case DROP_DUPLICATE:
        return !has_created_file || has_met_existing_name;
    default:
        return 0;
    }
}

static void *next_symbol(const char *name) { return dlsym(RTLD_NEXT, name); }

int fsync(int fd) {
    int result = 0;
    if (!is_dropped(fd)) {
        int (*real)(int) = next_symbol("fsync");
        result = real(fd);
    }
    if (result == 0) count_success(STOP_FSYNC);
    return result;
}

int fdatasync(int fd) {
    int result = 0;
    if (!is_dropped(fd)) {
        int (*real)(int) = next_symbol("fdatasync");
        result = real(fd);
    }
    if (result == 0) count_success(STOP_FSYNC);
    return result;
}

int syncfs(int fd) {
    if (is_dropped(fd)) return 0;
    int (*real)(int) = next_symbol("syncfs");
    return real(fd);
}

void sync(void) {
    if (drop_kind == DROP_ALL || drop_kind == DROP_DUPLICATE) return;
    void (*real)(void) = next_symbol("sync");
    real();
}

/* Variadic mode argument: present only when the flags can create a file. */
#define MODE_FROM_ARGS(flags, mode)                \
    do {                                           \
        if ((flags) & (O_CREAT | O_TMPFILE)) {     \
            va_list arguments;                     \
            va_start(arguments, flags);            \
            mode = (mode_t)va_arg(arguments, int); \
            va_end(arguments);                     \
        }                                          \
    } while (0)

static int note_open(int fd, int flags) {
    if (fd >= 0 && (flags & O_CREAT)) has_created_file = 1;
    return fd;
}

int open(const char *path, int flags, ...) {
    mode_t mode = 0;
    MODE_FROM_ARGS(flags, mode);
    int (*real)(const char *, int, ...) = next_symbol("open");
    return note_open(real(path, flags, mode), flags);
}

int open64(const char *path, int flags, ...) {
    mode_t mode = 0;
    MODE_FROM_ARGS(flags, mode);
    int (*real)(const char *, int, ...) = next_symbol("open64");
    return note_open(real(path, flags, mode), flags);
}

int openat(int dir_fd, const char *path, int flags, ...) {
    mode_t mode = 0;
    MODE_FROM_ARGS(flags, mode);
    int (*real)(int, const char *, int, ...) = next_symbol("openat");
    return note_open(real(dir_fd, path, flags, mode), flags);
}

int openat64(int dir_fd, const char *path, int flags, ...) {
    mode_t mode = 0;
    MODE_FROM_ARGS(flags, mode);
    int (*real)(int, const char *, int, ...) = next_symbol("openat64");
    return note_open(real(dir_fd, path, flags, mode), flags);
}

static int note_link(int result) {
    if (result == 0) {
        count_success(STOP_LINK);
    } else if (errno == EEXIST) {
        has_met_existing_name = 1;
    }
    return result;
}

int link(const char *from, const char *to) {
    int (*real)(const char *, const char *) = next_symbol("link");
    return note_link(real(from, to));
}

int linkat(int from_dir, const char *from, int to_dir, const char *to, int flags) {
    int (*real)(int, const char *, int, const char *, int) = next_symbol("linkat");
    return note_link(real(from_dir, from, to_dir, to, flags));
}

static int note_rename(int result) {
    if (result == 0) count_success(STOP_RENAME);
    return result;
}

int rename(const char *from, const char *to) {
    int (*real)(const char *, const char *) = next_symbol("rename");
    return note_rename(real(from, to));
}

int renameat(int from_dir, const char *from, int to_dir, const char *to) {
    int (*real)(int, const char *, int, const char *) = next_symbol("renameat");
    return note_rename(real(from_dir, from, to_dir, to));
}

int renameat2(int from_dir, const char *from, int to_dir, const char *to, unsigned int flags) {
    int (*real)(int, const char *, int, const char *, unsigned int) = next_symbol("renameat2");
    return note_rename(real(from_dir, from, to_dir, to, flags));
}

static int note_mkdir(int result) {
    if (result == 0) count_success(STOP_MKDIR);
    return result;
}

int mkdir(const char *path, mode_t mode) {
    int (*real)(const char *, mode_t) = next_symbol("mkdir");
    return note_mkdir(real(path, mode));
}

int mkdirat(int dir_fd, const char *path, mode_t mode) {
    int (*real)(int, const char *, mode_t) = next_symbol("mkdirat");
    return note_mkdir(real(dir_fd, path, mode));
}
