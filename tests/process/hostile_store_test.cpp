// A store that another local user could write into: a symbolic link (to a bait file outside the
// store, to a directory outside it, or dangling) at each kind of file and at each directory of
// the tree, and a named pipe at each kind of file. Every request is answered, within seconds,
// as for a file that is there but cannot be read; no byte of a bait ever reaches an answer, and
// nothing outside the store is written, created or changed.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "process_test.h"

namespace fs = std::filesystem;
using namespace velto_test;

namespace {

const std::string FORMAT_REP = SAMPLE_REP_HEX;
const std::string FORMAT_ID = SAMPLE_REP_ID;
const std::string FORMAT_BODY = R"({"format_rep":")" + FORMAT_REP + R"("})";
const std::string STORED = R"({"server_id":")" + FORMAT_ID + R"("})";
const std::string REGISTERED = R"({"ok":true})";
const std::string READ_ERROR = R"({"error":"read error"})";
const std::string CORRUPT_ATOM = R"({"error":"corrupt atom file"})";
const std::string CORRUPT_VALUE = R"({"error":"corrupt atom value file"})";
const std::string CANNOT_WRITE_FORMAT = R"({"error":"cannot write format file"})";
const std::string CANNOT_WRITE_ATOM = R"({"error":"cannot write atom file"})";
const std::string CANNOT_WRITE_VALUE = R"({"error":"cannot write atom value file"})";

// What the files outside the store hold, which a program that followed a link would answer:
// the format's own bytes, an atom, a string.
const std::string BAIT_VALUE = "bait string\n";

struct request {
    std::string method;
    std::string path;
    std::string body;
    int status;
    std::string expected;
};

// A GET and a POST of each kind of file, against a store that holds nothing of its own.
const request GET_FORMAT{"GET", "/v1/formats/" + FORMAT_ID, "", 500, READ_ERROR};
const request GET_ATOM{"GET", "/v1/atoms/by-string/x", "", 500, CORRUPT_ATOM};
const request GET_VALUE{"GET", "/v1/atoms/by-value/1", "", 500, CORRUPT_VALUE};
// An entry under a format's name counts as stored, whatever it is; a link there is never
// followed. An atom file or atom value file is replaced: the entry itself, not what it names.
const request POST_FORMAT{"POST", "/v1/formats", FORMAT_BODY, 200, STORED};
const request POST_ATOM{"POST", "/v1/atoms", R"({"string":"x","atom":1})", 200, REGISTERED};

struct plant_case {
    std::string what;
    std::string entry;  // below the store
    std::function<void(const fs::path& entry, const fs::path& outside)> place;
    std::vector<request> requests;
};

void link_to(const fs::path& target, const fs::path& entry) {
    fs::create_symlink(target, entry);
}

void make_fifo(const fs::path& entry) {
    ASSERT_EQ(::mkfifo(entry.c_str(), 0666), 0) << entry;
}

class HostileStore : public ::testing::Test {
  protected:
    void SetUp() override {
        // Outside the store: bait files whose bytes a lookup would answer if it followed a link,
        // and directories shaped like the store's own.
        fs::create_directories(outside() / "dir/s");
        fs::create_directories(outside() / "dir/v");
        fs::create_directories(outside() / "empty");
        write_file(outside() / "bait_format", from_hex(FORMAT_REP));
        write_file(outside() / "bait_atom", "7\n");
        write_file(outside() / "bait_value", BAIT_VALUE);
        write_file(outside() / "dir" / FORMAT_ID, from_hex(FORMAT_REP));
        write_file(outside() / "dir/x", "7\n");
        write_file(outside() / "dir/1", BAIT_VALUE);
        write_file(outside() / "dir/s/x", "7\n");
        write_file(outside() / "dir/v/1", BAIT_VALUE);
        // The store's tree, as the program makes it.
        run({"GET", "/v1/health", "", 200, R"({"status":"ok","format_count":0,"atom_count":0})"});
    }

    fs::path data() const { return root_.path() / "data"; }
    fs::path outside() const { return root_.path() / "outside"; }

    // One request, which must end by itself well within the time limit.
    void run(const request& r) {
        SCOPED_TRACE(r.method + " " + r.path);
        environment env = cgi_store(data()).env(r.method, r.path);
        if (r.method == "POST") env["CONTENT_LENGTH"] = std::to_string(r.body.size());
        run_options options;
        options.deadline_seconds = 5;
        const process_result result = run_cgi(env, r.body, options);
        EXPECT_EQ(result.exit_status, 0) << "the program did not end by itself";
        EXPECT_EQ(result.out, response(r.status, r.expected));
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.out.find("bait"), std::string::npos);
        EXPECT_EQ(result.out.find("\"atom\":7"), std::string::npos);
    }

    temp_dir root_;
};

