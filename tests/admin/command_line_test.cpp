// velto-admin's command line: usage errors, help, and where the store is taken from.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "velto.h"

using namespace velto_test;

namespace {

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
        const process_result result = run_admin(c.args);
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
    const process_result by_env = run_admin({"export"}, {{"VELTO_DATA_DIR", from_env.data()}});
    EXPECT_EQ(by_env.out,
              "{\"kind\":\"atom\",\"name\":\"e\",\"hex\":\"310a\"}\n"
              "{\"kind\":\"atom_value\",\"name\":\"1\",\"hex\":\"650a\"}\n");
    const process_result by_option = run_admin({"export", "--quiet", "--data-dir", from_option.data()},
                                           {{"VELTO_DATA_DIR", from_env.data()}});
    EXPECT_EQ(by_option.out,
              "{\"kind\":\"atom\",\"name\":\"o\",\"hex\":\"310a\"}\n"
              "{\"kind\":\"atom_value\",\"name\":\"1\",\"hex\":\"6f0a\"}\n");
    EXPECT_EQ(by_option.err, "");
}

}  // namespace
