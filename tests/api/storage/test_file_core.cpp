// Whole-file save and load under the data root.
#include "FileCore.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "temp_root.h"

using testing_support::TempRoot;

TEST(FileCore, SaveReplacesOrAppendsMakesTheFolderAndRefusesNoData) {
    TempRoot root;
    FileCore files;
    const std::string path = "/vorna/data/new/sample.txt";
    ASSERT_TRUE(files.FileSave(path, "first", 5, false));
    ASSERT_TRUE(files.FileSave(path, "second", 6, false));
    EXPECT_EQ(testing_support::readFile(root.host(path)), "second");
    ASSERT_TRUE(files.FileSave(path, "+more", 5, true));
    EXPECT_EQ(testing_support::readFile(root.host(path)), "second+more");
    EXPECT_FALSE(files.FileSave("/vorna/data/x", nullptr, 4, false));
    EXPECT_FALSE(files.FileSave("/vorna/data/x", "abc", 0, false));
}

TEST(FileCore, LoadTakesOffsetAndLengthAndRefusesEmptyOrMissingFiles) {
    TempRoot root;
    FileCore files;
    const std::string data("0123\0" "56789", 10);
    testing_support::writeFile(root.host("/data/f.bin"), data);
    std::vector<char> out;
    ASSERT_TRUE(files.FileLoad("/data/f.bin", out, 0, 0));
    EXPECT_EQ(std::string(out.begin(), out.end()), data);
    ASSERT_TRUE(files.FileLoad("/data/f.bin", out, 2, 6));
    EXPECT_EQ(std::string(out.begin(), out.end()), data.substr(2, 4));
    // A length beyond the file means the whole file.
    ASSERT_TRUE(files.FileLoad("/data/f.bin", out, 0, 100));
    EXPECT_EQ(out.size(), 10u);
    EXPECT_FALSE(files.FileLoad("/data/f.bin", out, -1, 0));
    EXPECT_FALSE(files.FileLoad("/data/f.bin", out, 0, -1));
    testing_support::writeFile(root.host("/data/empty"), "");
    EXPECT_FALSE(files.FileLoad("/data/empty", out, 0, 0));
    EXPECT_FALSE(files.FileLoad("/data/missing", out, 0, 0));
}
