// A TCP echo server built on TcpServer against a minimal single-threaded
// epoll echo server, both on loopback and measured in the same run, taking
// turns so that drifts of the machine hit both alike:
// - round-trip latency of 64-byte messages over one connection (p50, p99);
// - throughput of 1 KiB messages over 1 and 16 connections.
// Each benchmark reports both servers and the ratio toolkit / minimal as
// counters; a summary with the aims follows the benchmark table.
//
// Placement: on loopback a server thread that shares a CPU with its client
// answers about ten times sooner and echoes about twice as fast as one that
// does not (no cross-CPU wake-ups), and left alone the scheduler grants that
// to one server or the other by chance. So every figure is taken with a fixed
// placement that is the same for both servers: "separate" puts the servers'
// threads (the minimal one and every poller) on the lower half of the CPUs and
// the clients on the upper half, as remote clients would be; "colocated" puts
// client and server on one CPU, where the servers' own costs show most.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Network/TcpServer.h"
#include "latency_pair.h"
#include "Poller/EventPollerPool.h"

using namespace toolkit;

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kLatencyMsg = 64;
constexpr size_t kThroughputMsg = 1024;
// Bytes a throughput client keeps in flight (sent, echo not yet read).
constexpr size_t kWindow = 64 * 1024;
// Bytes echoed per server per throughput iteration, over all connections.
constexpr size_t kBytesPerRound = 8 * 1024 * 1024;

enum class Placement { Separate, Colocated };

const char* placementName(Placement placement) {
    return placement == Placement::Colocated ? "colocated" : "separate";
}

// Separate: the server threads on the lower half of the CPUs, the clients on
// the upper half. Colocated: everything on CPU 0. Empty: no pinning.
std::vector<int> placementCpus(Placement placement, bool servers) {
    int n = static_cast<int>(std::thread::hardware_concurrency());
    std::vector<int> out;
    if (n < 2) {
        return out;
    }
    if (placement == Placement::Colocated) {
        out.push_back(0);
        return out;
    }
    for (int cpu = servers ? 0 : n / 2; cpu < (servers ? n / 2 : n); ++cpu) {
        out.push_back(cpu);
    }
    return out;
}

void pinThread(pthread_t thread, const std::vector<int>& cpus) {
    if (cpus.empty()) {
        return;
    }
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int cpu : cpus) {
        CPU_SET(cpu, &set);
    }
    pthread_setaffinity_np(thread, sizeof(set), &set);
}

// Moves every poller of the pool onto `cpus` and waits until done.
void pinPollers(const std::vector<int>& cpus) {
    std::mutex mtx;
    std::condition_variable cv;
    size_t pending = 0;
    EventPollerPool::Instance().for_each([&](const TaskExecutor::Ptr& executor) {
        {
            std::lock_guard<std::mutex> lck(mtx);
            ++pending;
        }
        executor->async([&]() {
            pinThread(pthread_self(), cpus);
            std::lock_guard<std::mutex> lck(mtx);
            --pending;
            cv.notify_all();
        }, false);
    });
    std::unique_lock<std::mutex> lck(mtx);
    cv.wait(lck, [&]() { return pending == 0; });
}

// Where the client threads of the current benchmark go.
std::vector<int> g_client_cpus;

void setNoDelay(int fd) {
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
}

// ---- the minimal server ----------------------------------------------------

