// velto-admin export and import: a backup restored into a fresh store is the same tree, byte for
// byte, and the CGI program answers the same from it; a damaged record changes nothing; two
// stores merge.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "velto.h"

namespace fs = std::filesystem;
using namespace velto_test;

namespace {

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class AdminTransfer : public ::testing::Test {
  protected:
    void SetUp() override {
        ids_.push_back(source_.add_format(representation(16, 1)));
        ids_.push_back(source_.add_format(representation(300, 2)));
        ids_.push_back(source_.add_format(representation(200000, 3)));
        for (const auto& [string, atom] : PAIRS) source_.add_atom(string, atom);
    }
    // Every lookup the store can answer for the fixture's keys, and the health report.
    std::string answers(const cgi_store& store) const {
        std::string all = store.get("/v1/health").out;
        for (const auto& id : ids_) all += store.get("/v1/formats/" + id).out;
        for (const char* segment :
             {"a%20b", "c", "x%2Fy", "%C3%A9", "x%0Ay", ".dot", "0", "never"}) {
            all += store.get(std::string("/v1/atoms/by-string/") + segment).out;
        }
        for (int atom = 0; atom <= 11; atom++)
            all += store.get("/v1/atoms/by-value/" + std::to_string(atom)).out;
        return all;
    }
    process_result admin(const cgi_store& store, std::vector<std::string> args,
                     const std::string& input = "", bool input_is_pipe = false) const {
        args.insert(args.begin(), {"--data-dir", store.data()});
        return run_admin(args, {}, input, input_is_pipe);
    }

    static constexpr std::pair<const char*, int> PAIRS[] = {
        {"a b", 5},      {"a b", 6},  {"c", 6},     {"x/y", 7},
        {"\xc3\xa9", 8}, {"x\ny", 9}, {".dot", 10}, {"0", 0},
    };
    temp_dir root_;
    cgi_store source_{root_.path() / "source"};
    cgi_store target_{root_.path() / "target"};
    std::vector<std::string> ids_;
};

TEST_F(AdminTransfer, BackupRestoredIntoAFreshStoreIsTheSameTreeAndAnswersTheSame) {
    const fs::path backup = root_.path() / "backup.jsonl";
    const process_result exported = admin(source_, {"export", backup.string()});
    ASSERT_EQ(exported.exit_status, 0) << exported.err;
    EXPECT_EQ(exported.out, "");
    EXPECT_EQ(exported.err, "velto-admin export: 17 records\n");
    const auto lines = lines_of(read_file(backup).value());
    ASSERT_EQ(lines.size(), 17u);
    EXPECT_EQ(lines[0].rfind("{\"kind\":\"format\",\"name\":\"", 0), 0u) << lines[0];

    const process_result imported = admin(target_, {"import", backup.string()});
    ASSERT_EQ(imported.exit_status, 0) << imported.err;
    EXPECT_EQ(imported.err,
              "velto-admin import: 17 of 17 records stored: 17 written, 0 already there\n");
    EXPECT_EQ(tree_snapshot(target_.path()), tree_snapshot(source_.path()));
    EXPECT_EQ(answers(target_), answers(source_));

    // Again: nothing to write, nothing changed.
    const process_result again = admin(target_, {"import", "--quiet", backup.string()});
    EXPECT_EQ(again.exit_status, 0);
    EXPECT_EQ(again.err, "");
    EXPECT_EQ(tree_snapshot(target_.path()), tree_snapshot(source_.path()));
    EXPECT_EQ(admin(target_, {"check"}).exit_status, 0);
}

TEST_F(AdminTransfer, StandardOutputToAPipeIntoStandardInput) {
    fs::remove(source_.path() / "formats" / ids_[2]);  // a pipe here holds less than its hex
    ids_.pop_back();
    const process_result exported = admin(source_, {"export", "--quiet"});
    ASSERT_EQ(exported.exit_status, 0) << exported.err;
    EXPECT_EQ(exported.err, "");
    const process_result imported = admin(target_, {"import", "-"}, exported.out, true);
    ASSERT_EQ(imported.exit_status, 0) << imported.err;
    EXPECT_EQ(tree_snapshot(target_.path()), tree_snapshot(source_.path()));
    EXPECT_EQ(answers(target_), answers(source_));
}

TEST_F(AdminTransfer, DamagedRecordIsNamedAndNothingIsWritten) {
    const std::vector<std::string> good = lines_of(admin(source_, {"export", "--quiet"}).out);
    const std::string other_id = ids_[0];
    const std::string atom = "{\"kind\":\"atom\",\"name\":\"z\",\"hex\":\"";
    const std::string cut_rep = to_hex(representation(300, 2).substr(0, 100));
    const struct {
        const char* what;
        std::string line;
        std::string why;
    } cases[] = {
        {"not JSON", "hello", "a record is a JSON object on one line"},
        {"cut line", good[3].substr(0, 25), "a string is not closed"},
        {"empty line", "", "a record is a JSON object on one line"},
        {"text after the object", good[3] + "x", "the record does not end after its object"},
        {"unknown kind", R"({"kind":"thing","name":"z","hex":"350a"})",
         "kind is none of format, atom and atom_value"},
        {"member missing", R"({"kind":"atom","name":"z"})", "kind, name and hex must all be given"},
        {"member twice", R"({"kind":"atom","name":"z","name":"y","hex":"350a"})",
         "a member given twice"},
        {"unknown member", R"({"kind":"atom","name":"z","hex":"350a","x":""})",
         "a member other than kind, name and hex"},
        {"escape", R"({"kind":"atom","name":"\u007a","hex":"350a"})",
         "escapes are not used in records"},
        {"number value", R"({"kind":"atom","name":"z","hex":5})", "a string was expected"},
        {"odd hex", atom + "350\"}", "hex holds an odd number of digits"},
        {"not hex", atom + "zz0a\"}",
         "hex holds an odd number of digits or a byte that is no hex digit"},
        {"store name with a space", R"({"kind":"atom","name":"a b","hex":"350a"})",
         "name is not a store name as registration makes one"},
        {"atom value name with a leading zero", R"({"kind":"atom_value","name":"07","hex":"7a0a"})",
         "name is not the decimal of an atom 0 to 2147483647"},
        {"format name in uppercase",
         "{\"kind\":\"format\",\"name\":\"" + std::string(32, 'A') + "\",\"hex\":\"00\"}",
         "name is not the lowercase hex of a server ID"},
        {"atom file junk", atom + "6a756e6b0a\"}",
         "content atom_file_junk: holds no plain decimal atom and line feed"},
        {"atom out of range", atom + to_hex("2147483648\n") + "\"}", "content atom_out_of_range"},
        {"atom value without line feed", R"({"kind":"atom_value","name":"1","hex":"7a"})",
         "content atom_value_unterminated"},
        {"foreign format",
         "{\"kind\":\"format\",\"name\":\"" + other_id + "\",\"hex\":\"" +
             to_hex(representation(16, 9)) + "\"}",
         "content format_id_mismatch: its content has the server ID"},
        {"cut format",
         "{\"kind\":\"format\",\"name\":\"" + ids_[1] + "\",\"hex\":\"" + cut_rep + "\"}",
         "content format_cut: its header declares 300 bytes, the file holds 100"},
    };
    target_.add_atom("kept", 1);
    const auto before = tree_snapshot(target_.path());
    const fs::path fresh = root_.path() / "fresh";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string input = good[0] + "\n" + good[4] + "\n" + c.line + "\n";
        for (std::size_t i = 5; i < good.size(); i++) input += good[i] + "\n";
        const fs::path file = root_.path() / "damaged.jsonl";
        write_file(file, input);
        const process_result result = admin(target_, {"import", file.string()});
        EXPECT_EQ(result.exit_status, 1);
        EXPECT_EQ(result.err.rfind("velto-admin import: " + file.string() + ":3: " + c.why, 0), 0u)
            << result.err;
        EXPECT_EQ(result.err.substr(result.err.size() - 23), "; nothing was imported\n")
            << result.err;
        EXPECT_EQ(tree_snapshot(target_.path()), before);

        const process_result piped =
            run_admin({"import", "--data-dir", fresh.string()}, {}, input, true);
        EXPECT_EQ(piped.exit_status, 1);
        EXPECT_EQ(piped.err.rfind("velto-admin import: standard input:3: " + c.why, 0), 0u)
            << piped.err;
        EXPECT_FALSE(fs::exists(fresh)) << "a refused import created the store";
    }
}

