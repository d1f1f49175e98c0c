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

    std::vector<std::string> expected = {"stamp thread", "async log"};
    for (unsigned i = 0; i < cores; ++i) {
        expected.push_back("event poller " + std::to_string(i));
    }
    for (int i = 0; i < 5; ++i) {
        expected.push_back("thread pool " + std::to_string(i));
    }
    // Threads name themselves once they run: on a loaded machine that can take
    // a while, so look again for up to ten seconds.
    std::vector<std::string> missing;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        std::vector<std::string> names = threadNames();
        missing.clear();
        for (const auto& name : expected) {
            if (!hasThread(names, name)) {
                missing.push_back(name);
            }
        }
        if (missing.empty()) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(missing.empty()) << "missing thread: " << missing.front();
    toolkit::getLogger().setWriter(nullptr);
}
