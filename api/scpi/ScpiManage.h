#pragma once
#include <map>

#include "Manager.h"

// The remote-control manager "scpi_manager": the SCPI command engine shared by
// the socket, USBTMC and VXI-11 transports, and the handlers of the IEEE 488.2
// common commands, status registers, error queue and command-set selection.
// Bound last, after the servers have started.
//
// Present so far: the manager itself. The parser, the executor and the 29
// handlers come with the SCPI engine.
class ScpiManage : public Manager {
public:
    // The one engine, created on first use and kept until exit.
    static ScpiManage& instance();

    // Links the parser to the executor and initialises the parser; called once
    // at start-up before the manager is bound.
    void start();

    void getCallbacks(std::map<unsigned int, cb_func>& entries) override;

private:
    ScpiManage();
};
