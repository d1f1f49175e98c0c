// The service's threads are told apart by name (ps -T, /proc/<pid>/task/*/comm):
// start the same set the service starts and look at the names the kernel shows.
#include "CThreadPool.h"
#include "Poller/EventPollerPool.h"
#include "Util/logger.h"
#include "Util/util.h"

#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::vector<std::string> threadNames() {
    std::vector<std::string> names;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) {
        return names;
    }
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
        std::string name;
        std::getline(comm, name);
        names.push_back(name);
    }
    closedir(dir);
    return names;
}

bool hasThread(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

} // namespace

TEST(ThreadNames, ServiceThreadsShowTheirNames) {
    auto writer = std::make_shared<toolkit::AsyncLogWriter>();
    toolkit::getLogger().setWriter(writer);
    toolkit::getCurrentMillisecond();
    auto& pollers = toolkit::EventPollerPool::Instance();
    CThreadPool::instance();

    unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    ASSERT_EQ(pollers.getExecutorSize(), cores);

    // Threads name themselves once they run: give them a moment.
    std::vector<std::string> names;
    for (int i = 0; i < 200; ++i) {
        names = threadNames();
        if (hasThread(names, "thread pool 4") && hasThread(names, "stamp thread") &&
            hasThread(names, "event poller " + std::to_string(cores - 1))) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    for (unsigned i = 0; i < cores; ++i) {
        EXPECT_TRUE(hasThread(names, "event poller " + std::to_string(i))) << i;
    }
    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(hasThread(names, "thread pool " + std::to_string(i))) << i;
    }
    EXPECT_TRUE(hasThread(names, "stamp thread"));
    EXPECT_TRUE(hasThread(names, "async log"));
    toolkit::getLogger().setWriter(nullptr);
}
