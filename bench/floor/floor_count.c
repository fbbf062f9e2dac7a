/* floor_count.c: a bare readdir count of the store's formats and atoms/s directories below
 * VELTO_DATA_DIR, started like the service, printing the health answer. */
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>

static int count(const char *dir, const char *below) {
    char path[1024];
    snprintf(path, sizeof path, "%s/%s", dir, below);
    DIR *stream = opendir(path);
    if (stream == NULL) return 0;
    int n = 0;
    struct dirent *entry;
    while ((entry = readdir(stream)) != NULL) n += entry->d_name[0] != '.';
    closedir(stream);
    return n;
}

int main(void) {
    const char *dir = getenv("VELTO_DATA_DIR");
    if (dir == NULL) return 1;
    int formats = count(dir, "formats");
    int atoms = count(dir, "atoms/s");
    printf("Status: 200 OK\r\n"
           "Content-Type: application/json\r\n"
           "Access-Control-Allow-Origin: *\r\n"
           "\r\n"
           "{\"status\":\"ok\",\"format_count\":%d,\"atom_count\":%d}",
           formats, atoms);
    return 0;
}
