// The SCPI socket round trip of the service against a minimal single-threaded
// epoll line server that runs inside this program, both on loopback:
// - one client alternates one query to each server per iteration, so that the
//   noise of the machine hits both alike; p50, p99 and their ratios;
// - 100 clients at once, one query in flight each: queries per second of each.
//
// The service is the built MainService, started here in a fresh data root
// (DMM_MAIN_SERVICE names another binary). It takes the fixed SCPI and UI
// ports, so run this inside a network namespace of its own:
//   unshare -n sh -c 'ip link set lo up && build-rel/bench/bench_scpi_socket'
// On loopback a server thread that shares a CPU with its client answers much
// sooner than one that does not, and left alone the scheduler grants that to
// one server or the other by chance; so both servers (the line server's thread
// and every thread of the service) run on the lower half of the CPUs and the
// client on the upper half, as a remote client would.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "latency_pair.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint16_t kScpiPort = 5025;
constexpr int kLoadClients = 100;
constexpr int kLoadQueriesPerClient = 200;

// The lower (servers) or upper (client) half of the CPUs.
cpu_set_t cpuHalf(bool upper) {
    int n = std::max(2, static_cast<int>(std::thread::hardware_concurrency()));
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int cpu = upper ? n / 2 : 0; cpu < (upper ? n : n / 2); ++cpu) {
        CPU_SET(cpu, &set);
    }
    return set;
}

void setNoDelay(int fd) {
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
}

// Blocking loopback connection; -1 when nothing listens.
int connectTo(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == -1) {
        ::close(fd);
        return -1;
    }
    setNoDelay(fd);
    return fd;
}