// One thread, level-triggered epoll, one read per readiness, written straight
// back; what the kernel does not take waits for EPOLLOUT.
class MinimalEchoServer {
public:
    MinimalEchoServer() {
        _listen_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        int on = 1;
        setsockopt(_listen_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(addr);
        if (::bind(_listen_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == -1 ||
            ::listen(_listen_fd, 1024) == -1) {
            throw std::runtime_error("minimal server cannot listen");
        }
        getsockname(_listen_fd, reinterpret_cast<sockaddr*>(&addr), &len);
        _port = ntohs(addr.sin_port);
        _epoll_fd = epoll_create1(EPOLL_CLOEXEC);
        _stop_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        add(_listen_fd, EPOLLIN);
        add(_stop_fd, EPOLLIN);
        _thread = std::thread([this]() { loop(); });
    }
    ~MinimalEchoServer() {
        uint64_t one = 1;
        (void)!::write(_stop_fd, &one, sizeof(one));
        _thread.join();
        for (auto& pr : _pending) {
            ::close(pr.first);
        }
        ::close(_listen_fd);
        ::close(_stop_fd);
        ::close(_epoll_fd);
    }
    uint16_t port() const { return _port; }
    pthread_t nativeThread() { return _thread.native_handle(); }

private:
    void add(int fd, uint32_t events) {
        epoll_event ev{};
        ev.events = events;
        ev.data.fd = fd;
        epoll_ctl(_epoll_fd, EPOLL_CTL_ADD, fd, &ev);
    }
    void modify(int fd, uint32_t events) {
        epoll_event ev{};
        ev.events = events;
        ev.data.fd = fd;
        epoll_ctl(_epoll_fd, EPOLL_CTL_MOD, fd, &ev);
    }
    void drop(int fd) {
        epoll_ctl(_epoll_fd, EPOLL_CTL_DEL, fd, nullptr);
        _pending.erase(fd);
        ::close(fd);
    }
    void accepted() {
        for (;;) {
            int fd = accept4(_listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd == -1) {
                return;
            }
            setNoDelay(fd);
            _pending[fd];
            add(fd, EPOLLIN);
        }
    }
    void readable(int fd) {
        auto n = ::recv(fd, _buf.data(), _buf.size(), 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            drop(fd);
            return;
        }
        if (n < 0) {
            return;
        }
        auto& pending = _pending[fd];
        if (!pending.empty()) {
            pending.append(_buf.data(), static_cast<size_t>(n));
            return;
        }
        auto w = ::send(fd, _buf.data(), static_cast<size_t>(n), MSG_NOSIGNAL);
        if (w < n) {
            w = std::max<ssize_t>(w, 0);
            pending.assign(_buf.data() + w, static_cast<size_t>(n - w));
            modify(fd, EPOLLIN | EPOLLOUT);
        }
    }
    void writable(int fd) {
        auto& pending = _pending[fd];
        auto w = ::send(fd, pending.data(), pending.size(), MSG_NOSIGNAL);
        if (w > 0) {
            pending.erase(0, static_cast<size_t>(w));
        }
        if (pending.empty()) {
            modify(fd, EPOLLIN);
        }
    }
    void loop() {
        epoll_event events[64];
        for (;;) {
            int n = epoll_wait(_epoll_fd, events, 64, -1);
            for (int i = 0; i < n; ++i) {
                int fd = events[i].data.fd;
                if (fd == _stop_fd) {
                    return;
                }
                if (fd == _listen_fd) {
                    accepted();
                    continue;
                }
                if (events[i].events & (EPOLLIN | EPOLLERR | EPOLLHUP)) {
                    readable(fd);
                }
                if ((events[i].events & EPOLLOUT) && _pending.count(fd)) {
                    writable(fd);
                }
            }
        }
    }

    int _listen_fd = -1;
    int _epoll_fd = -1;
    int _stop_fd = -1;
    uint16_t _port = 0;
    std::vector<char> _buf = std::vector<char>(256 * 1024);
    std::map<int, std::string> _pending;
    std::thread _thread;
};

// ---- the toolkit server ----------------------------------------------------

class EchoSession : public Session {
public:
    using Session::Session;
    void onRecv(const Buffer::Ptr& buf) override { send(buf->data(), buf->size()); }
    void onError(const SockException&) override {}
    void onManager() override {}
};

struct Servers {
    Servers() {
        toolkit_server = std::make_shared<TcpServer>();
        toolkit_server->start<EchoSession>(0, "127.0.0.1");
    }
    TcpServer::Ptr toolkit_server;
    MinimalEchoServer minimal_server;
};

Servers& servers() {
    static Servers s_servers;
    return s_servers;
}

// Pins the servers' threads, the calling thread and the clients made later.
void applyPlacement(Placement placement) {
    auto& s = servers();
    auto server_cpus = placementCpus(placement, true);
    g_client_cpus = placementCpus(placement, false);
    pinPollers(server_cpus);
    pinThread(s.minimal_server.nativeThread(), server_cpus);
    pinThread(pthread_self(), g_client_cpus);
}

// ---- clients ---------------------------------------------------------------

int connectClient(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == -1) {
        throw std::runtime_error("cannot connect to the echo server");
    }
    setNoDelay(fd);
    return fd;
}

// One 64-byte round trip; its duration in nanoseconds.
double roundTrip(int fd, const char* msg, char* echo) {
    auto start = Clock::now();
    if (::send(fd, msg, kLatencyMsg, MSG_NOSIGNAL) != static_cast<ssize_t>(kLatencyMsg)) {
        throw std::runtime_error("send failed");
    }
    size_t got = 0;
    while (got < kLatencyMsg) {
        auto n = ::recv(fd, echo + got, kLatencyMsg - got, 0);
        if (n <= 0) {
            throw std::runtime_error("echo lost");
        }
        got += static_cast<size_t>(n);
    }
    return std::chrono::duration<double, std::nano>(Clock::now() - start).count();
}

// Sends `total` bytes in 1 KiB messages over a non-blocking socket while
// reading the echo back, with at most kWindow bytes in flight.
void pumpEcho(int fd, size_t total, std::vector<char>& buf) {
    static const std::string msg(kThroughputMsg, 'x');
    size_t sent = 0;
    size_t got = 0;
    while (got < total) {
        while (sent < total && sent - got < kWindow) {
            auto n = ::send(fd, msg.data(), std::min(kThroughputMsg, total - sent), MSG_NOSIGNAL);
            if (n <= 0) {
                break;
            }
            sent += static_cast<size_t>(n);
        }
        auto n = ::recv(fd, buf.data(), buf.size(), 0);
        if (n > 0) {
            got += static_cast<size_t>(n);
            continue;
        }
        if (n == 0 || errno != EAGAIN) {
            throw std::runtime_error("echo lost");
        }
        pollfd pfd{fd, static_cast<short>(POLLIN | (sent < total && sent - got < kWindow ? POLLOUT : 0)), 0};
        ::poll(&pfd, 1, 1000);
    }
}

// Persistent client threads, one per connection, started together per round.
class ClientCrew {
public:
    ClientCrew(uint16_t port, size_t connections) {
        for (size_t i = 0; i < connections; ++i) {
            int fd = connectClient(port);
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
            _fds.push_back(fd);
            _threads.emplace_back([this, i]() { work(i); });
        }
    }
    ~ClientCrew() {
        {
            std::lock_guard<std::mutex> lck(_mtx);
            _stop = true;
        }
        _cv.notify_all();
        for (auto& t : _threads) {
            t.join();
        }
        for (int fd : _fds) {
            ::close(fd);
        }
    }
    // Echoes `bytes_each` on every connection; the wall time in seconds.
    double round(size_t bytes_each) {
        auto start = Clock::now();
        {
            std::unique_lock<std::mutex> lck(_mtx);
            _bytes_each = bytes_each;
            _running = _fds.size();
            ++_round;
            _cv.notify_all();
            _cv.wait(lck, [this]() { return _running == 0; });
        }
        return std::chrono::duration<double>(Clock::now() - start).count();
    }

private:
    void work(size_t index) {
        pinThread(pthread_self(), g_client_cpus);
        std::vector<char> buf(256 * 1024);
        uint64_t seen = 0;
        for (;;) {
            size_t bytes;
            {
                std::unique_lock<std::mutex> lck(_mtx);
                _cv.wait(lck, [&]() { return _stop || _round != seen; });
                if (_stop) {
                    return;
                }
                seen = _round;
                bytes = _bytes_each;
            }
            pumpEcho(_fds[index], bytes, buf);
            std::lock_guard<std::mutex> lck(_mtx);
            if (--_running == 0) {
                _cv.notify_all();
            }
        }
    }

