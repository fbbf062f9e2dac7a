// velto-admin clean and stats on fixture stores, and the command line of every command.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "admin_process.h"

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
    cgi_result admin(std::vector<std::string> args) const {
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
    const cgi_result dry = admin({"clean", "--dry-run"});
    EXPECT_EQ(dry.exit_status, 0);
    EXPECT_EQ(tree_snapshot(store_.path()), expected) << "a dry run removed something";
    EXPECT_NE(dry.out.find("would remove " + at("formats/.velto~1-0").string() + " (7200 s old)\n"),
              std::string::npos)
        << dry.out;

    const cgi_result result = admin({"clean"});
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
    const cgi_result result =
        run_admin({"clean", "--data-dir", (root_.path() / "nowhere").string()});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_FALSE(fs::exists(root_.path() / "nowhere"));
}

TEST_F(AdminUpkeep, StatsCountAsTheHealthReportAndMore) {
    put("formats/.velto~1-0", "abc", 0);
    const cgi_result health = store_.get("/v1/health");
    EXPECT_EQ(health.out, response(200, R"({"status":"ok","format_count":2,"atom_count":2})"));

    const cgi_result result = admin({"stats", "--json"});
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

    const cgi_result text = admin({"stats"});
    EXPECT_NE(text.out.find("\natom_value_count   3\n"), std::string::npos) << text.out;
}

TEST(AdminCommandLine, UsageErrorsExitTwoAndHelpExitsZero) {
    const struct {
        std::vector<std::string> args;
        int exit_status;
        std::string out_begins;
        std::string err_holds;
    } cases[] = {
        {{}, 2, "", "a command is needed"},
        {{"frobnicate"}, 2, "", "unknown command frobnicate"},
        {{"check", "--colour"}, 2, "", "unknown option --colour"},
        {{"check", "extra"}, 2, "", "unexpected argument extra"},
        {{"export", "a", "b"}, 2, "", "unexpected argument b"},
        {{"clean", "--older-than"}, 2, "", "option --older-than needs a value"},
        {{"clean", "--older-than", "5x"}, 2, "", "bad duration 5x"},
        {{"clean", "--older-than", "-5"}, 2, "", "bad duration -5"},
        {{"clean", "--older-than=99999999999999999999"}, 2, "", "bad duration"},
        {{"export", "--json"}, 2, "", "--json is an option of check and stats"},
        {{"check", "--dry-run"}, 2, "", "options of clean"},
        {{"check", "--data-dir="}, 2, "", "--data-dir needs a directory"},
        {{"--help"}, 0, "usage: velto-admin [--data-dir DIR]", ""},
        {{"check", "--help"}, 0, "usage: velto-admin check", ""},
        {{"--help", "clean"}, 0, "usage: velto-admin clean", ""},
        {{"export", "-h"}, 0, "usage: velto-admin export", ""},
        {{"import", "--help", "--bogus-value-ignored-after-help"}, 2, "", "unknown option"},
        {{"import", "--help"}, 0, "usage: velto-admin import", ""},
        {{"stats", "--help"}, 0, "usage: velto-admin stats", ""},
    };
    for (const auto& c : cases) {
        std::string joined;
        for (const auto& arg : c.args) joined += arg + " ";
        SCOPED_TRACE(joined);
        const cgi_result result = run_admin(c.args);
        EXPECT_EQ(result.exit_status, c.exit_status) << result.err;
        EXPECT_EQ(result.out.substr(0, c.out_begins.size()), c.out_begins) << result.out;
        EXPECT_NE(result.err.find(c.err_holds), std::string::npos) << result.err;
    }
}

TEST(AdminCommandLine, DataDirComesFromTheOptionThenTheEnvironment) {
    temp_dir root;
    const cgi_store from_env(root.path() / "env");
    const cgi_store from_option(root.path() / "option");
    from_env.add_atom("e", 1);
    from_option.add_atom("o", 1);
    const cgi_result by_env = run_admin({"export"}, {{"VELTO_DATA_DIR", from_env.data()}});
    EXPECT_EQ(by_env.out,
              "{\"kind\":\"atom\",\"name\":\"e\",\"hex\":\"310a\"}\n"
              "{\"kind\":\"atom_value\",\"name\":\"1\",\"hex\":\"650a\"}\n");
    const cgi_result by_option = run_admin({"export", "--quiet", "--data-dir", from_option.data()},
                                           {{"VELTO_DATA_DIR", from_env.data()}});
    EXPECT_EQ(by_option.out,
              "{\"kind\":\"atom\",\"name\":\"o\",\"hex\":\"310a\"}\n"
              "{\"kind\":\"atom_value\",\"name\":\"1\",\"hex\":\"6f0a\"}\n");
    EXPECT_EQ(by_option.err, "");
}

}  // namespace
