#pragma once
#include <string>
#include <thread>

namespace platform {

class UsbGadgetHost;

// Lets a fake USB host in another process reach a UsbGadgetHost: a UNIX
// stream socket at the host path of `path` hands every connecting process
// two host ends of its own (bulk stream, control packets) as descriptors, with
// one data byte, and closes the connection. Each one is a new host: the ends
// of the one before it are shut down (UsbGadgetHost::newHost). Runs its own
// thread until destroyed.
class UsbGadgetAttach {
public:
    UsbGadgetAttach(UsbGadgetHost& host, const std::string& path);
    ~UsbGadgetAttach();
    UsbGadgetAttach(const UsbGadgetAttach&) = delete;
    UsbGadgetAttach& operator=(const UsbGadgetAttach&) = delete;

    bool listening() const { return m_listenFd >= 0; }

private:
    void serve();
    void handOver(int client);

    UsbGadgetHost& m_host;
    std::string m_hostPath;
    int m_listenFd = -1;
    int m_wakeFd = -1;
    std::thread m_thread;
};

} // namespace platform
