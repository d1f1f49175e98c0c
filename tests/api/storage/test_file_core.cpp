// Whole-file save and load under the data root.
#include "FileCore.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "temp_root.h"

using testing_support::TempRoot;

namespace {

std::string text(const std::vector<char>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

} // namespace

TEST(FileCore, SaveReplacesOrAppendsAndMakesTheFolder) {
    TempRoot root;
    FileCore files;
    const std::string path = "/vorna/data/new/sample.txt";
    ASSERT_TRUE(files.FileSave(path, "first", 5, false));
    ASSERT_TRUE(files.FileSave(path, "second", 6, false));
    EXPECT_EQ(testing_support::readFile(root.host(path)), "second");
    ASSERT_TRUE(files.FileSave(path, "+more", 5, true));
    EXPECT_EQ(testing_support::readFile(root.host(path)), "second+more");
}

TEST(FileCore, SaveRefusesAnEmptyOrMissingBuffer) {
    TempRoot root;
    FileCore files;
    EXPECT_FALSE(files.FileSave("/vorna/data/x", nullptr, 4, false));
    EXPECT_FALSE(files.FileSave("/vorna/data/x", "abc", 0, false));
    std::vector<char> out;
    EXPECT_FALSE(files.FileLoad("/vorna/data/x", out, 0, 0));
}

TEST(FileCore, LoadTakesOffsetAndLength) {
    TempRoot root;
    FileCore files;
    testing_support::writeFile(root.host("/data/f.bin"), std::string("0123\0" "56789", 10));
    std::vector<char> out;
    ASSERT_TRUE(files.FileLoad("/data/f.bin", out, 0, 0));
    EXPECT_EQ(text(out), std::string("0123\0" "56789", 10));
    ASSERT_TRUE(files.FileLoad("/data/f.bin", out, 2, 6));
    EXPECT_EQ(text(out), std::string("23\0" "5", 4));
    // A length beyond the file means the whole file.
    ASSERT_TRUE(files.FileLoad("/data/f.bin", out, 0, 100));
    EXPECT_EQ(out.size(), 10u);
    EXPECT_FALSE(files.FileLoad("/data/f.bin", out, -1, 0));
    EXPECT_FALSE(files.FileLoad("/data/f.bin", out, 0, -1));
}

TEST(FileCore, LoadRefusesAnEmptyFile) {
    TempRoot root;
    FileCore files;
    testing_support::writeFile(root.host("/data/empty"), "");
    std::vector<char> out{'x'};
    EXPECT_FALSE(files.FileLoad("/data/empty", out, 0, 0));
}
