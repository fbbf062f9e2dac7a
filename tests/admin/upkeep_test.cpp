// velto-admin clean and stats, the upkeep commands, on a fixture store that the CGI program wrote.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "velto.h"

namespace fs = std::filesystem;
using namespace velto_test;

namespace {

class AdminUpkeep : public ::testing::Test {
  protected:
    void SetUp() override {
        store_.add_format(representation(16, 1));
        store_.add_format(representation(300, 2));
        store_.add_atom("a b", 5);
        store_.add_atom("c", 6);
        store_.add_atom(".hidden", 7);  // an atom file the health report does not count
    }
    process_result admin(std::vector<std::string> args) const {
        args.insert(args.begin(), {"--data-dir", store_.data()});
        return run_admin(args);
    }
    fs::path at(const std::string& name) const { return store_.path() / name; }
    void put(const std::string& name, const std::string& bytes, long age) const {
        write_file(at(name), bytes);
        age_file(at(name), age);
    }

    temp_dir root_;
    cgi_store store_{root_.path() / "data"};
};

TEST_F(AdminUpkeep, CleanRemovesOnlyTemporariesOlderThanTheAge) {
    put("formats/.velto~1-0", "abc", 7200);
    put("atoms/s/.velto~2-0", "5\n", 1800);
    put("atoms/v/.velto~3-0", "x\n", 0);
    put("atoms/v/.velto~4-0", "y\n", 4000);
    // Old, but none of them a temporary of the write routine: all stay.
    put("formats/.hidden", "old", 99999);
    put(".velto~5-0", "in the root", 99999);
    fs::create_directory(at("formats/.velto~dir"));
    age_file(at("formats/.velto~dir"), 99999);
    age_file(at("atoms/s/c"), 99999);

    auto expected = tree_snapshot(store_.path());
    const process_result dry = admin({"clean", "--dry-run"});
    EXPECT_EQ(dry.exit_status, 0);
    EXPECT_EQ(tree_snapshot(store_.path()), expected) << "a dry run removed something";
    EXPECT_NE(dry.out.find("would remove " + at("formats/.velto~1-0").string() + " (7200 s old)\n"),
              std::string::npos)
        << dry.out;

    const process_result result = admin({"clean"});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    expected.erase("formats/.velto~1-0");
    expected.erase("atoms/v/.velto~4-0");
    EXPECT_EQ(tree_snapshot(store_.path()), expected);
    EXPECT_NE(result.out.find("removed " + at("atoms/v/.velto~4-0").string() + " (4000 s old)\n"),
              std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find("temporaries removed: 2 (5 bytes); kept: 2 no older than 3600 s\n"),
              std::string::npos)
        << result.out;

    EXPECT_EQ(admin({"clean", "--older-than", "10m"}).exit_status, 0);
    expected.erase("atoms/s/.velto~2-0");
    EXPECT_EQ(tree_snapshot(store_.path()), expected);
    EXPECT_TRUE(fs::exists(at("atoms/v/.velto~3-0")));
}

TEST_F(AdminUpkeep, CleanOnAStoreWithoutTreeRemovesNothingAndSucceeds) {
    const process_result result =
        run_admin({"clean", "--data-dir", (root_.path() / "nowhere").string()});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_FALSE(fs::exists(root_.path() / "nowhere"));
}

TEST_F(AdminUpkeep, StatsCountAsTheHealthReportAndMore) {
    put("formats/.velto~1-0", "abc", 0);
    const process_result health = store_.get("/v1/health");
    EXPECT_EQ(health.out, response(200, R"({"status":"ok","format_count":2,"atom_count":2})"));

    const process_result result = admin({"stats", "--json"});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    const std::string prefix = "{\"path\":\"" + store_.data() +
                               "\",\"format_count\":2,\"atom_count\":2,\"atom_value_count\":3,"
                               "\"format_bytes\":316,\"atom_bytes\":4,\"atom_value_bytes\":14,"
                               "\"temporary_count\":1,\"temporary_bytes\":3,\"free_bytes\":";
    EXPECT_EQ(result.out.substr(0, prefix.size()), prefix) << result.out;
    for (const char* key : {"\"total_bytes\":", "\"free_inodes\":", "\"total_inodes\":"}) {
        EXPECT_NE(result.out.find(key), std::string::npos) << key;
    }
    EXPECT_EQ(result.out.back(), '\n');

    const process_result text = admin({"stats"});
    EXPECT_NE(text.out.find("\natom_value_count   3\n"), std::string::npos) << text.out;
}

}  // namespace
