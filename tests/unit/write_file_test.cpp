// The store's write routine: whole files under final names, nothing left behind on failure.
#include "store/write_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "base/owners.h"
#include "files.h"
#include "spawn.h"

namespace fs = std::filesystem;
using velto_test::read_file;
using velto_test::run_forked;
using velto_test::temp_dir;
using velto_test::tree_listing;

namespace {

class WriteFile : public ::testing::Test {
protected:
    std::string at(const std::string& name) const { return (dir_.path() / name).string(); }
    // The directory that every write goes to, open as the store opens its directories.
    int dir_fd() {
        if (!dir_fd_) dir_fd_ = fd_owner(::open(dir_.path().c_str(), O_RDONLY | O_DIRECTORY));
        return dir_fd_.get();
    }
    temp_dir dir_;
    fd_owner dir_fd_;
};

TEST_F(WriteFile, CreateOnlyKeepsTheFirstCopy) {
    EXPECT_EQ(write_store_file(dir_fd(), "f", {"first", "\n"}, write_mode::create_only),
              write_result::written);
    EXPECT_EQ(write_store_file(dir_fd(), "f", {"second"}, write_mode::create_only),
              write_result::already_present);
    EXPECT_EQ(read_file(at("f")), "first\n");
    EXPECT_EQ(tree_listing(dir_.path()), "f\n");
}

TEST_F(WriteFile, ReplaceReplacesWhole) {
    EXPECT_EQ(write_store_file(dir_fd(), "f", {"a longer first text"}, write_mode::replace),
              write_result::written);
    EXPECT_EQ(write_store_file(dir_fd(), "f", {"2", "\n"}, write_mode::replace),
              write_result::written);
    EXPECT_EQ(read_file(at("f")), "2\n");
    EXPECT_EQ(tree_listing(dir_.path()), "f\n");
}

TEST_F(WriteFile, NewFileGetsTheUsualModeLessTheUmask) {
    const mode_t old_mask = ::umask(027);
    const auto result = write_store_file(dir_fd(), "f", {"x"}, write_mode::replace);
    ::umask(old_mask);
    ASSERT_EQ(result, write_result::written);
    struct stat status;
    ASSERT_EQ(::stat(at("f").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
}

TEST_F(WriteFile, EmptyContentIsAFileToo) {
    EXPECT_EQ(write_store_file(dir_fd(), "f", {}, write_mode::create_only), write_result::written);
    EXPECT_EQ(read_file(at("f")), "");
}

TEST_F(WriteFile, FailuresLeaveNothingBehind) {
    fs::create_directory(dir_.path() / "sub");
    const std::string long_name(256, 'n');
    for (const write_mode mode : {write_mode::create_only, write_mode::replace}) {
        for (const std::string& name : {std::string("missing/f"), long_name}) {
            SCOPED_TRACE(name);
            EXPECT_EQ(write_store_file(dir_fd(), name.c_str(), {"x"}, mode), write_result::failed);
            EXPECT_EQ(tree_listing(dir_.path()), "sub/\n");
        }
    }
}

// A name that is taken by a directory: create-only finds something there, replace cannot
// replace it; either way the directory stays as it was.
TEST_F(WriteFile, ANameThatIsADirectoryIsNeverReplaced) {
    fs::create_directory(dir_.path() / "sub");
    for (const std::string name : {"sub", "sub/.", "sub/..", "sub/"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(write_store_file(dir_fd(), name.c_str(), {"x"}, write_mode::create_only),
                  write_result::already_present);
        EXPECT_EQ(write_store_file(dir_fd(), name.c_str(), {"x"}, write_mode::replace),
                  write_result::failed);
        EXPECT_EQ(tree_listing(dir_.path()), "sub/\n");
    }
}

// A file-size limit makes the write itself fail part way, as a full disk would.
TEST_F(WriteFile, AWriteThatFailsPartWayLeavesNoShortFile) {
    for (const write_mode mode : {write_mode::create_only, write_mode::replace}) {
        const std::string big(5000, 'b');
        EXPECT_TRUE(run_forked(
            [&] { return write_store_file(dir_fd(), "f", {big}, mode) == write_result::failed; },
            1000));
        EXPECT_EQ(tree_listing(dir_.path()), "");
    }
}

TEST_F(WriteFile, AFailedReplaceKeepsTheOldContent) {
    ASSERT_EQ(write_store_file(dir_fd(), "f", {"old\n"}, write_mode::replace),
              write_result::written);
    EXPECT_TRUE(run_forked(
        [&] {
            return write_store_file(dir_fd(), "f", {"new content\n"}, write_mode::replace) ==
                   write_result::failed;
        },
        2));
    EXPECT_EQ(read_file(at("f")), "old\n");
    EXPECT_EQ(tree_listing(dir_.path()), "f\n");
}

TEST_F(WriteFile, StaleTemporariesOfAnEarlierProcessWithThisPidAreLeftAlone) {
    // A crashed process with this pid could have left many temporaries behind.
    std::string stale_names;
    for (int attempt = 0; attempt < 100; attempt++) {
        const std::string name = std::string(TEMP_NAME_PREFIX) + std::to_string(::getpid()) + "-" +
                                 std::to_string(attempt);
        velto_test::write_file(dir_.path() / name, "stale");
        stale_names += name + "\n";
    }
    const std::string before = tree_listing(dir_.path());
    EXPECT_EQ(write_store_file(dir_fd(), "f", {"x"}, write_mode::create_only),
              write_result::written);
    EXPECT_EQ(read_file(at("f")), "x");
    EXPECT_EQ(tree_listing(dir_.path()), before + "f\n");
}

}  // namespace
