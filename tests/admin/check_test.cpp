// velto-admin check on fixture stores that the CGI program wrote, with faults put in by hand:
// each is found, alone, at its path and level, with the exit status that its level gives.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <functional>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "velto.h"

namespace fs = std::filesystem;
using namespace velto_test;

namespace {

class AdminCheck : public ::testing::Test {
  protected:
    void SetUp() override {
        id16_ = store_.add_format(representation(16, 1));
        id300_ = store_.add_format(representation(300, 2));
        store_.add_atom("a b", 5);
        store_.add_atom("a b", 6);  // leaves atoms/v/5 as a stale mapping, by design
        store_.add_atom("c", 7);
        store_.add_atom("d", 8);
    }
    process_result check(const std::string& data, bool is_json = true) const {
        std::vector<std::string> args{"check", "--data-dir", data};
        if (is_json) args.push_back("--json");
        return run_admin(args);
    }

    temp_dir root_;
    cgi_store store_{root_.path() / "data"};
    std::string id16_, id300_;
    const finding stale_ = {"note", "stale_mapping", "atoms/v/5"};
};

TEST_F(AdminCheck, StoreWrittenByTheProgramIsSound) {
    const auto before = tree_snapshot(store_.path());
    const process_result result = check(store_.data());
    EXPECT_EQ(result.exit_status, 0) << result.out;
    EXPECT_EQ(parse_findings(result.out, store_.data()), std::set<finding>{stale_});
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(tree_snapshot(store_.path()), before);
}

TEST_F(AdminCheck, FindsEachFaultAloneWithItsLevel) {
    using setup = std::function<void(const fs::path&)>;
    const std::string upper = [&] {
        std::string name = id16_;
        for (auto& c : name) c = static_cast<char>(std::toupper(c));
        return name;
    }();
    const struct {
        const char* what;
        setup put_fault;
        finding expected;
        int exit_status;
    } cases[] = {
        {"empty format file",
         [](const fs::path& d) { write_file(d / "formats/00112233445566778899aabbccddeeff", ""); },
         {"fault", "format_too_short", "formats/00112233445566778899aabbccddeeff"},
         1},
        {"format file shorter than its header",
         [&](const fs::path& d) { write_file(d / "formats" / id16_, "abcde"); },
         {"fault", "format_too_short", "formats/" + id16_},
         1},
        {"cut format file",
         [&](const fs::path& d) { fs::resize_file(d / "formats" / id300_, 100); },
         {"fault", "format_cut", "formats/" + id300_},
         1},
        {"foreign format file",
         [&](const fs::path& d) { write_file(d / "formats" / id16_, representation(16, 99)); },
         {"fault", "format_id_mismatch", "formats/" + id16_},
         1},
        {"format name in uppercase",
         [&](const fs::path& d) { fs::copy_file(d / "formats" / id16_, d / "formats" / upper); },
         {"fault", "foreign_name", "formats/" + upper},
         1},
        {"hidden file among formats",
         [](const fs::path& d) { write_file(d / "formats/.hidden", "x"); },
         {"fault", "foreign_name", "formats/.hidden"},
         1},
        {"directory where a format file belongs",
         [](const fs::path& d) { fs::create_directory(d / "formats/00aa"); },
         {"fault", "not_regular_file", "formats/00aa"},
         1},
        {"atom file holding junk",
         [](const fs::path& d) { write_file(d / "atoms/s/c", "junk\n"); },
         {"fault", "atom_file_junk", "atoms/s/c"},
         1},
        {"atom file with a leading zero",
         [](const fs::path& d) { write_file(d / "atoms/s/c", "07\n"); },
         {"fault", "atom_file_junk", "atoms/s/c"},
         1},
        {"atom file without its line feed",
         [](const fs::path& d) { write_file(d / "atoms/s/c", "7"); },
         {"fault", "atom_file_junk", "atoms/s/c"},
         1},
        {"atom file beyond int32",
         [](const fs::path& d) { write_file(d / "atoms/s/c", "2147483648\n"); },
         {"fault", "atom_out_of_range", "atoms/s/c"},
         1},
        {"negative atom in an atom file",
         [](const fs::path& d) { write_file(d / "atoms/s/c", "-7\n"); },
         {"fault", "atom_out_of_range", "atoms/s/c"},
         1},
        {"uppercase escape in a store name",
         [](const fs::path& d) { write_file(d / "atoms/s/a%2Fb", "7\n"); },
         {"fault", "foreign_name", "atoms/s/a%2Fb"},
         1},
        {"directory where an atom file belongs",
         [](const fs::path& d) { fs::create_directory(d / "atoms/s/e"); },
         {"fault", "not_regular_file", "atoms/s/e"},
         1},
        {"empty atom value file",
         [](const fs::path& d) { write_file(d / "atoms/v/8", ""); },
         {"fault", "atom_value_empty", "atoms/v/8"},
         1},
        {"atom value file without its line feed",
         [](const fs::path& d) { write_file(d / "atoms/v/8", "d"); },
         {"fault", "atom_value_unterminated", "atoms/v/8"},
         1},
        {"atom value file with a quote",
         [](const fs::path& d) { write_file(d / "atoms/v/8", "d\"\n"); },
         {"fault", "atom_value_bad_byte", "atoms/v/8"},
         1},
        {"atom value name with a leading zero",
         [](const fs::path& d) { write_file(d / "atoms/v/08", "d\n"); },
         {"fault", "foreign_name", "atoms/v/08"},
         1},
        {"negative atom value name",
         [](const fs::path& d) { write_file(d / "atoms/v/-1", "d\n"); },
         {"fault", "foreign_name", "atoms/v/-1"},
         1},
        {"atom value name beyond int32",
         [](const fs::path& d) { write_file(d / "atoms/v/2147483648", "d\n"); },
         {"fault", "foreign_name", "atoms/v/2147483648"},
         1},
        {"symbolic link where an atom value file belongs",
         [](const fs::path& d) { fs::create_symlink("8", d / "atoms/v/9"); },
         {"fault", "not_regular_file", "atoms/v/9"},
         1},
        {"regular file where formats belongs",
         [](const fs::path& d) {
             fs::remove_all(d / "formats");
             write_file(d / "formats", "");
         },
         {"fault", "not_a_directory", "formats"},
         1},
        {"atoms/v missing",
         [](const fs::path& d) { fs::remove_all(d / "atoms/v"); },
         {"fault", "missing_directory", "atoms/v"},
         1},
        {"atom value file of an atom file missing",
         [](const fs::path& d) { fs::remove(d / "atoms/v/8"); },
         {"warning", "atom_value_missing", "atoms/s/d"},
         0},
        {"old temporary",
         [](const fs::path& d) {
             write_file(d / "formats/.velto~123-0", "x");
             age_file(d / "formats/.velto~123-0", 7200);
         },
         {"note", "temporary", "formats/.velto~123-0"},
         0},
        {"fresh temporary",
         [](const fs::path& d) { write_file(d / "atoms/s/.velto~124-3", "5\n"); },
         {"note", "temporary", "atoms/s/.velto~124-3"},
         0},
        {"foreign directory in the root",
         [](const fs::path& d) { fs::create_directory(d / "lost+found"); },
         {"note", "foreign_entry", "lost+found"},
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path data = root_.path() / "case";
        fs::remove_all(data);
        fs::copy(store_.path(), data, fs::copy_options::recursive);
        c.put_fault(data);
        const auto before = tree_snapshot(data);
        const process_result result = check(data.string());
        EXPECT_EQ(result.exit_status, c.exit_status) << result.out;
        std::set<finding> expected{stale_, c.expected};
        if (c.expected == finding{"fault", "missing_directory", "atoms/v"}) expected.erase(stale_);
        EXPECT_EQ(parse_findings(result.out, data.string()), expected) << result.out;
        EXPECT_EQ(tree_snapshot(data), before) << "check changed the store";
    }
}

TEST_F(AdminCheck, TextReportNamesPathCodeAndDetail) {
    write_file(store_.path() / "atoms/s/c", "junk\n");
    write_file(store_.path() / "formats/.velto~9-0", "");
    age_file(store_.path() / "formats/.velto~9-0", 7200);
    const process_result result = check(store_.data(), false);
    const std::string d = store_.data();
    EXPECT_EQ(result.out.substr(0, result.out.find("\nfault")),
              "note: " + d +
                  "/formats/.velto~9-0: temporary: left by a write in progress or interrupted, "
                  "7200 s old");
    EXPECT_NE(
        result.out.find("fault: " + d +
                        "/atoms/s/c: atom_file_junk: holds no plain decimal atom and line feed\n"),
        std::string::npos)
        << result.out;
    EXPECT_NE(
        result.out.find("note: " + d +
                        "/atoms/v/5: stale_mapping: its string was registered again with atom 6\n"),
        std::string::npos)
        << result.out;
    EXPECT_EQ(result.out.substr(result.out.rfind('\n', result.out.size() - 2) + 1),
              d + ": 1 faults, 0 warnings, 2 notes in 10 files\n");
    EXPECT_EQ(result.exit_status, 1);
}

TEST_F(AdminCheck, JsonGivesTheAgeOfTemporariesAndEscapesOddNames) {
    write_file(store_.path() / "formats/.velto~9-0", "");
    age_file(store_.path() / "formats/.velto~9-0", 7200);
    write_file(store_.path() / "formats/a\"b\xff", "");
    const process_result result = check(store_.data());
    // Aged 7200 s when it was written; a busy machine may take a second or more to check it.
    EXPECT_TRUE(std::regex_search(result.out, std::regex(",\"age_seconds\":72[0-9][0-9]\\}\n")))
        << result.out;
    EXPECT_NE(result.out.find("\"code\":\"foreign_name\",\"path\":\"" + store_.data() +
                              "/formats/a\\\"b\\u00ff\""),
              std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find("{\"level\":\"summary\",\"path\":\"" + store_.data() +
                              "\",\"faults\":1,\"warnings\":0,\"notes\":2,\"files\":11}\n"),
              std::string::npos)
        << result.out;
}

TEST_F(AdminCheck, StringWithALineFeedIsANoteNotAFault) {
    store_.add_atom("x\ny", 10);
    const process_result result = check(store_.data());
    EXPECT_EQ(result.exit_status, 0) << result.out;
    EXPECT_EQ(parse_findings(result.out, store_.data()),
              (std::set<finding>{stale_, {"note", "multi_line_value", "atoms/v/10"}}));
}

TEST_F(AdminCheck, MissingStoreIsReportedAndNotCreated) {
    const fs::path missing = root_.path() / "nowhere";
    const process_result result = check(missing.string());
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(parse_findings(result.out, missing.string()),
              (std::set<finding>{{"fault", "missing_directory", "."},
                                 {"fault", "missing_directory", "formats"},
                                 {"fault", "missing_directory", "atoms"},
                                 {"fault", "missing_directory", "atoms/s"},
                                 {"fault", "missing_directory", "atoms/v"}}));
    EXPECT_FALSE(fs::exists(missing));
}

}  // namespace
