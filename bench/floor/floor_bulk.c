/* floor_bulk.c: the floor of a bulk registration and fetch.
 *   floor_bulk post: reads the {"format_rep":"<hex>"} body, hex-decodes it with a table,
 *     takes the SHA-256 of the bytes (libmd), writes them durably under the first 16 digest
 *     bytes in hex (temporary file, fsync, link, directory fsync) and answers the ID.
 *   floor_bulk get NAME: reads formats/NAME whole, hex-encodes it into the answer, prints it. */
#include <errno.h>
#include <fcntl.h>
#include <sha256.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static const char HEADERS[] = "Status: 200 OK\r\n"
                              "Content-Type: application/json\r\n"
                              "Access-Control-Allow-Origin: *\r\n"
                              "\r\n";
static const char DIGITS[] = "0123456789abcdef";
static signed char VALUES[256];

static int post(const char *dir) {
    const char *length_text = getenv("CONTENT_LENGTH");
    if (length_text == NULL) return 1;
    size_t length = (size_t)atol(length_text);
    char *body = malloc(length + 1);
    if (body == NULL || fread(body, 1, length, stdin) != length) return 1;
    body[length] = '\0';
    const size_t prefix = sizeof "{\"format_rep\":\"" - 1;
    size_t size = (length - prefix - 2) / 2;
    unsigned char *bytes = malloc(size);
    if (bytes == NULL) return 1;
    memset(VALUES, -1, sizeof VALUES);
    for (int d = 0; d < 16; d++) VALUES[(unsigned char)DIGITS[d]] = (signed char)d;
    const char *hex = body + prefix;
    for (size_t i = 0; i < size; i++) {
        int high = VALUES[(unsigned char)hex[2 * i]], low = VALUES[(unsigned char)hex[2 * i + 1]];
        if ((high | low) < 0) return 1;
        bytes[i] = (unsigned char)(high << 4 | low);
    }
    free(body);
    uint8_t digest[SHA256_DIGEST_LENGTH];
    SHA256_CTX context;
    SHA256_Init(&context);
    SHA256_Update(&context, bytes, size);
    SHA256_Final(digest, &context);
    char name[33];
    for (int i = 0; i < 16; i++) {
        name[2 * i] = DIGITS[digest[i] >> 4];
        name[2 * i + 1] = DIGITS[digest[i] & 15];
    }
    name[32] = '\0';
    char temp[1024], path[1024], directory[900];
    int n = snprintf(directory, sizeof directory, "%s/formats", dir);
    if (n < 0 || n >= 900) return 1;
    snprintf(temp, sizeof temp, "%s/.floor~%ld", directory, (long)getpid());
    snprintf(path, sizeof path, "%s/%s", directory, name);
    int fd = open(temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return 1;
    for (size_t done = 0; done < size;) {
        ssize_t n = write(fd, bytes + done, size - done);
        if (n <= 0) return 1;
        done += (size_t)n;
    }
    if (fsync(fd) != 0 || close(fd) != 0) return 1;
    if (link(temp, path) != 0 && errno != EEXIST) return 1;
    unlink(temp);
    int dir_fd = open(directory, O_RDONLY | O_CLOEXEC);
    if (dir_fd < 0 || fsync(dir_fd) != 0) return 1;
    close(dir_fd);
    free(bytes);
    printf("%s{\"server_id\":\"%s\"}", HEADERS, name);
    return 0;
}

static int get(const char *dir, const char *name) {
    char path[1024];
    snprintf(path, sizeof path, "%s/formats/%s", dir, name);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    struct stat status;
    if (fd < 0 || fstat(fd, &status) != 0) return 1;
    size_t size = (size_t)status.st_size;
    unsigned char *bytes = malloc(size);
    if (bytes == NULL) return 1;
    for (size_t done = 0; done < size;) {
        ssize_t n = read(fd, bytes + done, size - done);
        if (n <= 0) return 1;
        done += (size_t)n;
    }
    close(fd);
    const char open_text[] = "{\"format_rep\":\"";
    const size_t prefix = sizeof open_text - 1;
    char *answer = malloc(prefix + 2 * size + 3);
    if (answer == NULL) return 1;
    memcpy(answer, open_text, prefix);
    char *at = answer + prefix;
    for (size_t i = 0; i < size; i++) {
        *at++ = DIGITS[bytes[i] >> 4];
        *at++ = DIGITS[bytes[i] & 15];
    }
    free(bytes);
    memcpy(at, "\"}", 3);
    fputs(HEADERS, stdout);
    fwrite(answer, 1, prefix + 2 * size + 2, stdout);
    free(answer);
    return 0;
}

int main(int argc, char **argv) {
    const char *dir = getenv("VELTO_DATA_DIR");
    if (dir == NULL || argc < 2) return 1;
    if (strcmp(argv[1], "post") == 0) return post(dir);
    if (strcmp(argv[1], "get") == 0 && argc == 3) return get(dir, argv[2]);
    return 1;
}
