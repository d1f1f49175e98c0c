// Whole-file save and load under the data root.
#include "FileCore.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>
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

TEST(FileCore, ReplacingLeavesOtherFilesBesideTheTargetAlone) {
    TempRoot root;
    FileCore files;
    const std::string path = "/data/UserData/result.csv";
    testing_support::writeFile(root.host(path + ".tmp"), "the user's own file");
    ASSERT_TRUE(files.FileSave(path, "a,b", 3, false));
    EXPECT_EQ(testing_support::readFile(root.host(path)), "a,b");
    EXPECT_EQ(testing_support::readFile(root.host(path + ".tmp")), "the user's own file");
}

TEST(FileCore, SavesOfOneFileFromSeveralThreadsEachLeaveAWholeFile) {
    TempRoot root;
    FileCore files;
    const std::string path = "/vorna/data/shared.txt";
    // Different lengths: a save writing into another's temporary would leave
    // a mixture, or the longer text's tail behind the shorter one.
    const std::vector<std::string> texts = {std::string(20000, 'a'), std::string(300, 'b'), std::string(7000, 'c')};
    std::vector<std::thread> savers;
    for (const std::string& text : texts) {
        savers.emplace_back([&files, &path, &text] {
            for (int i = 0; i < 40; ++i) {
                EXPECT_TRUE(files.FileSave(path, text.data(), static_cast<int>(text.size()), false));
            }
        });
    }
    for (std::thread& saver : savers) {
        saver.join();
    }
    const std::string saved = testing_support::readFile(root.host(path));
    EXPECT_TRUE(saved == texts[0] || saved == texts[1] || saved == texts[2]) << saved.size() << " bytes";
    // No temporary is left behind.
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(root.host("/vorna/data"))) {
        names.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(names, std::vector<std::string>{"shared.txt"});
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
