#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "rip_msg.h"

// Where the network-status service listens and how the client waits for it.
struct RipClientSettings {
    std::string address = "127.0.0.1";
    uint16_t port = 1998;
    // Pause after a refused or failed connection.
    std::chrono::milliseconds retryDelay{3000};
    // Longest wait of start() for the first record: a service that accepts
    // but never answers must not hold up the start of the instrument.
    std::chrono::milliseconds firstRecordWait{3000};
    // TCP may split a record; a partial record is completed with zeros only
    // when its tail has not come within this time.
    std::chrono::milliseconds shortRecordWait{200};
};

// What the service last reported, copied out whole so that a reader never
// sees half of one record and half of the next.
struct RipNetSnapshot {
    NET_CONFIG_PARA info{};
    NET_STATUS status = UNLINK;
    int mode = -1;  // -1: no record yet
    int speed = 0;
    int duplex = 0;
    char domain[64] = {};
    char mac[18] = {};
};

// The connection to the network-status service: one thread connects, sends
// the request, keeps the records the service sends and reports each change of
// the link status through the callback (never for the first record of a
// connection). Reconnects at once when the service closes, every retryDelay
// while it refuses.
class RipClient {
public:
    using Callback = std::function<void(NET_STATUS status, const NET_CONFIG_PARA& config)>;

    RipClient(RipClientSettings settings, Callback callback);
    // Stops and joins the thread.
    ~RipClient();
    RipClient(const RipClient&) = delete;
    RipClient& operator=(const RipClient&) = delete;

    // Starts the thread; returns once the first record came or the first
    // connection failed, at the latest after firstRecordWait.
    void start();

    RipNetSnapshot snapshot() const;

    // Keeps `record`; with `notify`, a status that differs from the last
    // reported one goes to the callback (called without the lock held).
    void update_net_info(const RIP_MSG_INFO& record, bool notify);

private:
    enum class Wait { Ready, Timeout, Stopped };
    enum class Read { Record, Closed, Stopped };

    void run();
    int connectOnce();
    void serve(int fd);
    Read readRecord(int fd, RIP_MSG_INFO& record);
    bool sendRequest(int fd);
    Wait waitFor(int fd, short events, int timeoutMs);
    void firstAttemptDone();
    bool stopping() const;

    const RipClientSettings m_settings;
    const Callback m_callback;

    mutable std::mutex m_mtx;
    std::condition_variable m_cv;
    RipNetSnapshot m_snapshot;
    NET_STATUS m_lastReported = UNLINK;
    bool m_firstDone = false;
    bool m_stop = false;
    int m_wakePipe[2] = {-1, -1};  // written by the destructor to end a wait
    std::thread m_thread;
};