// Answers every line it receives with the same line, on one epoll thread.
class LineServer {
public:
    LineServer() {
        _listen = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(addr);
        if (::bind(_listen, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == -1 || ::listen(_listen, 1024) == -1) {
            throw std::runtime_error("line server cannot listen");
        }
        getsockname(_listen, reinterpret_cast<sockaddr*>(&addr), &len);
        _port = ntohs(addr.sin_port);
        _epoll = epoll_create1(EPOLL_CLOEXEC);
        watch(_listen);
        _thread = std::thread([this]() { loop(); });
        cpu_set_t servers = cpuHalf(false);
        pthread_setaffinity_np(_thread.native_handle(), sizeof(servers), &servers);
    }
    // Lives as long as the program: its thread blocks in epoll_wait.
    uint16_t port() const { return _port; }

private:
    void watch(int fd) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = fd;
        epoll_ctl(_epoll, EPOLL_CTL_ADD, fd, &ev);
    }
    void readable(int fd) {
        char buf[4096];
        ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
        if (n <= 0) {
            if (n == 0 || errno != EAGAIN) {
                _partial.erase(fd);
                ::close(fd);
            }
            return;
        }
        std::string& line = _partial[fd];
        line.append(buf, static_cast<size_t>(n));
        size_t end = line.rfind('\n');
        if (end != std::string::npos) {
            // Small replies to a client that reads them: one send suffices.
            (void)!::send(fd, line.data(), end + 1, MSG_NOSIGNAL);
            line.erase(0, end + 1);
        }
    }
    void loop() {
        epoll_event events[64];
        for (;;) {
            int n = epoll_wait(_epoll, events, 64, -1);
            for (int i = 0; i < n; ++i) {
                int fd = events[i].data.fd;
                if (fd != _listen) {
                    readable(fd);
                    continue;
                }
                int peer;
                while ((peer = accept4(_listen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) != -1) {
                    setNoDelay(peer);
                    watch(peer);
                }
            }
        }
    }

    int _listen = -1;
    int _epoll = -1;
    uint16_t _port = 0;
    std::map<int, std::string> _partial;
    std::thread _thread;
};

// The service process in a temporary data root, stopped with SIGINT at exit.
class ServiceProcess {
public:
    ServiceProcess() {
        const char* env = std::getenv("DMM_MAIN_SERVICE");
        std::string binary = env != nullptr ? env : DMM_MAIN_SERVICE_PATH;
        char dir[] = "/tmp/bench_scpi_XXXXXX";
        if (mkdtemp(dir) == nullptr) {
            throw std::runtime_error("no temporary data root");
        }
        _root = dir;
        _pid = fork();
        if (_pid == 0) {
            cpu_set_t servers = cpuHalf(false);
            sched_setaffinity(0, sizeof(servers), &servers);
            setenv("DMM_ROOT", _root.c_str(), 1);
            (void)!chdir(_root.c_str());
            int null = ::open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            execl(binary.c_str(), binary.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        auto deadline = Clock::now() + std::chrono::seconds(30);
        int fd;
        while ((fd = connectTo(kScpiPort)) == -1) {
            if (Clock::now() > deadline || waitpid(_pid, nullptr, WNOHANG) != 0) {
                throw std::runtime_error("the service does not listen on 5025: " + binary);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ::close(fd);
    }
    ~ServiceProcess() {
        kill(_pid, SIGINT);
        waitpid(_pid, nullptr, 0);
        std::error_code ec;
        std::filesystem::remove_all(_root, ec);
    }

private:
    pid_t _pid = -1;
    std::string _root;
};

LineServer& lineServer() {
    static LineServer* server = new LineServer();  // its thread outlives main
    return *server;
}

// Stopped by its destructor when the program ends.
ServiceProcess& service() {
    static ServiceProcess process;
    return process;
}

// Writes one line and reads up to its reply's line feed; nanoseconds taken.
double roundTrip(int fd, const std::string& query) {
    char buf[512];
    auto start = Clock::now();
    (void)!::send(fd, query.data(), query.size(), MSG_NOSIGNAL);
    for (;;) {
        ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
        if (n <= 0) {
            throw std::runtime_error("connection lost");
        }
        if (buf[n - 1] == '\n') {
            break;
        }
    }
    return static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count());
}

const std::vector<std::string> kQueries = {"*STB?\n", "*IDN?\n", "SYST:ERR?\n"};

// Arg: the query (index into kQueries). The reported time is the service's.
void BM_ScpiRoundTrip(benchmark::State& state) {
    const std::string& query = kQueries[static_cast<size_t>(state.range(0))];
    int service = connectTo(kScpiPort);
    int line = connectTo(lineServer().port());
    for (int i = 0; i < 500; ++i) {
        roundTrip(service, query);
        roundTrip(line, query);
    }
    bench_support::runInTurns(
        state, [&]() { return roundTrip(service, query); }, [&]() { return roundTrip(line, query); }, "svc", "min",
        true);
    ::close(service);
    ::close(line);
    state.SetLabel(query.substr(0, query.size() - 1));
}
BENCHMARK(BM_ScpiRoundTrip)
    ->DenseRange(0, static_cast<int>(kQueries.size()) - 1)
    ->Iterations(20000)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

// kLoadClients connections driven from one epoll thread, each with one *IDN?
// in flight, until each got kLoadQueriesPerClient replies. Queries per second.
double loadRun(uint16_t port) {
    int ep = epoll_create1(EPOLL_CLOEXEC);
    std::vector<int> fds;
    std::vector<int> left(kLoadClients, kLoadQueriesPerClient);
    const std::string query = "*IDN?\n";
    auto start = Clock::now();
    for (int i = 0; i < kLoadClients; ++i) {
        int fd = connectTo(port);
        if (fd == -1) {
            throw std::runtime_error("load client cannot connect");
        }
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u32 = static_cast<uint32_t>(i);
        epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
        fds.push_back(fd);
        (void)!::send(fd, query.data(), query.size(), MSG_NOSIGNAL);
    }
    int open = kLoadClients;
    epoll_event events[128];
    char buf[4096];
    while (open > 0) {
        int n = epoll_wait(ep, events, 128, 10000);
        if (n <= 0) {
            throw std::runtime_error("load clients got no reply for 10 s");
        }
        for (int e = 0; e < n; ++e) {
            uint32_t i = events[e].data.u32;
            ssize_t got = ::recv(fds[i], buf, sizeof(buf), 0);
            if (got <= 0) {
                throw std::runtime_error("load connection lost");
            }
            left[i] -= static_cast<int>(std::count(buf, buf + got, '\n'));
            if (left[i] > 0) {
                (void)!::send(fds[i], query.data(), query.size(), MSG_NOSIGNAL);
            } else if (left[i] == 0) {
                --open;
            }
        }
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    for (int fd : fds) {
        ::close(fd);
    }
    ::close(ep);
    return kLoadClients * kLoadQueriesPerClient / seconds;
}

// Each iteration loads the service, then the line server.
void BM_ScpiHundredClients(benchmark::State& state) {
    std::vector<double> service_qps;
    std::vector<double> line_qps;
    for (auto _ : state) {
        service_qps.push_back(loadRun(kScpiPort));
        line_qps.push_back(loadRun(lineServer().port()));
    }
    double s = bench_support::percentile(service_qps, 0.5);
    double l = bench_support::percentile(line_qps, 0.5);
    state.counters["svc_qps"] = s;
    state.counters["min_qps"] = l;
    state.counters["qps_ratio"] = s / l;
}
BENCHMARK(BM_ScpiHundredClients)->Iterations(7)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    benchmark::Initialize(&argc, argv);
    lineServer();
    service();
    cpu_set_t client = cpuHalf(true);
    sched_setaffinity(0, sizeof(client), &client);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
