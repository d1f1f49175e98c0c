// The file operations of remote control against its clears: a client's
// ABORt ends its own operation still waiting for a walk turn at once and
// leaves nothing of it, while another client's operation waits on and is
// done; an abort of every client ends them all.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "../../platform/eventually.h"
#include "../scpi/scpi_engine_env.h"
#include "Singelton.h"
#include "StorageCore.h"
#include "StorageManage.h"
#include "StorageRemotePath.h"
#include "WalkTurns.h"
#include "soft_limit.h"

namespace fs = std::filesystem;
using testing_support::eventually;

namespace {

size_t openDescriptors() {
    size_t n = 0;
    for (auto it = fs::directory_iterator("/proc/self/fd"); it != fs::directory_iterator(); ++it) {
        ++n;
    }
    return n;
}

// A client of the engine: its key and the replies it receives.
struct Client {
    scpi_test::Replies replies;

    void send(const std::string& text) {
        ScpiManage::instance().ApiScpi_ProcessMessage(text.data(), static_cast<uint32_t>(text.size()),
                                                      replies.sink(), this);
    }
    bool answered(size_t count) {
        return eventually([&] { return replies.all().size() >= count; });
    }
};

class FileJobs : public scpi_test::EngineTest {
protected:
    void SetUp() override {
        scpi_test::EngineTest::SetUp();
        static std::once_flag bound;
        std::call_once(bound, [] { CFEM::instance()->bindManager(SINGLETON_PTR(StorageManage)); });
        SINGLETON_PTR(StorageCore)->DefaultFilePathSet(StorageRemotePath::kIntRoot);
        testing_support::writeFile(user("/src/d/f"), "f");
    }
    std::string user(const std::string& below) const { return root.host(StorageRemotePath::kIntRoot) + below; }
};

} // namespace

TEST_F(FileJobs, AClearEndsItsOwnClientsCopyWaitingForAWalkTurn) {
    const struct {
        const char* what;
        bool everyClient;  // ApiScpi_Abort() instead of the client's ABORt
    } cases[] = {{"the client's ABORt", false}, {"an abort of every client", true}};
    for (const auto& c : cases) {
        fs::remove_all(user("/a"));
        fs::remove_all(user("/b"));
        // One turn, held here: every copy waits for it.
        testing_support::SoftLimit limit(openDescriptors() + 2 * walk_turns::kDescriptors);
        ASSERT_TRUE(limit.set());
        ASSERT_EQ(walk_turns::share(), 1u);
        auto held = std::make_unique<walk_turns::Turn>();
        Client a, b;
        a.send("MMEM:COPY \"INT:\\src\",\"INT:\\a\"\n");
        b.send("MMEM:COPY \"INT:\\src\",\"INT:\\b\"\n");
        ASSERT_TRUE(eventually([] { return walk_turns::waiting() == 2; })) << c.what;
        if (c.everyClient) {
            ScpiManage::instance().ApiScpi_Abort();
        } else {
            a.send("ABOR\n");
        }
        // Answered while the turn is still held: nothing of the copy is left
        // to wait for.
        a.send("*ESE?\n");
        EXPECT_TRUE(a.answered(1)) << c.what;
        EXPECT_TRUE(eventually([&] { return walk_turns::waiting() == (c.everyClient ? 0u : 1u); })) << c.what;
        held.reset();
        b.send("*ESE?\n");
        EXPECT_TRUE(b.answered(1)) << c.what;
        EXPECT_EQ(a.replies.all(), std::vector<std::string>{"0\n"}) << c.what;
        EXPECT_FALSE(fs::exists(user("/a"))) << c.what;
        EXPECT_EQ(fs::exists(user("/b/d/f")), !c.everyClient) << c.what;
    }
}
