#pragma once
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "Manager.h"
#include "ids/service_id.h"

// The message hub: the one road into the managers. Managers bind their
// handlers under message ids at start-up; every client (UI link, remote
// control, network-status client) calls handleMessage, and a failing handler
// is turned here, in one place, into a SCPI error-queue entry, a log line and
// a beep. The other way, managers push notifications to the UI through
// pushMessage.
class CFEM {
public:
    // Receives one serialised notification DataPack. The UI link installs the
    // sink that frames it and writes it to every notification client.
    using NotifySink = std::function<void(const char* data, unsigned int length)>;

    static CFEM* instance();

    // Binds every handler of `manager` in ascending id order and appends the
    // manager to the connect list. Always true.
    bool bindManager(Manager* manager);

    // Stores `handler` under `id`; false when `id` is already bound (the first
    // binding stays).
    bool bindCallback(unsigned int id, cb_func handler);

    // Runs the handler bound to `id` on the caller's thread. Returns 0, the
    // handler's non-zero result, or 2 (-101) for an id nobody bound.
    static int handleMessage(unsigned int source, unsigned int id, const google::protobuf::Map<int, Value>& in,
                             google::protobuf::Map<int, Value>* out);

    // Sends `payload` to the UI notification clients under `id` | 0x80000000.
    // The delivery runs on CThreadPool: at once when the caller is a pool
    // thread and no delivery is under way, later otherwise. Notifications
    // reach the clients in the order they were pushed, whichever threads
    // pushed them, so the app never shows an older state after a newer one.
    static void pushMessage(service_id id, google::protobuf::Map<int, Value> payload);

    // A notification client connected: every bound manager pushes its state,
    // in binding order, in one CThreadPool job.
    static void FEM_ClientConnect();

    // Installs (or with an empty function removes) the notification sink.
    // Without one, notifications are built and dropped.
    static void setNotifySink(NotifySink sink);

private:
    CFEM() = default;

    cb_func lookup(unsigned int id) const;
    std::vector<Manager*> managers() const;
    NotifySink notifySink() const;

    static void deliver(service_id id, google::protobuf::Map<int, Value>& payload);
    // Delivers queued notifications in push order until none is left; returns
    // at once when another thread is already delivering.
    void drainPushes();
    static void reportUnbound(unsigned int id);
    static void reportFailure(unsigned int id, int result);

    // Bindings happen while clients may already be calling in (remote control
    // binds after the servers start): lookups take it shared, and a handler is
    // copied out and called without it.
    mutable std::shared_mutex mMtx;
    std::vector<Manager*> mManages;            // binding order, not owned
    std::map<unsigned int, cb_func> mEntries;
    NotifySink mSink;

    // Pushed notifications waiting for delivery. One thread at a time drains
    // them, which keeps the push order across the pool's workers: a pool
    // thread that pushes drains at once (as the pool runs its own work
    // inline), other threads leave it to one posted drain job.
    std::mutex mPushMtx;
    std::deque<std::pair<service_id, google::protobuf::Map<int, Value>>> mPushQueue;
    bool mDraining = false;     // a thread is delivering from the queue
    bool mDrainPosted = false;  // a drain job waits for a pool worker
};