TEST_F(AdminTransfer, SecondStoreMergesIntoTheFirst) {
    const cgi_store first(root_.path() / "first");
    const std::string shared_id = first.add_format(representation(16, 1));  // in both stores
    const std::string own_id = first.add_format(representation(40, 4));
    first.add_atom("p", 1);
    first.add_atom("c", 2);  // the source maps c to 6: the imported mapping wins
    const process_result merged = admin(first, {"import"}, admin(source_, {"export", "--quiet"}).out);
    ASSERT_EQ(merged.exit_status, 0) << merged.err;
    EXPECT_EQ(merged.err,
              "velto-admin import: 17 of 17 records stored: 16 written, 1 already there\n");

    for (const auto& id : ids_) {
        EXPECT_EQ(read_file(first.path() / "formats" / id),
                  read_file(source_.path() / "formats" / id));
    }
    EXPECT_TRUE(fs::exists(first.path() / "formats" / own_id));
    EXPECT_EQ(first.get("/v1/atoms/by-string/c").out, response(200, R"({"atom":6})"));
    EXPECT_EQ(first.get("/v1/atoms/by-string/p").out, response(200, R"({"atom":1})"));
    EXPECT_EQ(first.get("/v1/atoms/by-value/2").out, response(200, R"({"string":"c"})"));
    EXPECT_EQ(first.get("/v1/health").out,
              response(200, R"({"status":"ok","format_count":4,"atom_count":7})"));
    // The stale mapping that the merge made (atoms/v/2 still says c) is by design.
    const process_result checked = admin(first, {"check"});
    EXPECT_EQ(checked.exit_status, 0) << checked.out;
    EXPECT_NE(checked.out.find("note: " + first.data() + "/atoms/v/2: stale_mapping"),
              std::string::npos)
        << checked.out;
    (void)shared_id;
}

