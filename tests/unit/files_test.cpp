// The store's operations on its files: storing a format (the first copy stays), storing an atom
// pair (in order, the first write kept when the second fails), reading an entry whole without
// following a link or blocking on a FIFO, and counting a directory.
#include "store/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "files.h"

namespace fs = std::filesystem;
using velto_test::read_file;
using velto_test::temp_dir;
using velto_test::tree_listing;
using velto_test::write_file;

namespace {

class StoreFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        root_text_ = (dir_.path() / "data").string();
        data_dir = root_text_.c_str();
        ensure_store_dirs();
    }
    void TearDown() override { data_dir = DEFAULT_DATA_DIR; }
    fs::path at(const std::string& name) const { return fs::path(root_text_) / name; }

    temp_dir dir_;
    std::string root_text_;
};

TEST_F(StoreFiles, ReadEntryReadsOnlyRegularFilesWithinTheLimit) {
    write_file(at("formats/three"), "abc");
    write_file(at("formats/empty"), "");
    fs::create_directory(at("formats/directory"));
    fs::create_symlink("three", at("formats/link"));
    ASSERT_EQ(::mkfifo(at("formats/fifo").c_str(), 0600), 0);
    const struct {
        const char* name;
        uint64_t limit;
        read_status status;
        std::string bytes;
    } cases[] = {
        {"three", 3, read_status::read, "abc"},
        {"three", 2, read_status::too_large, ""},
        {"empty", 0, read_status::read, ""},
        {"missing", 10, read_status::missing, ""},
        {"directory", 10, read_status::not_regular, ""},
        {"link", 10, read_status::not_regular, ""},
        {"fifo", 10, read_status::not_regular, ""},
    };
    const fd_owner directory = open_store_directory(file_kind::format);
    ASSERT_TRUE(directory);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        byte_buffer content;
        struct stat status;
        EXPECT_EQ(read_store_entry(directory.get(), c.name, c.limit, content, &status), c.status);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(content.data()), content.size()),
                  c.bytes);
    }
}

TEST_F(StoreFiles, CountingTakesNamesByTheCountingRuleAndAMissingDirectoryAsZero) {
    write_file(at("formats/00"), "x");
    write_file(at("formats/.velto~1-0"), "x");
    write_file(at("formats/.hidden"), "x");
    fs::create_directory(at("formats/sub"));
    write_file(at("atoms/s/a"), "1\n");
    EXPECT_EQ(count_store_entries(file_kind::format), 2);
    EXPECT_EQ(count_store_entries(file_kind::atom), 1);
    fs::remove_all(at("atoms/v"));
    EXPECT_EQ(count_store_entries(file_kind::atom_value), 0);
}

TEST_F(StoreFiles, TheFirstFormatStaysWhateverIsThere) {
    EXPECT_EQ(store_format_file("00aa", "first"), store_outcome::stored);
    EXPECT_EQ(store_format_file("00aa", "second"), store_outcome::stored);
    EXPECT_EQ(read_file(at("formats/00aa")), "first");
    fs::create_directory(at("formats/00bb"));
    EXPECT_EQ(store_format_file("00bb", "bytes"), store_outcome::stored);
    EXPECT_TRUE(fs::is_directory(at("formats/00bb")));
    EXPECT_EQ(tree_listing(at("formats")), "00aa\n00bb/\n");
}

TEST_F(StoreFiles, AnAtomPairIsWrittenAtomFileFirst) {
    EXPECT_EQ(store_atom_pair("a%20b", 5, "a b"), pair_outcome::stored);
    EXPECT_EQ(read_file(at("atoms/s/a%20b")), "5\n");
    EXPECT_EQ(read_file(at("atoms/v/5")), "a b\n");

    fs::remove_all(at("atoms/v"));
    write_file(at("atoms/v"), "a file where the directory belongs");
    EXPECT_EQ(store_atom_pair("c", 6, "c"), pair_outcome::atom_value_file_failed);
    EXPECT_EQ(read_file(at("atoms/s/c")), "6\n");

    fs::remove_all(at("atoms/s"));
    EXPECT_EQ(store_atom_pair("d", 7, "d"), pair_outcome::atom_file_failed);
    EXPECT_EQ(read_file(at("atoms/v")), "a file where the directory belongs");
}

TEST_F(StoreFiles, EachKindIsWrittenInItsMode) {
    EXPECT_EQ(store_file(file_kind::format, "00", "x"), write_result::written);
    EXPECT_EQ(store_file(file_kind::format, "00", "y"), write_result::already_present);
    EXPECT_EQ(store_file(file_kind::atom, "a", "1\n"), write_result::written);
    EXPECT_EQ(store_file(file_kind::atom, "a", "2\n"), write_result::written);
    EXPECT_EQ(store_file(file_kind::atom_value, "2", "a\n"), write_result::written);
    EXPECT_EQ(read_file(at("formats/00")), "x");
    EXPECT_EQ(read_file(at("atoms/s/a")), "2\n");
    EXPECT_EQ(read_file(at("atoms/v/2")), "a\n");
}

TEST_F(StoreFiles, ANameTooLongForAPathIsNeitherReadNorWritten) {
    const std::string name(1100, 'n');
    char prefix[16];
    std::size_t size = 0;
    EXPECT_EQ(read_store_prefix(file_kind::atom, name.c_str(), prefix, sizeof prefix, &size),
              read_status::missing);
    EXPECT_EQ(store_file(file_kind::atom, name.c_str(), "1\n"), write_result::failed);
    EXPECT_EQ(tree_listing(at("atoms/s")), "");
}

}  // namespace
