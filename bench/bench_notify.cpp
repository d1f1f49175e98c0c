// A reading-sized notification pushed through the hub at 125 Hz (one every
// 8 ms, the fastest reading interval) from a CThreadPool worker, as the
// measurement loop pushes, to two notification clients on loopback.
// - "quiet": nothing else runs;
// - "busy": the four other pool workers are held by long jobs (the engine's
//   trigger waiter, file jobs) and a thread outside the pool pushes a 4 MB
//   storage record every 100 ms.
// Reported per benchmark: the time the pushing thread spends in
// CFEM::pushMessage (p50, p99, max), the allocations made inside it per push,
// and the allocations the rest of the process makes per push to deliver it
// (building the payload not counted; under load the 4 MB records' own are
// in it). Every notification must reach both clients; a run in which one is
// missing fails.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <future>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "CFEM.h"
#include "CThreadPool.h"
#include "ConnService.h"

// ---- allocation counting ---------------------------------------------------

// The replacements below pair malloc with free on purpose; GCC, seeing both
// inlined into callers, takes them for a mismatch.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {
std::atomic<uint64_t> g_allocs{0};
thread_local uint64_t t_allocs = 0;
} // namespace

void* operator new(size_t size) {
    ++t_allocs;
    g_allocs.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace {

using Clock = std::chrono::steady_clock;
using ValueMap = google::protobuf::Map<int, Value>;

constexpr int kPushes = 250;  // 2 s at 125 Hz
constexpr auto kInterval = std::chrono::milliseconds(8);
constexpr size_t kStorageRecord = 4 * 1024 * 1024;

// What the engine sends with a reading: value, secondary value, function,
// range, rate, unit text and the formatted reading.
ValueMap readingPayload(unsigned int seq) {
    ValueMap map;
    insertF64(map, UPDATE_MEASURE_DATA, 1.234567 + seq * 1e-6);
    insertF64(map, 1, 0.0);
    insertS32(map, 2, 1);
    insertS32(map, 3, 4);
    insertS32(map, 4, 2);
    insertU32(map, 5, seq);
    insertStr(map, 6, "VDC");
    insertStr(map, 7, "+1.234567E+00");
    return map;
}

// A notification client reading frames until told to stop; counts the
// frames that carry a reading.
class Client {
public:
    explicit Client(uint16_t port) : _fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
            std::abort();
        }
        _thread = std::thread([this] { run(); });
    }
    ~Client() {
        ::shutdown(_fd, SHUT_RDWR);
        _thread.join();
        ::close(_fd);
    }
    uint64_t readings() const { return _readings.load(); }

private:
    bool readExactly(char* out, size_t size) {
        size_t got = 0;
        while (got < size) {
            ssize_t n = ::recv(_fd, out + got, size - got, 0);
            if (n <= 0) {
                return false;
            }
            got += static_cast<size_t>(n);
        }
        return true;
    }
    void run() {
        std::vector<char> body(ConnService::kFrameBufferSize);
        unsigned char prefix[4];
        while (readExactly(reinterpret_cast<char*>(prefix), 4)) {
            size_t length = prefix[0] | (prefix[1] << 8) | (prefix[2] << 16) | (size_t(prefix[3]) << 24);
            if (length > body.size() || !readExactly(body.data(), length)) {
                return;
            }
            // A reading is small; storage records are megabytes.
            if (length < 1024) {
                ++_readings;
            }
        }
    }

    int _fd;
    std::atomic<uint64_t> _readings{0};
    std::thread _thread;
};

struct Link {
    std::unique_ptr<Client> first, second;
};

Link& link() {
    static Link* made = [] {
        ConnService::instance()->start(0, 0);
        auto* l = new Link();
        l->first = std::make_unique<Client>(ConnService::instance()->notifyPort());
        l->second = std::make_unique<Client>(ConnService::instance()->notifyPort());
        while (ConnService::instance()->clientCount() < 2) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return l;
    }();
    return *made;
}

struct Run {
    std::vector<double> push_us;
    uint64_t caller_allocs = 0;   // inside pushMessage
    uint64_t payload_allocs = 0;  // building the payloads, before the push
};

// kPushes pushes at 125 Hz from one pool worker.
Run pushReadings() {
    std::promise<Run> done;
    CThreadPool::instance()->async(
        [&done] {
            Run run;
            run.push_us.reserve(kPushes);
            auto next = Clock::now();
            for (int i = 0; i < kPushes; ++i) {
                next += kInterval;
                std::this_thread::sleep_until(next);
                uint64_t before = t_allocs;
                ValueMap payload = readingPayload(static_cast<unsigned int>(i));
                run.payload_allocs += t_allocs - before;
                before = t_allocs;
                auto t0 = Clock::now();
                CFEM::pushMessage(UPDATE_MEASURE_DATA, std::move(payload));
                auto t1 = Clock::now();
                run.caller_allocs += t_allocs - before;
                run.push_us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
            }
            done.set_value(std::move(run));
        },
        false);
    return done.get_future().get();
}

// The other four pool workers held and 4 MB records pushed from outside the
// pool while `body` runs.
template <typename F>
auto withLoad(F body) {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<int> held{0};
    for (int i = 0; i < 4; ++i) {
        CThreadPool::instance()->async([&held, released] { ++held; released.wait(); }, false);
    }
    while (held < 4) {
        std::this_thread::yield();
    }
    std::atomic<bool> stop{false};
    std::thread storage([&stop] {
        while (!stop) {
            ValueMap record;
            insertRaw(record, ON_STORAGE_DATA_INFO_CHANGED, std::string(kStorageRecord, 'd'));
            CFEM::pushMessage(ON_STORAGE_DATA_INFO_CHANGED, std::move(record));
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    auto result = body();
    stop = true;
    storage.join();
    release.set_value();
    return result;
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

void report(benchmark::State& state, const Run& run, uint64_t process_allocs) {
    state.counters["p50_us"] = percentile(run.push_us, 0.50);
    state.counters["p99_us"] = percentile(run.push_us, 0.99);
    state.counters["max_us"] = *std::max_element(run.push_us.begin(), run.push_us.end());
    state.counters["caller_allocs_per_push"] = static_cast<double>(run.caller_allocs) / kPushes;
    // What the rest of the process adds: delivery, framing, sending, and
    // freeing the payload (frees are not counted).
    state.counters["delivery_allocs_per_push"] =
        static_cast<double>(process_allocs - run.payload_allocs - run.caller_allocs) / kPushes;
}

void waitForReadings(benchmark::State& state, uint64_t expected) {
    Link& l = link();
    auto deadline = Clock::now() + std::chrono::seconds(20);
    while ((l.first->readings() < expected || l.second->readings() < expected) && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (l.first->readings() != expected || l.second->readings() != expected) {
        state.SkipWithError("a client missed readings");
    }
}

void BM_ReadingPush(benchmark::State& state, bool busy) {
    Link& l = link();
    for (auto _ : state) {
        uint64_t expected = l.first->readings() + kPushes;
        uint64_t allocs_before = g_allocs.load();
        Run run = busy ? withLoad(pushReadings) : pushReadings();
        waitForReadings(state, expected);
        // Counted once every reading arrived: delivery and sending included.
        report(state, run, g_allocs.load() - allocs_before);
    }
}

BENCHMARK_CAPTURE(BM_ReadingPush, quiet, false)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReadingPush, busy, true)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
