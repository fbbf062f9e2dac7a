// The store's root and tree: paths below the root are formed whole or not at all, and every
// request creates what is missing of the tree, one level at a time, never a missing parent.
#include "store/store.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "files.h"

namespace fs = std::filesystem;
using velto_test::temp_dir;
using velto_test::tree_listing;
using velto_test::write_file;

namespace {

TEST(StorePath, APathThatWouldNotFitIsRefusedNotCut) {
    const struct {
        std::size_t root_length;
        const char* path_template;
        bool fits;
    } cases[] = {
        {1015, PATH_FORMATS, true},  // 1023 bytes and the NUL
        {1016, PATH_FORMATS, false},      {1015, PATH_ATOM_STRINGS, true},
        {1016, PATH_ATOM_STRINGS, false}, {5000, PATH_ATOMS, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.root_length) + " " + c.path_template);
        const std::string root(c.root_length, 'r');
        char path[PATH_BUFFER_SIZE];
        EXPECT_EQ(store_path(path, c.path_template, root.c_str()), c.fits);
        if (c.fits) {
            EXPECT_EQ(std::string(path).size(), PATH_BUFFER_SIZE - 1);
        }
    }
    char path[PATH_BUFFER_SIZE];
    ASSERT_TRUE(store_path(path, PATH_ATOM_VALUE_FILE, "/d", -7));
    EXPECT_STREQ(path, "/d/atoms/v/-7");
}

class StoreTree : public ::testing::Test {
  protected:
    void TearDown() override {
        release_store_tree();
        data_dir = DEFAULT_DATA_DIR;
    }
    void use(const fs::path& root) {
        root_text_ = root.string();
        data_dir = root_text_.c_str();
    }
    temp_dir dir_;
    std::string root_text_;
};

TEST_F(StoreTree, WhatIsMissingIsCreatedAndWhatIsThereStays) {
    const std::string tree = "atoms/\natoms/s/\natoms/v/\nformats/\n";
    const struct {
        const char* what;
        void (*prepare)(const fs::path& root);
        std::string listing;
    } cases[] = {
        {"nothing yet", [](const fs::path&) {}, tree},
        {"the root only", [](const fs::path& root) { fs::create_directory(root); }, tree},
        {"atoms gone",
         [](const fs::path& root) {
             fs::create_directories(root / "formats");
             write_file(root / "formats/f", "kept");
         },
         "atoms/\natoms/s/\natoms/v/\nformats/\nformats/f\n"},
        // A file where a directory belongs stays, and what lies below it cannot be made.
        {"a file named atoms",
         [](const fs::path& root) {
             fs::create_directory(root);
             write_file(root / "atoms", "file");
         },
         "atoms\nformats/\n"},
        {"a dangling link named formats",
         [](const fs::path& root) {
             fs::create_directory(root);
             fs::create_symlink("nowhere", root / "formats");
         },
         "atoms/\natoms/s/\natoms/v/\nformats\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path root = dir_.path() / "store";
        fs::remove_all(root);
        c.prepare(root);
        use(root);
        ensure_store_dirs();
        EXPECT_EQ(tree_listing(root), c.listing);
    }
}

std::size_t open_descriptors() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) count++;
    return count;
}

std::string listing_of(const char* label) {
    std::string names;
    directory_scan scan(open_tree_directory(label).release());
    while (const char* name = scan.next()) names += std::string(name) + "\n";
    return names;
}

// A request holds the tree that ensuring it opened: its opens start there, so a link put in
// place of a directory afterwards is never followed, and releasing leaves no descriptor open.
TEST_F(StoreTree, AHeldTreeServesTheRequestAndIsReleasedWhole) {
    const fs::path root = dir_.path() / "store";
    const fs::path outside = dir_.path() / "outside";
    fs::create_directories(outside / "s");
    write_file(outside / "s/bait", "7\n");
    use(root);
    const std::size_t before = open_descriptors();
    hold_store_tree();
    ensure_store_dirs();
    write_file(root / "atoms/s/kept", "7\n");
    EXPECT_EQ(listing_of("atoms/s"), "kept\n");

    fs::rename(root / "atoms", root / "moved");
    fs::create_directory_symlink(outside, root / "atoms");
    EXPECT_EQ(listing_of("atoms/s"), "kept\n");
    // Ensuring again opens the tree anew, and the link is refused.
    ensure_store_dirs();
    EXPECT_FALSE(open_tree_directory("atoms/s"));
    EXPECT_EQ(errno, ELOOP);

    release_store_tree();
    EXPECT_EQ(open_descriptors(), before);
    // Released, nothing is held any more: each open walks from data_dir.
    ensure_store_dirs();
    EXPECT_EQ(open_descriptors(), before);
    fs::remove(root / "atoms");
    fs::rename(root / "moved", root / "atoms");
    EXPECT_EQ(listing_of("atoms/s"), "kept\n");
}

TEST_F(StoreTree, AMissingParentIsNotCreated) {
    use(dir_.path() / "missing" / "store");
    ensure_store_dirs();
    EXPECT_EQ(tree_listing(dir_.path()), "");
}

}  // namespace
