/* benchtool.c: the measuring helper of bench/run.
 *
 *   benchtool exec [-n PAIRS] [-w WARMUP] [-a STDIN] [-b STDIN] [-A DIR] [-B DIR]
 *                  -- [VAR=value...] PROGRAM [ARG...] [-- [VAR=value...] PROGRAM [ARG...]]
 *       Starts program A and program B (when given) alternately, A B B A A B ..., so that the
 *       machine's drift falls on both alike. Each start gets exactly the listed environment,
 *       standard input from the named file (else /dev/null) and standard output on /dev/null.
 *       -A/-B empty a directory (all entries but "." and "..") before each start of A/B, untimed,
 *       so that a registration always writes a new file. Prints one line per program:
 *       "A wall_us=<median> cpu_us=<median> rss_kb=<median> runs=<n>" (cpu is user + system).
 *   benchtool mkfiles DIR FIRST COUNT   creates empty files "a<number>" for FIRST..FIRST+COUNT-1
 *   benchtool rmfiles DIR               removes every entry of DIR but "." and ".."
 *   benchtool bulkbody FILE SIZE        writes {"format_rep":"<hex>"} of a SIZE-byte representation
 *                                       whose header declares SIZE
 *
 * A benchmark helper, not part of the service: it exits non-zero only when it cannot measure. */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

struct program {
    char **env;
    char **argv;
    const char *stdin_path;
    const char *clean_dir;
    double *wall_us, *cpu_us, *rss_kb;
    int runs;
};

static void die(const char *what) {
    fprintf(stderr, "benchtool: %s: %s\n", what, strerror(errno));
    exit(2);
}

static void remove_entries(const char *path) {
    int dir_fd = open(path, O_RDONLY | O_DIRECTORY);
    if (dir_fd < 0) die(path);
    DIR *dir = fdopendir(dir_fd);
    if (dir == NULL) die(path);
    struct dirent *entry;
    while ((entry = readdir(dir)) != NULL) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
        if (unlinkat(dir_fd, entry->d_name, 0) != 0) die(entry->d_name);
    }
    closedir(dir);
}

static double micros(const struct timeval *t) { return t->tv_sec * 1e6 + t->tv_usec; }

static void run_once(struct program *p, int record) {
    if (p->clean_dir != NULL) remove_entries(p->clean_dir);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, p->stdin_path ? p->stdin_path : "/dev/null",
                                     O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t pid;
    int rc = posix_spawn(&pid, p->argv[0], &actions, NULL, p->argv, p->env);
    if (rc != 0) {
        errno = rc;
        die(p->argv[0]);
    }
    int status;
    struct rusage usage;
    if (wait4(pid, &status, 0, &usage) != pid) die("wait4");
    clock_gettime(CLOCK_MONOTONIC, &end);
    posix_spawn_file_actions_destroy(&actions);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "benchtool: %s ended with status %d\n", p->argv[0], status);
        exit(2);
    }
    if (!record) return;
    p->wall_us[p->runs] = (end.tv_sec - start.tv_sec) * 1e6 + (end.tv_nsec - start.tv_nsec) / 1e3;
    p->cpu_us[p->runs] = micros(&usage.ru_utime) + micros(&usage.ru_stime);
    p->rss_kb[p->runs] = (double)usage.ru_maxrss;
    p->runs++;
}

static int compare(const void *a, const void *b) {
    double x = *(const double *)a, y = *(const double *)b;
    return (x > y) - (x < y);
}

static double median(double *values, int count) {
    qsort(values, count, sizeof *values, compare);
    return count % 2 ? values[count / 2] : (values[count / 2 - 1] + values[count / 2]) / 2;
}

/* Splits "VAR=value... PROGRAM ARG..." up to the next "--" into env and argv. */
static char **take_program(char **args, struct program *p) {
    int n = 0;
    while (args[n] != NULL && strcmp(args[n], "--") != 0) n++;
    int env_count = 0;
    while (env_count < n && strchr(args[env_count], '=') != NULL) env_count++;
    if (env_count == n) {
        fprintf(stderr, "benchtool: no program given\n");
        exit(2);
    }
    p->env = calloc(env_count + 1, sizeof *p->env);
    p->argv = calloc(n - env_count + 1, sizeof *p->argv);
    memcpy(p->env, args, env_count * sizeof *args);
    memcpy(p->argv, args + env_count, (n - env_count) * sizeof *args);
    return args[n] != NULL ? args + n + 1 : NULL;
}

