#pragma once
// The built MainService started by a benchmark in a fresh temporary data root
// (DMM_MAIN_SERVICE names another binary), stopped with SIGINT when the
// object goes. It takes the service's fixed ports: run benchmarks that use it
// inside a network namespace of their own (dmm-isolated).
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <ctime>

namespace bench_support {

constexpr uint16_t kScpiPort = 5025;

inline void setNoDelay(int fd) {
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
}

// Blocking loopback connection; -1 when nothing listens.
inline int connectTo(uint16_t port) {
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

class ServiceProcess {
public:
    // `cpus`: the affinity of the whole service, or null to leave it free.
    // `prepare` may fill the data root before the service starts.
    template <typename Prepare>
    ServiceProcess(const cpu_set_t* cpus, Prepare prepare) {
        const char* env = std::getenv("DMM_MAIN_SERVICE");
        std::string binary = env != nullptr ? env : DMM_MAIN_SERVICE_PATH;
        char dir[] = "/tmp/bench_dmm_XXXXXX";
        if (mkdtemp(dir) == nullptr) {
            throw std::runtime_error("no temporary data root");
        }
        _root = dir;
        prepare(_root);
        _pid = fork();
        if (_pid == 0) {
            if (cpus != nullptr) {
                sched_setaffinity(0, sizeof(*cpus), cpus);
            }
            setenv("DMM_ROOT", _root.c_str(), 1);
            (void)!chdir(_root.c_str());
            int null = ::open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            execl(binary.c_str(), binary.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        int fd;
        while ((fd = connectTo(kScpiPort)) == -1) {
            if (std::chrono::steady_clock::now() > deadline || waitpid(_pid, nullptr, WNOHANG) != 0) {
                throw std::runtime_error("the service does not listen on 5025: " + binary);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ::close(fd);
    }
    explicit ServiceProcess(const cpu_set_t* cpus = nullptr) : ServiceProcess(cpus, [](const std::string&) {}) {}
    ~ServiceProcess() {
        kill(_pid, SIGINT);
        waitpid(_pid, nullptr, 0);
        std::error_code ec;
        std::filesystem::remove_all(_root, ec);
    }
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;

    pid_t pid() const { return _pid; }
    const std::string& root() const { return _root; }

private:
    pid_t _pid = -1;
    std::string _root;
};

// CPU time of the whole process in seconds (precise, unlike the ticks below).
inline double processCpu(pid_t pid) {
    clockid_t clock;
    timespec ts{};
    if (clock_getcpuclockid(pid, &clock) != 0 || clock_gettime(clock, &ts) != 0) {
        return 0;
    }
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// CPU time (user + system) in seconds of every thread of `pid`, by thread id,
// with the thread's name, read from /proc/<pid>/task/<tid>/stat.
struct ThreadCpu {
    std::string name;
    double seconds;
};

inline std::map<int, ThreadCpu> threadCpu(pid_t pid) {
    std::map<int, ThreadCpu> out;
    const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
        std::ifstream in(entry.path() / "stat");
        std::string line;
        if (!std::getline(in, line)) {
            continue;  // the thread ended meanwhile
        }
        // "tid (name) state ..." where the name may hold blanks: fields
        // after the last ')' start at the state (field 3); utime and stime
        // are fields 14 and 15.
        size_t open = line.find('(');
        size_t close = line.rfind(')');
        std::istringstream rest(line.substr(close + 2));
        std::string field;
        unsigned long long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && rest >> field; ++i) {
            if (i == 14) utime = std::stoull(field);
            if (i == 15) stime = std::stoull(field);
        }
        out[std::stoi(entry.path().filename().string())] =
            ThreadCpu{line.substr(open + 1, close - open - 1), static_cast<double>(utime + stime) / tick};
    }
    return out;
}

}  // namespace bench_support
