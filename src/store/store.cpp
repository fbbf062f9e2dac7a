// store.cpp: the data directory and its tree.
#include "store/store.h"

#include <sys/stat.h>

#include <cstdarg>
#include <cstdio>

const char* data_dir = DEFAULT_DATA_DIR;

bool store_path(char (&out)[PATH_BUFFER_SIZE], const char* path_template, ...) {
    va_list arguments;
    va_start(arguments, path_template);
    const int length = std::vsnprintf(out, sizeof out, path_template, arguments);
    va_end(arguments);
    return length >= 0 && static_cast<std::size_t>(length) < sizeof out;
}

namespace {

void ensure_dir(const char* path) {
    struct stat status;
    if (::stat(path, &status) != 0) ::mkdir(path, 0755);
}

}  // namespace

void ensure_store_dirs() {
    ensure_dir(data_dir);
    for (const tree_directory& directory : STORE_TREE) {
        char path[PATH_BUFFER_SIZE];
        if (store_path(path, directory.path_template, data_dir)) ensure_dir(path);
    }
}
