#include "ScpiManage.h"

ScpiManage& ScpiManage::instance() {
    // Never destroyed: transports may still call it while the process ends.
    static ScpiManage* manager = new ScpiManage();
    return *manager;
}

ScpiManage::ScpiManage() : Manager("scpi_manager") {
    Manager::abort = false;
}

void ScpiManage::start() {
    // No parser to initialise yet.
}

void ScpiManage::getCallbacks(std::map<unsigned int, cb_func>& /*entries*/) {
    // The IEEE 488.2, status, error-queue and command-set handlers are not
    // bound yet.
}
