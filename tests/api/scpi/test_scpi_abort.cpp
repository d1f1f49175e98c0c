// ABORt: queued lists are dropped, a running list stops and its reply is
// discarded, and an abort while nothing runs leaves nothing behind.
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "ListWait.h"
#include "scpi_engine_env.h"

using scpi_test::EngineTest;
using scpi_test::Replies;
using ValueMap = google::protobuf::Map<int, Value>;

namespace {

constexpr unsigned int kBlockingQuery = 0x2000FD00;  // waits until released
constexpr unsigned int kCountingQuery = 0x2000FD01;  // counts its runs

// A gate the test opens; every wait is bounded.
struct Gate {
    std::mutex mtx;
    std::condition_variable cv;
    bool entered = false;
    bool open = false;
    bool sawAbortFlag = false;  // the waits of the running list were ended

    void reset() {
        std::lock_guard<std::mutex> lock(mtx);
        entered = open = sawAbortFlag = false;
    }
    void enterAndWait() {
        std::unique_lock<std::mutex> lock(mtx);
        entered = true;
        cv.notify_all();
        cv.wait_for(lock, scpi_test::kWait, [this] { return open; });
        sawAbortFlag = ListWait::cancelledHere();  // its list was told to stop
    }
    bool waitEntered() {
        std::unique_lock<std::mutex> lock(mtx);
        return cv.wait_for(lock, scpi_test::kWait, [this] { return entered; });
    }
    void release() {
        std::lock_guard<std::mutex> lock(mtx);
        open = true;
        cv.notify_all();
    }
};

Gate gate;
std::atomic<int> counted{0};

class AbortTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        static std::once_flag once;
        std::call_once(once, [] {
            CFEM::instance()->bindCallback(kBlockingQuery, [](unsigned int, const ValueMap&, ValueMap* out) {
                gate.enterAndWait();
                insertStr(*out, 1, "late");
                return 0;
            });
            CFEM::instance()->bindCallback(kCountingQuery, [](unsigned int, const ValueMap&, ValueMap* out) {
                insertS32(*out, 1, static_cast<uint32_t>(++counted));
                return 0;
            });
        });
        gate.reset();
        counted = 0;
    }

    static ScpiManage::MessageResult abortMessage() {
        static const char text[] = "ABOR\n";
        return ScpiManage::instance().ApiScpi_ProcessMessage(text, sizeof(text) - 1, nullptr);
    }
};

}  // namespace

// An abort while idle leaves nothing behind; one inside a message executes
// none of it.
TEST_F(AbortTest, AbortWhileIdleOrInAMessage) {
    EXPECT_EQ(abortMessage(), ScpiManage::MessageResult::Aborted);
    EXPECT_FALSE(Manager::abort.load());
    EXPECT_EQ(ask("SYST:VERS?\n"), "1999.0\n");
    std::string text = "*ESE 16;ABOR;*IDN?\n";
    Replies replies;
    EXPECT_EQ(ScpiManage::instance().ApiScpi_ProcessMessage(text.data(), static_cast<uint32_t>(text.size()),
                                                            replies.sink()),
              ScpiManage::MessageResult::Aborted);
    ASSERT_TRUE(scpi_test::drainEngine());
    EXPECT_TRUE(replies.all().empty());
    EXPECT_EQ(ask("*ESE?\n"), "0\n");
}

// The running list stops before its next command and its reply is dropped;
// a list queued behind it is dropped, other work on the poller is not.
TEST_F(AbortTest, RunningListStopsAndOnlyQueuedListsAreDropped) {
    Replies running, queued;
    auto otherRan = std::make_shared<std::atomic<bool>>(false);
    ScpiManage::instance().ApiScpi_PostExecute(scpi_test::listOf({kCountingQuery, kBlockingQuery, kCountingQuery}),
                                               running.sink());
    ASSERT_TRUE(gate.waitEntered());
    ScpiManage::instance().ApiScpi_PostExecute(scpi_test::listOf({kCountingQuery}), queued.sink());
    toolkit::EventPoller::Instance().async([otherRan] { *otherRan = true; }, false);
    EXPECT_EQ(abortMessage(), ScpiManage::MessageResult::Aborted);
    gate.release();
    ASSERT_TRUE(scpi_test::drainEngine());
    EXPECT_TRUE(gate.sawAbortFlag);  // raised while the list ran
    EXPECT_FALSE(Manager::abort.load());
    EXPECT_TRUE(otherRan->load());
    EXPECT_EQ(counted.load(), 1);  // only the command before the blocking one
    EXPECT_TRUE(running.all().empty());
    EXPECT_TRUE(queued.all().empty());
    EXPECT_EQ(ask("SYST:VERS?\n"), "1999.0\n");
}

