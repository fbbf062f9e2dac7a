/* floor_fcgi.c: the least a FastCGI responder of this kind can cost. A libfcgi worker that,
 * started with a listening socket as standard input, answers each request with a fixed answer
 * held in memory: the one for the request's PATH_INFO in the table FLOOR_ANSWERS names (lines
 * "PATH<TAB>FILE", each FILE a whole CGI response), or the first. A body is read whole and
 * dropped. */
#include <fcgiapp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

struct answer {
    char path[2048];
    char *bytes;
    long size;
};

static struct answer answers[64];
static int answer_count;

static char *read_whole(const char *name, long *size) {
    FILE *file = fopen(name, "rb");
    if (file == NULL) return NULL;
    fseek(file, 0, SEEK_END);
    *size = ftell(file);
    rewind(file);
    char *bytes = malloc((size_t)*size + 1);
    if (bytes == NULL || fread(bytes, 1, (size_t)*size, file) != (size_t)*size) exit(1);
    fclose(file);
    return bytes;
}

static void load_answers(const char *table) {
    FILE *list = fopen(table, "r");
    if (list == NULL) exit(1);
    char line[2048];
    while (answer_count < 64 && fgets(line, sizeof line, list) != NULL) {
        char *tab = strchr(line, '\t');
        if (tab == NULL) continue;
        *tab = '\0';
        tab[strcspn(tab + 1, "\n") + 1] = '\0';
        struct answer *a = &answers[answer_count++];
        snprintf(a->path, sizeof a->path, "%s", line);
        a->bytes = read_whole(tab + 1, &a->size);
        if (a->bytes == NULL) exit(1);
    }
    fclose(list);
    if (answer_count == 0) exit(1);
}

int main(void) {
    const char *table = getenv("FLOOR_ANSWERS");
    if (table == NULL) return 1;
    load_answers(table);
    FCGX_Init();
    FCGX_Request request;
    FCGX_InitRequest(&request, 0, 0);
    char sink[65536];
    while (FCGX_Accept_r(&request) >= 0) {
        while (FCGX_GetStr(sink, sizeof sink, request.in) > 0) {
        }
        const char *path = FCGX_GetParam("PATH_INFO", request.envp);
        const struct answer *chosen = &answers[0];
        for (int i = 0; path != NULL && i < answer_count; i++) {
            if (strcmp(answers[i].path, path) == 0) chosen = &answers[i];
        }
        FCGX_PutStr(chosen->bytes, (int)chosen->size, request.out);
        FCGX_Finish_r(&request);
    }
    return 0;
}