TEST_F(HostileStore, NothingBelowTheStoreIsReachedThroughALinkOrAPipe) {
    const fs::path format_entry = "formats/" + FORMAT_ID;
    const std::vector<plant_case> cases = {
        // At each kind of file.
        {"format file linked to a bait file", format_entry,
         [](const fs::path& e, const fs::path& o) { link_to(o / "bait_format", e); },
         {GET_FORMAT, POST_FORMAT, GET_FORMAT}},
        {"format file linked to a directory", format_entry,
         [](const fs::path& e, const fs::path& o) { link_to(o / "dir", e); },
         {GET_FORMAT, POST_FORMAT}},
        {"format file linked to nothing", format_entry,
         [](const fs::path& e, const fs::path& o) { link_to(o / "missing", e); },
         {GET_FORMAT, POST_FORMAT}},
        {"format file a named pipe", format_entry,
         [](const fs::path& e, const fs::path&) { make_fifo(e); }, {GET_FORMAT, POST_FORMAT}},
        {"atom file linked to a bait file", "atoms/s/x",
         [](const fs::path& e, const fs::path& o) { link_to(o / "bait_atom", e); },
         {GET_ATOM, POST_ATOM}},
        {"atom file linked to a directory", "atoms/s/x",
         [](const fs::path& e, const fs::path& o) { link_to(o / "dir", e); },
         {GET_ATOM, POST_ATOM}},
        {"atom file linked to nothing", "atoms/s/x",
         [](const fs::path& e, const fs::path& o) { link_to(o / "missing", e); },
         {GET_ATOM, POST_ATOM}},
        {"atom file a named pipe", "atoms/s/x",
         [](const fs::path& e, const fs::path&) { make_fifo(e); }, {GET_ATOM, POST_ATOM}},
        {"atom value file linked to a bait file", "atoms/v/1",
         [](const fs::path& e, const fs::path& o) { link_to(o / "bait_value", e); },
         {GET_VALUE, POST_ATOM}},
        {"atom value file linked to a directory", "atoms/v/1",
         [](const fs::path& e, const fs::path& o) { link_to(o / "dir", e); },
         {GET_VALUE, POST_ATOM}},
        {"atom value file linked to nothing", "atoms/v/1",
         [](const fs::path& e, const fs::path& o) { link_to(o / "missing", e); },
         {GET_VALUE, POST_ATOM}},
        {"atom value file a named pipe", "atoms/v/1",
         [](const fs::path& e, const fs::path&) { make_fifo(e); }, {GET_VALUE, POST_ATOM}},
        // At each directory of the tree: writes there fail, lookups cannot read.
        {"formats linked to a directory", "formats",
         [](const fs::path& e, const fs::path& o) {
             fs::remove(e);
             link_to(o / "dir", e);
         },
         {GET_FORMAT,
          {"POST", "/v1/formats", FORMAT_BODY, 500, CANNOT_WRITE_FORMAT},
          {"GET", "/v1/health", "", 200, R"({"status":"ok","format_count":0,"atom_count":0})"}}},
        {"atoms linked to a directory", "atoms",
         [](const fs::path& e, const fs::path& o) {
             fs::remove_all(e);
             link_to(o / "dir", e);
         },
         {GET_ATOM, GET_VALUE,
          {"POST", "/v1/atoms", R"({"string":"x","atom":1})", 500, CANNOT_WRITE_ATOM},
          {"GET", "/v1/health", "", 200, R"({"status":"ok","format_count":0,"atom_count":0})"}}},
        {"atoms linked to an empty directory", "atoms",
         [](const fs::path& e, const fs::path& o) {
             fs::remove_all(e);
             link_to(o / "empty", e);
         },
         {{"POST", "/v1/atoms", R"({"string":"x","atom":1})", 500, CANNOT_WRITE_ATOM}}},
        {"atoms/s linked to a directory", "atoms/s",
         [](const fs::path& e, const fs::path& o) {
             fs::remove(e);
             link_to(o / "dir", e);
         },
         {GET_ATOM, {"POST", "/v1/atoms", R"({"string":"x","atom":1})", 500, CANNOT_WRITE_ATOM}}},
        {"atoms/v linked to a directory", "atoms/v",
         [](const fs::path& e, const fs::path& o) {
             fs::remove(e);
             link_to(o / "dir", e);
         },
         {GET_VALUE,
          {"POST", "/v1/atoms", R"({"string":"x","atom":1})", 500, CANNOT_WRITE_VALUE}}},
    };
    for (const plant_case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(data());
        SetUp();
        const auto outside_before = tree_snapshot(outside());
        c.place(data() / c.entry, outside());
        for (const request& r : c.requests) run(r);
        EXPECT_EQ(tree_snapshot(outside()), outside_before);
    }
}

TEST_F(HostileStore, ALinkedDataDirectoryIsTheOperatorsChoice) {
    fs::create_directories(root_.path() / "real");
    fs::remove_all(data());
    fs::create_directory_symlink(root_.path() / "real", data());
    run(POST_FORMAT);
    run({"GET", "/v1/formats/" + FORMAT_ID, "", 200, R"({"format_rep":")" + FORMAT_REP + R"("})"});
    run(POST_ATOM);
    run({"GET", "/v1/atoms/by-string/x", "", 200, R"({"atom":1})"});
    EXPECT_TRUE(fs::is_regular_file(root_.path() / "real/formats" / FORMAT_ID));
}

TEST_F(HostileStore, AnEntryFoundInPlaceIsKeptAndNeverFollowed) {
    // The link stays what it was: counted as the stored format, its target untouched.
    link_to(outside() / "bait_format", data() / "formats" / FORMAT_ID);
    run(POST_FORMAT);
    EXPECT_TRUE(fs::is_symlink(data() / "formats" / FORMAT_ID));
    // A replaced atom file is a file of the program's own, no longer the link.
    link_to(outside() / "bait_atom", data() / "atoms/s/x");
    run(POST_ATOM);
    EXPECT_FALSE(fs::is_symlink(data() / "atoms/s/x"));
    EXPECT_EQ(read_file(data() / "atoms/s/x"), "1\n");
    EXPECT_EQ(read_file(outside() / "bait_atom"), "7\n");
    run({"GET", "/v1/atoms/by-string/x", "", 200, R"({"atom":1})"});
}

}  // namespace
