/* floor_write.c: the floor of a registration. Reads CONTENT_LENGTH bytes of body, then for each
 * path argument (relative to VELTO_DATA_DIR) writes the body durably the way the store does:
 * temporary file in the target directory, fsync, link (argv[1] "link") or rename ("rename"),
 * directory fsync. Prints a fixed answer. */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int durable_write(const char *path, const char *bytes, size_t size, int use_link) {
    char directory[1024], temp[1024];
    const char *slash = strrchr(path, '/');
    int n = snprintf(directory, sizeof directory, "%.*s", (int)(slash - path), path);
    if (n < 0 || n >= (int)sizeof directory) return -1;
    n = snprintf(temp, sizeof temp, "%s/.floor~%ld", directory, (long)getpid());
    if (n < 0 || n >= (int)sizeof temp) return -1;
    int fd = open(temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return -1;
    if (write(fd, bytes, size) != (ssize_t)size || fsync(fd) != 0 || close(fd) != 0) return -1;
    if (use_link) {
        if (link(temp, path) != 0 && errno != EEXIST) return -1;
        unlink(temp);
    } else if (rename(temp, path) != 0) {
        return -1;
    }
    int dir_fd = open(directory, O_RDONLY | O_CLOEXEC);
    if (dir_fd < 0) return -1;
    int rc = fsync(dir_fd);
    close(dir_fd);
    return rc;
}

int main(int argc, char **argv) {
    const char *dir = getenv("VELTO_DATA_DIR");
    const char *length_text = getenv("CONTENT_LENGTH");
    if (argc < 3 || dir == NULL || length_text == NULL) return 1;
    size_t size = (size_t)atol(length_text);
    char *body = malloc(size + 1);
    if (body == NULL || fread(body, 1, size, stdin) != size) return 1;
    body[size] = '\0';
    int use_link = strcmp(argv[1], "link") == 0;
    for (int i = 2; i < argc; i++) {
        char path[1024];
        snprintf(path, sizeof path, "%s/%s", dir, argv[i]);
        if (durable_write(path, body, size, use_link) != 0) return 1;
    }
    free(body);
    fputs("Status: 200 OK\r\n"
          "Content-Type: application/json\r\n"
          "Access-Control-Allow-Origin: *\r\n"
          "\r\n"
          "{\"ok\":true}",
          stdout);
    return 0;
}
