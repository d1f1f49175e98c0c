// Copies, moves, deletes and folder sizes of the deepest tree allowed: what
// a walk holds (descriptors, stack) does not grow with the depth, and a walk
// that finds no descriptor says so.
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../../platform/eventually.h"
#include "../../toolkit/log_records.h"
#include "FileCore.h"
#include "Poller/EventPoller.h"
#include "Util/logger.h"
#include "WalkTurns.h"
#include "fake_medium.h"
#include "soft_limit.h"
#include "temp_root.h"

using testing_support::FakeMedium;
using testing_support::readFile;
using testing_support::SoftLimit;
using testing_support::TempRoot;
using testing_support::writeFile;
namespace fs = std::filesystem;

namespace {

constexpr size_t kFootBytes = 5000;
// The storage roots: the paths of remote control and the UI lie in them.
const std::string kInt = "/data/UserData", kUsb = "/mnt/media_rw/udiskh";

// `levels` nested folders from the host folder `top` down, a file at the
// foot; the file's path below `top`.
std::string nestedFolders(const std::string& top, int levels) {
    std::string below;
    for (int i = 1; i < levels; ++i) {
        below += "/d";
    }
    fs::create_directories(top + below);
    writeFile(top + below + "/foot", std::string(kFootBytes, 'f'));
    return below + "/foot";
}

size_t openDescriptors() {
    size_t n = 0;
    for (auto it = fs::directory_iterator("/proc/self/fd"); it != fs::directory_iterator(); ++it) {
        ++n;
    }
    return n;
}

// The bytes of its stack that `call` wrote, run on a thread whose stack is
// painted first.
size_t stackUsed(const std::function<void()>& call) {
    constexpr size_t kSize = 4 << 20;
    constexpr unsigned char kPaint = 0xA5;
    void* stack = ::mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    EXPECT_NE(stack, MAP_FAILED);
    std::memset(stack, kPaint, kSize);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstack(&attr, stack, kSize);
    pthread_t thread;
    const auto run = [](void* f) -> void* {
        (*static_cast<const std::function<void()>*>(f))();
        return nullptr;
    };
    EXPECT_EQ(pthread_create(&thread, &attr, run, const_cast<std::function<void()>*>(&call)), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
    const auto* bytes = static_cast<const unsigned char*>(stack);
    size_t untouched = 0;
    while (untouched < kSize && bytes[untouched] == kPaint) {
        ++untouched;
    }
    ::munmap(stack, kSize);
    return kSize - untouched;
}

// Each operation in turn on the tree u/deep of internal memory; `left` is
// where the tree is afterwards.
struct Step {
    const char* what;
    std::function<bool()> run;
    std::string left;  // empty: nowhere
};

struct TreeWalks : ::testing::Test {
    std::string host(const std::string& path) const { return root.host(path); }

    // Makes the tree u/deep of `levels` nested folders; the foot's path in it.
    std::string makeTree(int levels) {
        fs::remove_all(host(kInt + "/u"));
        fs::create_directories(host(kUsb));
        const std::string foot = nestedFolders(host(kInt + "/u/deep"), levels);
        whole = files.Check(kInt + "/u/deep");
        return foot;
    }

    std::vector<Step> steps() {
        return {
            {"size", [this] { return files.Check(kInt + "/u/deep") == whole; }, kInt + "/u/deep"},
            {"copy", [this] { return files.FileCopy(kInt + "/u/deep", kInt + "/u/copy"); }, kInt + "/u/copy"},
            {"move", [this] { return files.FileMove(kInt + "/u/copy", kInt + "/u/moved"); }, kInt + "/u/moved"},
            {"move across media",
             [this] {
                 medium.crossDevice = true;
                 const bool moved = files.FileMove(kInt + "/u/moved", kUsb + "/moved");
                 medium.crossDevice = false;
                 return moved;
             },
             kUsb + "/moved"},
            {"delete", [this] { return files.FileDelete(kUsb + "/moved"); }, ""},
        };
    }

    TempRoot root;
    FileCore files;
    FakeMedium medium{1ULL << 40};
    long long whole = 0;  // the size of the tree, taken with descriptors to spare
};

} // namespace

// A walk holds a few folders open, not one a level: the deepest tree goes
// through within the descriptors its turn counts on, so walks side by side
// leave the rest to connections and files.
TEST_F(TreeWalks, TheDeepestTreeTakesAFewDescriptors) {
    constexpr int kPromised = 24;  // what the README promises one walk takes at most
    const std::string foot = makeTree(FileCore::kMaxTreeDepth);
    SoftLimit limit(openDescriptors() + kPromised);
    ASSERT_TRUE(limit.set());
    for (const Step& step : steps()) {
        EXPECT_TRUE(step.run()) << step.what;
        if (!step.left.empty()) {
            EXPECT_EQ(readFile(host(step.left) + foot).size(), kFootBytes) << step.what;
        }
    }
    EXPECT_FALSE(fs::exists(host(kUsb + "/moved")));
}

// Nor does the stack a walk uses grow with the depth: a client's worker has
// a small one, and a sanitizer's frames are several times larger.
TEST_F(TreeWalks, TheStackDoesNotGrowWithTheDepth) {
    constexpr int kShallow = 2;
    std::vector<size_t> used[2];
    for (int levels : {kShallow, kShallow, FileCore::kMaxTreeDepth}) {
        makeTree(levels);
        for (const Step& step : steps()) {
            bool ok = false;
            const size_t bytes = stackUsed([&] { ok = step.run(); });
            ASSERT_TRUE(ok) << step.what << " " << levels;
            used[levels != kShallow].push_back(bytes);
        }
    }
    const std::vector<Step> named = steps();
    for (size_t i = 0; i < named.size(); ++i) {
        const size_t shallow = used[0][named.size() + i], deep = used[1][i];
        EXPECT_LT(deep, shallow + 16 * FileCore::kMaxTreeDepth) << named[i].what << ": " << shallow << " bytes at "
                                                                << kShallow << " levels";
    }
}

// The walks side by side share a part of the descriptor limit: one beyond
// it waits for a turn, but never on an event poller, which serves other
// clients. One thread holds one turn at most: an operation that holds it
// never waits for itself.
TEST_F(TreeWalks, AWalkBeyondTheShareWaitsForATurn) {
    makeTree(8);
    SoftLimit limit(openDescriptors() + 2 * walk_turns::kDescriptors);
    ASSERT_TRUE(limit.set());
    ASSERT_EQ(walk_turns::share(), 1u);
    auto held = std::make_unique<walk_turns::Turn>();
    bool copied = false;
    std::thread copy([&] { copied = files.FileCopy(kInt + "/u/deep", kInt + "/u/copy"); });
    EXPECT_TRUE(testing_support::eventually([] { return walk_turns::waiting() == 1; }));
    EXPECT_FALSE(fs::exists(host(kInt + "/u/copy")));
    // A cancelled operation waits no more for a turn than for anything else.
    auto cancelledCopy = std::async(std::launch::async, [&] {
        return files.FileCopy(kInt + "/u/deep", kInt + "/u/other", [] { return true; });
    });
    EXPECT_EQ(cancelledCopy.wait_for(testing_support::kDeviceWait), std::future_status::ready)
        << "a cancelled copy waits for a turn";
    std::promise<long long> sized;
    toolkit::EventPoller::Instance().async([&] { sized.set_value(files.Check(kInt + "/u/deep")); }, false);
    auto size = sized.get_future();
    const bool sizedMeanwhile = size.wait_for(testing_support::kDeviceWait) == std::future_status::ready;
    held.reset();
    copy.join();
    EXPECT_FALSE(cancelledCopy.get());
    EXPECT_TRUE(sizedMeanwhile);
    EXPECT_EQ(size.get(), whole);
    EXPECT_TRUE(copied);
    const walk_turns::Turn outer;
    EXPECT_TRUE(files.FileDelete(kInt + "/u/copy"));
    EXPECT_FALSE(fs::exists(host(kInt + "/u/copy")));
}

// A walk that finds no descriptor left fails for that reason, and the log
// names it. The descriptors are taken half-way down, between two entries.
TEST_F(TreeWalks, AWalkOutOfDescriptorsSaysSo) {
    makeTree(64);
    testing_support::LogCapture log("tree-walk-test");
    // A copy and a line logged first: a sanitizer checks the classes they
    // use with descriptors of its own, the first time only.
    ASSERT_TRUE(files.FileCopy(kInt + "/u/deep", kInt + "/u/warm"));
    PrintI("taking every descriptor");
    const struct {
        const char* what;
        std::function<bool(const FileCore::CancelCheck&)> run;
        const char* logged;
    } cases[] = {
        {"copy", [&](const FileCore::CancelCheck& c) { return files.FileCopy(kInt + "/u/deep", kInt + "/u/copy", c); },
         "cp error: Too many open files"},
        {"move", [&](const FileCore::CancelCheck& c) { return files.FileMove(kInt + "/u/deep", kInt + "/u/moved", c); },
         "chmod failed: Too many open files"},
        {"delete", [&](const FileCore::CancelCheck& c) { return files.FileDelete(kInt + "/u/warm", c); },
         "rm error: Too many open files"},
    };
    for (const auto& c : cases) {
        std::vector<int> taken;
        int calls = 0;
        const bool done = c.run([&] {
            if (++calls == 40) {
                for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) {
                    taken.push_back(fd);
                }
            }
            return false;
        });
        for (int fd : taken) {
            ::close(fd);
        }
        EXPECT_FALSE(done) << c.what;
        EXPECT_FALSE(taken.empty()) << c.what;
        EXPECT_EQ(log.count(c.logged), 1u) << c.what << ::testing::PrintToString(log.texts());
    }
    EXPECT_TRUE(files.FileCopy(kInt + "/u/deep", kInt + "/u/copy"));
}

