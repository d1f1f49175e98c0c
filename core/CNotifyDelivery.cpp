#include "CNotifyDelivery.h"

#include <exception>

#include "Thread/ThreadPool.h"
#include "Util/logger.h"
#include "Util/util.h"

CNotifyDelivery::CNotifyDelivery(Deliver deliver) : m_deliver(std::move(deliver)) {
    m_thread = std::thread([this] { run(); });
    // Readings go out at the priority of the pool that produces them.
    toolkit::ThreadPool::setPriority(toolkit::ThreadPool::PRIORITY_HIGHEST, m_thread.native_handle());
    m_thread.detach();
}

void CNotifyDelivery::push(service_id id, Payload&& payload) {
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_queue.emplace_back(id, std::move(payload));
    }
    m_cv.notify_one();
}

void CNotifyDelivery::run() {
    toolkit::setThreadName("notify");
    for (;;) {
        std::pair<service_id, Payload> item;
        {
            std::unique_lock<std::mutex> lock(m_mtx);
            m_cv.wait(lock, [this] { return !m_queue.empty(); });
            item.first = m_queue.front().first;
            item.second.swap(m_queue.front().second);
            m_queue.pop_front();
        }
        try {
            m_deliver(item.first, item.second);
        } catch (const std::exception& ex) {
            // One failed delivery must not stop the ones queued behind it.
            PrintE("notification 0x%x not delivered: %s", static_cast<unsigned>(item.first), ex.what());
        }
    }
}
