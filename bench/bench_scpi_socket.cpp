// The SCPI socket round trip of the service against a minimal single-threaded
// epoll line server that runs inside this program, both on loopback, each
// iteration taking one query to each server in turns so that the noise of the
// machine hits both alike:
// - pinned: both servers (the line server's thread and every thread of the
//   service) on the lower half of the CPUs, the client on the upper half, so
//   that neither server gets the client's CPU by chance; p50, p99, ratios;
// - unpinned: no affinity on either side, as users run it; a fresh service
//   for each of kUnpinnedRuns runs, and per query the median and the spread
//   (min, max) of the runs' p50 ratios;
// - 100 clients at once, one query in flight each, pinned and unpinned:
//   queries per second of each server and CPU per query (all the service's
//   threads, the line server's one thread).
//
// The service is the built MainService, started here in a fresh data root
// (DMM_MAIN_SERVICE names another binary). It takes the fixed SCPI and UI
// ports, so run this inside a network namespace of its own:
//   dmm-isolated build-rel/bench/bench_scpi_socket
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "latency_pair.h"
#include "service_process.h"

namespace {

using bench_support::connectTo;
using bench_support::kScpiPort;
using bench_support::ServiceProcess;
using bench_support::setNoDelay;
using Clock = std::chrono::steady_clock;

constexpr int kLoadClients = 100;
constexpr int kLoadQueriesPerClient = 2000;
constexpr int kUnpinnedRuns = 6;
constexpr int kUnpinnedTrips = 4000;

// The lower (servers) or upper (client) half of the CPUs, or all of them.
enum class Cpus { Servers, Client, All };
cpu_set_t cpuSet(Cpus which) {
    int n = std::max(2, static_cast<int>(std::thread::hardware_concurrency()));
    int from = which == Cpus::Client ? n / 2 : 0;
    int to = which == Cpus::Servers ? n / 2 : n;
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int cpu = from; cpu < to; ++cpu) {
        CPU_SET(cpu, &set);
    }
    return set;
}

// The calling thread's affinity for as long as the object lives.
class ClientCpus {
public:
    explicit ClientCpus(Cpus which) {
        cpu_set_t set = cpuSet(which);
        sched_setaffinity(0, sizeof(set), &set);
    }
    ~ClientCpus() {
        cpu_set_t all = cpuSet(Cpus::All);
        sched_setaffinity(0, sizeof(all), &all);
    }
};