namespace {

// `levels` nested folders below the host folder `top`, a file of mode 0640
// in each.
void fileAtEachLevel(const std::string& top, int levels) {
    std::string folder = top;
    for (int i = 0; i < levels; ++i, folder += "/d") {
        fs::create_directories(folder);
        writeFile(folder + "/f", "f");
        fs::permissions(folder + "/f", fs::perms(0640));
    }
}

// The files below `top` and how many have kept mode 0640.
std::pair<int, int> filesAndKeptModes(const std::string& top) {
    std::pair<int, int> counts{0, 0};
    for (const auto& entry : fs::recursive_directory_iterator(top)) {
        if (entry.is_regular_file()) {
            ++counts.first;
            counts.second += entry.status().permissions() == fs::perms(0640);
        }
    }
    return counts;
}

// The temporaries an operation left in the host folder.
std::vector<std::string> temporariesIn(const std::string& folder) {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().filename().string().rfind(".~dmm-temp.", 0) == 0) {
            found.push_back(entry.path().filename());
        }
    }
    return found;
}

} // namespace

// A tree deeper than the walks go is refused before anything is changed:
// no file deleted, no mode set, nothing made under the target's name.
TEST_F(TreeWalks, ATreeTooDeepIsRefusedBeforeAnythingChanges) {
    constexpr int kLevels = FileCore::kMaxTreeDepth + 44;
    const struct {
        const char* what;
        std::function<bool()> run;
        const char* target;  // host path below the root; nullptr: none
    } cases[] = {
        {"delete", [this] { return files.FileDelete(kInt + "/u/deep"); }, nullptr},
        {"copy", [this] { return files.FileCopy(kInt + "/u/deep", kInt + "/u/copy"); }, "/u/copy"},
        {"move", [this] { return files.FileMove(kInt + "/u/deep", kInt + "/u/moved"); }, "/u/moved"},
        {"move across media",
         [this] {
             medium.crossDevice = true;
             const bool moved = files.FileMove(kInt + "/u/deep", kUsb + "/moved");
             medium.crossDevice = false;
             return moved;
         },
         nullptr},
    };
    fs::create_directories(host(kUsb));
    fileAtEachLevel(host(kInt + "/u/deep"), kLevels);
    for (const auto& c : cases) {
        EXPECT_FALSE(c.run()) << c.what;
        EXPECT_EQ(filesAndKeptModes(host(kInt + "/u/deep")), std::make_pair(kLevels, kLevels)) << c.what;
        if (c.target != nullptr) {
            EXPECT_FALSE(fs::exists(host(kInt + c.target))) << c.what;
        }
        EXPECT_TRUE(fs::is_empty(host(kUsb))) << c.what;
        EXPECT_EQ(temporariesIn(host(kInt + "/u")), std::vector<std::string>{}) << c.what;
    }
}