// An abort stops the lists of the client that sent it (a device clear those
// of its link); another client's running list goes on and answers.
TEST_F(AbortTest, AnAbortStopsOnlyTheListsOfItsClient) {
    int running = 0, other = 0;
    const struct {
        const char* name;
        const void* aborting;
        std::vector<std::string> replies;
    } cases[] = {
        {"its own client", &running, {}},
        {"another client", &other, {"late;1\n"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        gate.reset();
        counted = 0;
        Replies replies;
        ScpiManage::instance().ApiScpi_PostExecute(scpi_test::listOf({kBlockingQuery, kCountingQuery}),
                                                   replies.sink(), &running);
        ASSERT_TRUE(gate.waitEntered());
        static const char text[] = "ABOR\n";
        EXPECT_EQ(ScpiManage::instance().ApiScpi_ProcessMessage(text, sizeof(text) - 1, nullptr, c.aborting),
                  ScpiManage::MessageResult::Aborted);
        gate.release();
        ASSERT_TRUE(scpi_test::drainEngine(&running));
        EXPECT_EQ(gate.sawAbortFlag, c.replies.empty());
        EXPECT_EQ(replies.all(), c.replies);
        EXPECT_FALSE(Manager::abort.load());
    }
}

TEST_F(AbortTest, ListOfAnEarlierGenerationSkipsItself) {
    const uint64_t before = ScpiManage::instance().ApiScpi_AbortGeneration();
    EXPECT_EQ(abortMessage(), ScpiManage::MessageResult::Aborted);
    int result = -1;
    EXPECT_EQ(execute(scpi_test::listOf({kCountingQuery}), &result, before), "");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(counted.load(), 0);
    EXPECT_EQ(execute(scpi_test::listOf({kCountingQuery})), "1\n");
}

// An abort on one thread races lists posted on another, which keeps posting
// until it has seen the abort's generation a few times. A list whose
// generation is the newest one when the race is over was posted after that
// abort had started its generation: it must run and reply exactly once. Every
// other list replies at most once.
TEST_F(AbortTest, ListPostedAfterARacingAbortRunsOnce) {
    constexpr int kRounds = 500;
    constexpr int kPostsAfter = 3;
    ScpiManage& scpi = ScpiManage::instance();
    for (int round = 0; round < kRounds; ++round) {
        struct Post {
            std::atomic<int> replies{0};
            uint64_t generation = 0;
            bool known = false;
        };
        std::deque<Post> posts;  // stays in place while it grows
        const uint64_t start = scpi.ApiScpi_AbortGeneration();
        std::atomic<bool> go{false};
        std::thread aborter([&] {
            while (!go.load()) {
                std::this_thread::yield();
            }
            scpi.ApiScpi_Abort();
        });
        go = true;
        for (int after = 0; after < kPostsAfter;) {
            Post& post = posts.emplace_back();
            post.generation = scpi.ApiScpi_AbortGeneration();
            std::atomic<int>* count = &post.replies;
            scpi.ApiScpi_PostExecute(scpi_test::listOf({kCountingQuery}), [count](std::string) { ++*count; });
            // Equal readings around the post: no abort started in between, so
            // the list carries exactly this generation.
            post.known = scpi.ApiScpi_AbortGeneration() == post.generation;
            if (post.generation != start) {
                ++after;
            }
        }
        aborter.join();
        ASSERT_TRUE(scpi_test::drainEngine());
        const uint64_t newest = scpi.ApiScpi_AbortGeneration();
        ASSERT_EQ(newest, start + 1);
        for (size_t i = 0; i < posts.size(); ++i) {
            if (posts[i].known && posts[i].generation == newest) {
                ASSERT_EQ(posts[i].replies.load(), 1) << "round " << round << ", list " << i;
            } else {
                ASSERT_LE(posts[i].replies.load(), 1) << "round " << round << ", list " << i;
            }
        }
    }
    EXPECT_FALSE(Manager::abort.load());
}