double threadCpuSeconds(pthread_t thread) {
    clockid_t clock;
    timespec ts{};
    pthread_getcpuclockid(thread, &clock);
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Answers every line it receives with the same line, on one epoll thread.
class LineServer {
public:
    explicit LineServer(bool pinned) {
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
        if (pinned) {
            cpu_set_t servers = cpuSet(Cpus::Servers);
            pthread_setaffinity_np(_thread.native_handle(), sizeof(servers), &servers);
        }
    }
    // Lives as long as the program: its thread blocks in epoll_wait.
    uint16_t port() const { return _port; }
    double cpuSeconds() { return threadCpuSeconds(_thread.native_handle()); }

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

LineServer& lineServer(bool pinned) {
    static LineServer* free_server = new LineServer(false);  // their threads outlive main
    static LineServer* pinned_server = new LineServer(true);
    return pinned ? *pinned_server : *free_server;
}

std::unique_ptr<ServiceProcess> startService(bool pinned) {
    cpu_set_t servers = cpuSet(Cpus::Servers);
    return std::make_unique<ServiceProcess>(pinned ? &servers : nullptr);
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

double median(std::vector<double> v) { return bench_support::percentile(std::move(v), 0.5); }

// Arg: the query (index into kQueries). Pinned; the reported time is the
// service's.
void BM_ScpiRoundTrip(benchmark::State& state) {
    const std::string& query = kQueries[static_cast<size_t>(state.range(0))];
    auto process = startService(true);
    ClientCpus cpus(Cpus::Client);
    int service = connectTo(kScpiPort);
    int line = connectTo(lineServer(true).port());
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

// No affinity anywhere, a fresh service per run; each run takes every query
// in turn. Counters per query (STB, IDN, ERR): the median and the spread of
// the runs' p50 ratios, and the median p50s in microseconds.
void BM_ScpiRoundTripUnpinned(benchmark::State& state) {
    std::map<std::string, std::vector<double>> ratio, svc, ref;
    const char* const names[] = {"STB", "IDN", "ERR"};
    for (auto _ : state) {
        for (int run = 0; run < kUnpinnedRuns; ++run) {
            auto process = startService(false);
            int service = connectTo(kScpiPort);
            int line = connectTo(lineServer(false).port());
            for (size_t q = 0; q < kQueries.size(); ++q) {
                std::vector<double> svc_ns, ref_ns;
                for (int i = 0; i < 500; ++i) {
                    roundTrip(service, kQueries[q]);
                    roundTrip(line, kQueries[q]);
                }
                for (int i = 0; i < kUnpinnedTrips; ++i) {
                    if (i % 2 == 0) {
                        svc_ns.push_back(roundTrip(service, kQueries[q]));
                        ref_ns.push_back(roundTrip(line, kQueries[q]));
                    } else {
                        ref_ns.push_back(roundTrip(line, kQueries[q]));
                        svc_ns.push_back(roundTrip(service, kQueries[q]));
                    }
                }
                double s = median(svc_ns) / 1000, r = median(ref_ns) / 1000;
                svc[names[q]].push_back(s);
                ref[names[q]].push_back(r);
                ratio[names[q]].push_back(s / r);
                std::fprintf(stderr, "run %d %s: svc %.1f us, min %.1f us, ratio %.2f\n", run, names[q], s, r, s / r);
            }
            ::close(service);
            ::close(line);
        }
    }
    for (const char* name : names) {
        const auto& r = ratio[name];
        state.counters[std::string(name) + "_ratio_med"] = median(r);
        state.counters[std::string(name) + "_ratio_min"] = *std::min_element(r.begin(), r.end());
        state.counters[std::string(name) + "_ratio_max"] = *std::max_element(r.begin(), r.end());
        state.counters[std::string(name) + "_svc_p50_us"] = median(svc[name]);
        state.counters[std::string(name) + "_min_p50_us"] = median(ref[name]);
    }
}
BENCHMARK(BM_ScpiRoundTripUnpinned)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

struct LoadResult {
    double qps;
    double cpu_us_per_query;
};

// kLoadClients connections driven from one epoll thread, each with one *STB?
// in flight, until each got kLoadQueriesPerClient replies. `cpu` reads the
// server's CPU seconds.
template <typename CpuSeconds>
LoadResult loadRun(uint16_t port, CpuSeconds cpu) {
    int ep = epoll_create1(EPOLL_CLOEXEC);
    std::vector<int> fds;
    std::vector<int> left(kLoadClients, kLoadQueriesPerClient);
    const std::string query = "*STB?\n";
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
    }
    double cpu_start = cpu();
    auto start = Clock::now();
    for (int fd : fds) {
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
    double cpu_used = cpu() - cpu_start;
    for (int fd : fds) {
        ::close(fd);
    }
    ::close(ep);
    const double queries = static_cast<double>(kLoadClients) * kLoadQueriesPerClient;
    return {queries / seconds, cpu_used * 1e6 / queries};
}

// Arg: 1 pinned, 0 unpinned. Each iteration loads both servers, the order
// alternating; medians of queries per second and of CPU per query.
void BM_ScpiHundredClients(benchmark::State& state) {
    const bool pinned = state.range(0) != 0;
    auto process = startService(pinned);
    std::unique_ptr<ClientCpus> cpus;
    if (pinned) {
        cpus = std::make_unique<ClientCpus>(Cpus::Client);
    }
    LineServer& line = lineServer(pinned);
    const pid_t pid = process->pid();
    auto loadService = [&]() { return loadRun(kScpiPort, [pid]() { return bench_support::processCpu(pid); }); };
    auto loadLine = [&]() { return loadRun(line.port(), [&line]() { return line.cpuSeconds(); }); };
    std::vector<double> svc_qps, min_qps, svc_cpu, min_cpu;
    bool service_first = true;
    for (auto _ : state) {
        LoadResult s, l;
        if (service_first) {
            s = loadService();
            l = loadLine();
        } else {
            l = loadLine();
            s = loadService();
        }
        service_first = !service_first;
        svc_qps.push_back(s.qps);
        min_qps.push_back(l.qps);
        svc_cpu.push_back(s.cpu_us_per_query);
        min_cpu.push_back(l.cpu_us_per_query);
    }
    state.counters["svc_qps"] = median(svc_qps);
    state.counters["min_qps"] = median(min_qps);
    state.counters["qps_ratio"] = median(svc_qps) / median(min_qps);
    state.counters["svc_cpu_us_per_q"] = median(svc_cpu);
    state.counters["min_cpu_us_per_q"] = median(min_cpu);
    state.counters["cpu_ratio"] = median(svc_cpu) / median(min_cpu);
    state.SetLabel(pinned ? "pinned" : "unpinned");
}
BENCHMARK(BM_ScpiHundredClients)->Arg(1)->Arg(0)->Iterations(4)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