// A folder copied to a new name that fails part-way, for an entry it cannot
// copy or for a cancel, leaves nothing under that name nor a temporary.
TEST_F(TreeWalks, AFailedCopyLeavesNothingUnderTheTargetsName) {
    makeTree(8);
    for (int i = 0; i < 4; ++i) {
        writeFile(host(kInt + "/u/deep/d/d/f" + std::to_string(i)), "f");
    }
    const struct {
        const char* what;
        bool socket;      // a socket in the tree, which no copy makes
        int cancelAt;     // the cancel check that stops it; 0: none
    } cases[] = {
        {"an entry it cannot copy", true, 0},
        {"cancelled half-way", false, 20},  // after the 13 looks at its depth
    };
    for (const auto& c : cases) {
        const std::string socket = host(kInt + "/u/deep/d/d/d/sock");
        if (c.socket) {
            ASSERT_EQ(::mknod(socket.c_str(), S_IFSOCK | 0600, 0), 0);
        }
        int calls = 0;
        EXPECT_FALSE(files.FileCopy(kInt + "/u/deep", kInt + "/u/copy", [&] { return ++calls == c.cancelAt; }))
            << c.what;
        EXPECT_FALSE(fs::exists(host(kInt + "/u/copy"))) << c.what;
        EXPECT_EQ(temporariesIn(host(kInt + "/u")), std::vector<std::string>{}) << c.what;
        fs::remove(socket);
    }
    // Whole, it takes the name.
    EXPECT_TRUE(files.FileCopy(kInt + "/u/deep", kInt + "/u/copy"));
    EXPECT_EQ(files.Check(kInt + "/u/copy"), files.Check(kInt + "/u/deep"));
}
