// velto-admin on a store that others could write into, and on a store that another user owns:
// every command ends by itself with links and named pipes at each kind of file and links at each
// directory of the tree, reads and writes nothing outside the store, and check names each such
// entry; run as root, what the tool creates keeps the store's owner, and check holds every entry
// against the server's user.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "velto.h"

namespace fs = std::filesystem;
using namespace velto_test;

namespace {

// The user and group that the tests hand the store to; any uid other than root's does.
constexpr uid_t SERVER_UID = 4242;
constexpr gid_t SERVER_GID = 4243;

class AdminStoreSafety : public ::testing::Test {
  protected:
    void SetUp() override {
        id_ = store_.add_format(representation(16, 1));
        store_.add_atom("a", 1);
        fs::create_directories(outside() / "dir/s");
        fs::create_directories(outside() / "dir/v");
        write_file(outside() / "bait", "bait bytes\n");
        write_file(outside() / "dir/x", "7\n");
    }
    fs::path outside() const { return root_.path() / "outside"; }
    process_result admin(std::vector<std::string> args, const std::string& input = "") const {
        args.insert(args.begin(), {"--data-dir", store_.data()});
        return run_admin(args, {}, input, false, 5);
    }
    // Whether check --json names `path` (relative to the store) under `code`.
    bool check_names(const std::string& out, const std::string& code, const std::string& path) {
        return out.find("\"code\":\"" + code + "\",\"path\":\"" + store_.data() + "/" + path +
                        "\"") != std::string::npos;
    }

    temp_dir root_;
    cgi_store store_{root_.path() / "data"};
    std::string id_;
};

TEST_F(AdminStoreSafety, EveryCommandEndsAndStaysInsideTheStore) {
    const auto place_link = [](const std::string& target) {
        return [target](const fs::path& entry, const fs::path& outside) {
            fs::remove_all(entry);
            fs::create_symlink(outside / target, entry);
        };
    };
    const auto place_fifo = [](const fs::path& entry, const fs::path&) {
        fs::remove_all(entry);
        ASSERT_EQ(::mkfifo(entry.c_str(), 0666), 0);
    };
    const struct {
        std::string entry;
        std::function<void(const fs::path&, const fs::path&)> place;
        std::string code;  // check's finding at the entry
    } cases[] = {
        {"atoms/s/x", place_link("bait"), "not_regular_file"},
        {"atoms/s/x", place_link("dir"), "not_regular_file"},
        {"atoms/s/x", place_link("missing"), "not_regular_file"},
        {"atoms/s/x", place_fifo, "not_regular_file"},
        {"atoms/v/2", place_fifo, "not_regular_file"},
        {"formats/00112233445566778899aabbccddeeff", place_fifo, "not_regular_file"},
        {"formats", place_link("dir"), "not_a_directory"},
        {"atoms", place_link("dir"), "not_a_directory"},
        {"atoms/s", place_link("dir"), "not_a_directory"},
        {"atoms/v", place_link("dir"), "not_a_directory"},
    };
    const std::string record = R"({"kind":"atom","name":"x","hex":"350a"})"
                               "\n";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.entry);
        fs::remove_all(store_.path());
        SetUp();
        const auto before = tree_snapshot(outside());
        c.place(store_.path() / c.entry, outside());

        const process_result check = admin({"check", "--json"});
        EXPECT_EQ(check.exit_status, 1) << check.out;
        EXPECT_TRUE(check_names(check.out, c.code, c.entry)) << check.out;
        const process_result exported = admin({"export"});
        EXPECT_NE(exported.exit_status, -1) << "export did not end by itself";
        EXPECT_EQ(exported.out.find(to_hex("bait")), std::string::npos);
        EXPECT_EQ(exported.out.find(to_hex("7\n")), std::string::npos);
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{"stats"}, {"clean", "--older-than", "0s"}}) {
            EXPECT_NE(admin(args).exit_status, -1) << args[0] << " did not end by itself";
        }
        EXPECT_NE(admin({"import"}, record).exit_status, -1) << "import did not end by itself";
        EXPECT_EQ(tree_snapshot(outside()), before);
    }
}

TEST_F(AdminStoreSafety, ImportAsRootGivesWhatItCreatesTheStoresOwner) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to own files for another user";
    const std::string records = admin({"export"}).out;
    const fs::path fresh = root_.path() / "fresh";
    fs::create_directory(fresh);
    ASSERT_EQ(::chown(fresh.c_str(), SERVER_UID, SERVER_GID), 0);

    const process_result imported =
        run_admin({"--data-dir", fresh.string(), "import"}, {}, records, false, 30);
    ASSERT_EQ(imported.exit_status, 0) << imported.err;
    int entries = 0;
    for (const auto& entry : fs::recursive_directory_iterator(fresh)) {
        struct stat status;
        ASSERT_EQ(::lstat(entry.path().c_str(), &status), 0);
        EXPECT_EQ(status.st_uid, SERVER_UID) << entry.path();
        EXPECT_EQ(status.st_gid, SERVER_GID) << entry.path();
        entries++;
    }
    EXPECT_EQ(entries, 4 + 3);  // the tree and the three files
    // The server's user finds nothing it cannot use.
    const process_result check = run_admin({"--data-dir", fresh.string(), "check", "--json"});
    EXPECT_EQ(check.exit_status, 0) << check.out;
    EXPECT_EQ(check.out.find("foreign_owner"), std::string::npos) << check.out;
}

TEST_F(AdminStoreSafety, CheckHoldsEveryEntryAgainstTheServersUser) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to own files for another user";
    // The store as the server's user owns it: sound.
    for (const auto& entry : fs::recursive_directory_iterator(store_.path())) {
        ASSERT_EQ(::lchown(entry.path().c_str(), SERVER_UID, SERVER_GID), 0);
    }
    ASSERT_EQ(::chown(store_.path().c_str(), SERVER_UID, SERVER_GID), 0);
    process_result check = admin({"check", "--json"});
    EXPECT_EQ(check.exit_status, 0) << check.out;

    // A directory left to root, as an import run as root once did: the server cannot write it.
    ASSERT_EQ(::chown((store_.path() / "atoms/v").c_str(), 0, 0), 0);
    ASSERT_EQ(::chmod((store_.path() / "atoms/v").c_str(), 0755), 0);
    // A file of another user that the server can still read.
    ASSERT_EQ(::lchown((store_.path() / "atoms/s/a").c_str(), 0, 0), 0);
    check = admin({"check", "--json"});
    EXPECT_EQ(check.exit_status, 1) << check.out;
    EXPECT_TRUE(check_names(check.out, "no_access", "atoms/v")) << check.out;
    EXPECT_TRUE(check_names(check.out, "foreign_owner", "atoms/v")) << check.out;
    EXPECT_TRUE(check_names(check.out, "foreign_owner", "atoms/s/a")) << check.out;
    EXPECT_FALSE(check_names(check.out, "no_access", "atoms/s/a")) << check.out;

    // Held against root instead, the store is usable but owned by someone else.
    check = admin({"check", "--json", "--user", "root"});
    EXPECT_EQ(check.exit_status, 0) << check.out;
    EXPECT_TRUE(check_names(check.out, "foreign_owner", "formats/" + id_)) << check.out;
    EXPECT_EQ(admin({"check", "--user", "no-such-user-here"}).exit_status, 1);
}

}  // namespace
