#pragma once
#include <atomic>
#include <functional>
#include <map>
#include <string>
#include <utility>

#include "proto_data.pb.h"
#include "proto_insert.h"

// A message handler: reads its arguments from `in`, writes its answers into
// `out` and returns 0 or a row of the SCPI error table g_asErrInfo. `source`
// is 0 for the UI link, 2 for remote control, 9 for the network-status client.
using cb_func = std::function<int(unsigned int source, const google::protobuf::Map<int, Value>& in,
                                  google::protobuf::Map<int, Value>* out)>;

// Base of every manager bound to the hub. A manager offers its operations only
// as handlers under message ids.
class Manager {
public:
    explicit Manager(std::string name) : m_name(std::move(name)) {}
    virtual ~Manager();

    // Inserts one entry per message id the manager serves.
    virtual void getCallbacks(std::map<unsigned int, cb_func>& entries) = 0;

    // Called when a UI notification client connects; managers holding UI state
    // push their current settings. Does nothing by default.
    virtual void onClientConnect() {}

    const std::string& getName() const { return m_name; }

    // A process-wide abort flag for the hub's callers. The remote-control
    // engine does not raise it: its lists run for several clients at once,
    // and a wait inside one hears its own client's abort (ListWait).
    static std::atomic<bool> abort;

protected:
    std::string m_name;
};