TEST_F(AdminTransfer, ExportLeavesOutFaultyFilesAndSaysSo) {
    fs::resize_file(source_.path() / "formats" / ids_[1], 100);
    write_file(source_.path() / "atoms/s/c", "junk\n");
    write_file(source_.path() / "atoms/v/.velto~1-0", "temporary\n");
    const process_result exported = admin(source_, {"export"});
    EXPECT_EQ(exported.exit_status, 1);
    EXPECT_NE(exported.err.find("velto-admin export: left out " + source_.data() + "/formats/" +
                                ids_[1] + ": its header declares 300 bytes, the file holds 100\n"),
              std::string::npos)
        << exported.err;
    EXPECT_NE(exported.err.find("left out " + source_.data() + "/atoms/s/c: "), std::string::npos)
        << exported.err;
    EXPECT_NE(exported.err.find("velto-admin export: 15 records, 2 entries left out\n"),
              std::string::npos)
        << exported.err;
    EXPECT_EQ(lines_of(exported.out).size(), 15u);
    EXPECT_EQ(exported.out.find(".velto~"), std::string::npos);

    const process_result imported = admin(target_, {"import"}, exported.out);
    EXPECT_EQ(imported.exit_status, 0) << imported.err;
    EXPECT_FALSE(fs::exists(target_.path() / "formats" / ids_[1]));
    EXPECT_FALSE(fs::exists(target_.path() / "atoms/s/c"));
}

TEST_F(AdminTransfer, ExportToAnUnwritablePlaceFailsAndLeavesNoFile) {
    const fs::path blocked = root_.path() / "blocked";
    write_file(blocked, "");  // a regular file where a directory belongs
    const process_result result = admin(source_, {"export", (blocked / "backup.jsonl").string()});
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_NE(result.err.find("velto-admin export: cannot create"), std::string::npos)
        << result.err;
}

}  // namespace