static int command_exec(int argc, char **argv) {
    int pairs = 200, warmup = 5;
    struct program programs[2];
    memset(programs, 0, sizeof programs);
    int option;
    while ((option = getopt(argc, argv, "+n:w:a:b:A:B:")) != -1) {
        switch (option) {
        case 'n': pairs = atoi(optarg); break;
        case 'w': warmup = atoi(optarg); break;
        case 'a': programs[0].stdin_path = optarg; break;
        case 'b': programs[1].stdin_path = optarg; break;
        case 'A': programs[0].clean_dir = optarg; break;
        case 'B': programs[1].clean_dir = optarg; break;
        default: return 2;
        }
    }
    /* getopt consumes the "--" that ends the options. */
    if (optind >= argc || strcmp(argv[optind - 1], "--") != 0 || pairs < 1) {
        fprintf(stderr, "usage: benchtool exec [options] -- A... [-- B...]\n");
        return 2;
    }
    char **rest = take_program(argv + optind, &programs[0]);
    int count = 1;
    if (rest != NULL) {
        take_program(rest, &programs[1]);
        count = 2;
    }
    for (int i = 0; i < count; i++) {
        programs[i].wall_us = calloc(pairs, sizeof(double));
        programs[i].cpu_us = calloc(pairs, sizeof(double));
        programs[i].rss_kb = calloc(pairs, sizeof(double));
    }
    for (int w = 0; w < warmup; w++)
        for (int i = 0; i < count; i++) run_once(&programs[i], 0);
    for (int r = 0; r < pairs; r++) {
        /* A B, then B A: neither program always runs right after the other. */
        for (int k = 0; k < count; k++) run_once(&programs[r % 2 ? count - 1 - k : k], 1);
    }
    for (int i = 0; i < count; i++) {
        struct program *p = &programs[i];
        printf("%c wall_us=%.1f cpu_us=%.1f rss_kb=%.0f runs=%d\n", 'A' + i,
               median(p->wall_us, p->runs), median(p->cpu_us, p->runs),
               median(p->rss_kb, p->runs), p->runs);
    }
    return 0;
}

static int command_mkfiles(int argc, char **argv) {
    if (argc != 4) return 2;
    int dir_fd = open(argv[1], O_RDONLY | O_DIRECTORY);
    if (dir_fd < 0) die(argv[1]);
    long first = atol(argv[2]), count = atol(argv[3]);
    char name[32];
    for (long i = first; i < first + count; i++) {
        snprintf(name, sizeof name, "a%ld", i);
        int fd = openat(dir_fd, name, O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (fd < 0) die(name);
        close(fd);
    }
    close(dir_fd);
    return 0;
}

static int command_bulkbody(int argc, char **argv) {
    if (argc != 3) return 2;
    long size = atol(argv[2]);
    if (size < 8 || size > 0x7fffffffL) return 2;
    FILE *out = fopen(argv[1], "wb");
    if (out == NULL) die(argv[1]);
    /* Bytes 0-1: low 16 bits of the length; byte 3 non-zero: bytes 6-7 hold the high 16 bits. */
    unsigned char header[8] = {(size >> 8) & 0xff, size & 0xff, 0, 1, 0, 0,
                               (size >> 24) & 0xff, (size >> 16) & 0xff};
    fputs("{\"format_rep\":\"", out);
    unsigned state = 12345;
    for (long i = 0; i < size; i++) {
        state = state * 1103515245u + 12345u;
        unsigned byte = i < 8 ? header[i] : (state >> 16) & 0xff;
        fprintf(out, "%02x", byte);
    }
    fputs("\"}", out);
    if (fclose(out) != 0) die(argv[1]);
    return 0;
}

int main(int argc, char **argv) {
    if (argc >= 2 && strcmp(argv[1], "exec") == 0) return command_exec(argc - 1, argv + 1);
    if (argc >= 2 && strcmp(argv[1], "mkfiles") == 0) return command_mkfiles(argc - 1, argv + 1);
    if (argc == 3 && strcmp(argv[1], "rmfiles") == 0) {
        remove_entries(argv[2]);
        return 0;
    }
    if (argc >= 2 && strcmp(argv[1], "bulkbody") == 0) return command_bulkbody(argc - 1, argv + 1);
    fprintf(stderr, "usage: benchtool exec|mkfiles|rmfiles|bulkbody ...\n");
    return 2;
}
