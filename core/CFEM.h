#pragma once
#include <functional>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "CNotifyDelivery.h"
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
    // Receives each notification as a DataPack, on the delivery thread. The
    // UI link installs the sink that frames it and writes it to every
    // notification client.
    using NotifySink = std::function<void(const DataPack& pack)>;

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
    // Only queues it (callers move their maps in) and returns: the delivery
    // thread builds, serialises and sends it. Notifications reach the clients
    // in the order they were pushed, whichever threads pushed them, so the app
    // never shows an older state after a newer one.
    static void pushMessage(service_id id, google::protobuf::Map<int, Value> payload);

    // A notification client connected: every bound manager pushes its state,
    // in binding order, in one CThreadPool job.
    static void FEM_ClientConnect();

    // Installs (or with an empty function removes) the notification sink.
    // Without one, notifications are dropped.
    static void setNotifySink(NotifySink sink);

    // Queues the SCPI error of row `result` for message `id` and beeps, as a
    // failed handler does; also for a failure found after its handler
    // returned (a calibration point that was not taken).
    static void reportFailure(unsigned int id, int result);

private:
    CFEM();

    cb_func lookup(unsigned int id) const;
    std::vector<Manager*> managers() const;
    NotifySink notifySink() const;

    void deliver(service_id id, google::protobuf::Map<int, Value>& payload) const;
    static void reportUnbound(unsigned int id);

    // Bindings happen while clients may already be calling in (remote control
    // binds after the servers start): lookups take it shared, and a handler is
    // copied out and called without it.
    mutable std::shared_mutex mMtx;
    std::vector<Manager*> mManages;            // binding order, not owned
    std::map<unsigned int, cb_func> mEntries;
    NotifySink mSink;

    CNotifyDelivery mDelivery;
};
