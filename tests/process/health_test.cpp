// The health report: any method, the counts of format files and of atom files by the store's
// counting rule, and no error answer even where a directory cannot be read.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "process_test.h"

namespace fs = std::filesystem;
using namespace velto_test;

namespace {

const std::string HEALTH_EMPTY = R"({"status":"ok","format_count":0,"atom_count":0})";

class Health : public process_test {};

TEST_F(Health, CountsVisibleEntriesOnly) {
    get("/v1/health");
    write_file(data_ + "/formats/00112233445566778899aabbccddeeff", "x");
    write_file(data_ + "/formats/.hidden", "x");
    write_file(data_ + "/formats/.velto~1-0", "partial");
    fs::create_directory(data_ + "/formats/subdir");
    write_file(data_ + "/atoms/s/a", "1\n");
    write_file(data_ + "/atoms/s/b", "2\n");
    write_file(data_ + "/atoms/s/.b", "3\n");
    write_file(data_ + "/atoms/v/1", "a\n");
    expect_answer(get("/v1/health"),
                  response(200, R"({"status":"ok","format_count":2,"atom_count":2})"));
}

TEST_F(Health, CountsZeroWhereADirectoryIsAFile) {
    fs::create_directory(data_);
    write_file(data_ + "/formats", "not a directory");
    expect_answer(get("/v1/health"), response(200, HEALTH_EMPTY));
    EXPECT_EQ(read_file(data_ + "/formats"), "not a directory");
}

}  // namespace
