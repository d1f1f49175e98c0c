#include "DrvScpiOsIntf.h"

std::recursive_mutex& SCP_LibMutex() {
    // Never destroyed: threads that outlive static destruction may still
    // report errors at exit.
    static std::recursive_mutex* mutex = new std::recursive_mutex();
    return *mutex;
}