    std::vector<int> _fds;
    std::vector<std::thread> _threads;
    std::mutex _mtx;
    std::condition_variable _cv;
    bool _stop = false;
    uint64_t _round = 0;
    size_t _running = 0;
    size_t _bytes_each = 0;
};

// ---- results ---------------------------------------------------------------

std::map<std::string, double> g_summary;

// ---- benchmarks ------------------------------------------------------------

// Each iteration makes one round trip to each server, taking turns.
void BM_EchoLatency64(benchmark::State& state) {
    auto placement = static_cast<Placement>(state.range(0));
    applyPlacement(placement);
    auto& s = servers();
    int toolkit_fd = connectClient(s.toolkit_server->getPort());
    int minimal_fd = connectClient(s.minimal_server.port());
    char msg[kLatencyMsg];
    char echo[kLatencyMsg];
    memset(msg, 'l', sizeof(msg));
    for (int i = 0; i < 2000; ++i) {
        roundTrip(toolkit_fd, msg, echo);
        roundTrip(minimal_fd, msg, echo);
    }
    bench_support::LatencyPair got = bench_support::runInTurns(
        state, [&]() { return roundTrip(toolkit_fd, msg, echo); }, [&]() { return roundTrip(minimal_fd, msg, echo); },
        "toolkit", "minimal");
    ::close(toolkit_fd);
    ::close(minimal_fd);
    double tp50 = got.p50;
    double tp99 = got.p99;
    double mp50 = got.ref_p50;
    double mp99 = got.ref_p99;
    std::string key = std::string("latency ") + placementName(placement);
    g_summary[key + " p50 toolkit us"] = tp50;
    g_summary[key + " p50 minimal us"] = mp50;
    g_summary[key + " p99 toolkit us"] = tp99;
    g_summary[key + " p99 minimal us"] = mp99;
}
// Arg: the placement (0 separate CPUs, 1 one CPU for client and server).
BENCHMARK(BM_EchoLatency64)->Arg(0)->Arg(1)->Iterations(40000)->UseRealTime()->Unit(benchmark::kMicrosecond);

// Each iteration echoes kBytesPerRound through each server, taking turns.
void BM_EchoThroughput1K(benchmark::State& state) {
    auto connections = static_cast<size_t>(state.range(0));
    applyPlacement(Placement::Separate);
    auto& s = servers();
    ClientCrew toolkit_crew(s.toolkit_server->getPort(), connections);
    ClientCrew minimal_crew(s.minimal_server.port(), connections);
    size_t each = kBytesPerRound / connections;
    toolkit_crew.round(each);
    minimal_crew.round(each);
    double toolkit_sec = 0;
    double minimal_sec = 0;
    bool toolkit_first = true;
    for (auto _ : state) {
        if (toolkit_first) {
            toolkit_sec += toolkit_crew.round(each);
            minimal_sec += minimal_crew.round(each);
        } else {
            minimal_sec += minimal_crew.round(each);
            toolkit_sec += toolkit_crew.round(each);
        }
        toolkit_first = !toolkit_first;
    }
    double mib = static_cast<double>(each * connections) * static_cast<double>(state.iterations()) / (1024 * 1024);
    double toolkit_rate = mib / toolkit_sec;
    double minimal_rate = mib / minimal_sec;
    state.counters["toolkit_MiBps"] = toolkit_rate;
    state.counters["minimal_MiBps"] = minimal_rate;
    state.counters["ratio"] = toolkit_rate / minimal_rate;
    auto key = "throughput " + std::to_string(connections) + " conn ";
    g_summary[key + "toolkit MiB/s"] = toolkit_rate;
    g_summary[key + "minimal MiB/s"] = minimal_rate;
}
BENCHMARK(BM_EchoThroughput1K)->Arg(1)->Arg(16)->Iterations(40)->UseRealTime()->Unit(benchmark::kMillisecond);

void printSummary() {
    auto ratio = [](const std::string& a, const std::string& b) {
        auto ia = g_summary.find(a);
        auto ib = g_summary.find(b);
        return ia == g_summary.end() || ib == g_summary.end() || ib->second == 0 ? 0.0 : ia->second / ib->second;
    };
    std::printf("\nTcpServer echo / minimal epoll echo (aim: latency <= 1.2x, throughput >= 0.9x)\n");
    auto describe = [](Placement placement, bool servers) {
        auto cpus = placementCpus(placement, servers);
        if (cpus.empty()) {
            return std::string("any");
        }
        return cpus.size() == 1 ? std::to_string(cpus.front())
                                : std::to_string(cpus.front()) + "-" + std::to_string(cpus.back());
    };
    std::printf("  separate: server threads on CPUs %s, clients on CPUs %s; colocated: all on CPU %s\n",
                describe(Placement::Separate, true).c_str(), describe(Placement::Separate, false).c_str(),
                describe(Placement::Colocated, true).c_str());
    for (auto placement : {Placement::Separate, Placement::Colocated}) {
        for (const char* p : {"p50", "p99"}) {
            std::string key = std::string("latency ") + placementName(placement) + " " + p;
            if (g_summary.count(key + " toolkit us")) {
                std::printf("  latency %s 64 B, %-9s: toolkit %8.2f us  minimal %8.2f us  ratio %.2f\n", p,
                            placementName(placement), g_summary[key + " toolkit us"], g_summary[key + " minimal us"],
                            ratio(key + " toolkit us", key + " minimal us"));
            }
        }
    }
    for (int conns : {1, 16}) {
        auto key = "throughput " + std::to_string(conns) + " conn ";
        if (g_summary.count(key + "toolkit MiB/s")) {
            std::printf("  throughput 1 KiB, %2d conn, separate: toolkit %8.1f MiB/s  minimal %8.1f MiB/s  ratio %.2f\n", conns,
                        g_summary[key + "toolkit MiB/s"], g_summary[key + "minimal MiB/s"],
                        ratio(key + "toolkit MiB/s", key + "minimal MiB/s"));
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    printSummary();
    benchmark::Shutdown();
    return 0;
}
