// health.cpp: the health report.
#include "store/health.h"

#include <dirent.h>

#include <cstdint>

#include "cgi/codecs.h"
#include "cgi/messages.h"
#include "cgi/response.h"
#include "store/store.h"

namespace {

constexpr std::size_t HEALTH_BODY_SIZE = 256;

// Only the first byte of each name is looked at: "." and "..", hidden files and temporaries
// of writes in progress are skipped, every other entry counts whatever its type.
int32_t count_visible_entries(const char* path_template) {
    char path[PATH_BUFFER_SIZE];
    if (!store_path(path, path_template, data_dir)) return 0;
    DIR* directory = ::opendir(path);
    if (directory == nullptr) return 0;
    int32_t count = 0;
    while (const dirent* entry = ::readdir(directory)) {
        if (entry->d_name[0] != '.' && count < INT32_MAX) count++;
    }
    ::closedir(directory);
    return count;
}

}  // namespace

void handle_health() {
    const int32_t format_count = count_visible_entries(PATH_FORMATS);
    const int32_t atom_count = count_visible_entries(PATH_ATOM_STRINGS);
    char body[HEALTH_BODY_SIZE];
    format_into(body, sizeof body, TEMPLATE_HEALTH, format_count, atom_count);
    send_json(HTTP_OK, body);
}
