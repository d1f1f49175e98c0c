#pragma once
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

#include "Manager.h"
#include "ids/service_id.h"

// The one thread ("notify") that delivers pushed notifications, in push
// order, whichever threads pushed them. A push only queues: the pusher (the
// measurement loop above all) never waits for another push's serialising or
// sending, however large that one is.
class CNotifyDelivery {
public:
    using Payload = google::protobuf::Map<int, Value>;
    // Runs on the delivery thread for each notification; may take the payload.
    using Deliver = std::function<void(service_id id, Payload& payload)>;

    // Starts the thread. It runs until the process ends: the object must
    // never be destroyed (the hub that owns it is not).
    explicit CNotifyDelivery(Deliver deliver);
    CNotifyDelivery(const CNotifyDelivery&) = delete;
    CNotifyDelivery& operator=(const CNotifyDelivery&) = delete;

    // Queues the notification and wakes the thread; returns at once.
    void push(service_id id, Payload&& payload);

private:
    void run();

    Deliver m_deliver;
    std::mutex m_mtx;
    std::condition_variable m_cv;
    std::deque<std::pair<service_id, Payload>> m_queue;
    std::thread m_thread;
};
