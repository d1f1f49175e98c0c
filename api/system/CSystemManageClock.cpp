// The clock and reboot-count handlers of CSystemManage: the whole time text,
// and the date and the time by parts as remote control sets and reads them.
#include "CSystemManage.h"
#include "DrvScpiErrDef.h"
#include "Singelton.h"
#include "SystemParams.h"
#include "SystemSetup.h"

using namespace SystemParams;

namespace {

SystemSetup& setup() { return *Copperwren::Singleton<SystemSetup>::Instance(); }

enum ClockId : unsigned int {
    SYSTEM_TIME_SET = 0x1000122f,
    SYSTEM_TIME_GET = 0x20001230,
    REBOOT_COUNT_GET = 0x20001231,
    DATE_SET = 0x10001237,
    DATE_GET = 0x20001237,
    TIME_SET = 0x1000123b,
    TIME_GET = 0x2000123b,
};

// The three parts under consecutive keys from `first`, taken as given
// (texts); false when one is missing.
bool threeParts(const ValueMap& in, int first, std::string (&parts)[3]) {
    for (int i = 0; i < 3; ++i) {
        const Value* arg = findOrLogMissing(in, first + i);
        if (arg == nullptr) {
            return false;
        }
        parts[i] = textOf(*arg);
    }
    return true;
}

int systemTimeSet(unsigned int, const ValueMap& in, ValueMap*) {
    const Value* arg = findOrLogMissing(in, itemOf(SYSTEM_TIME_SET));
    if (arg == nullptr) {
        return E109_MISSING_PARAMETER;
    }
    const std::string text = textOf(*arg);
    PrintI("Set time : %s", text.c_str());
    return setup().API_SetSystemTime(text);
}

int systemTimeGet(unsigned int, const ValueMap&, ValueMap* out) {
    insertStr(*out, itemOf(SYSTEM_TIME_GET), setup().API_GetSystemTime().c_str());
    return 0;
}

int rebootCountGet(unsigned int, const ValueMap&, ValueMap* out) {
    int count = 0;
    if (int rc = setup().API_GetSystemRebootCount(count)) {
        return rc;
    }
    insertS32(*out, itemOf(REBOOT_COUNT_GET), count);
    return 0;
}

int dateSet(unsigned int, const ValueMap& in, ValueMap*) {
    std::string parts[3];
    if (!threeParts(in, 0x1238, parts)) {
        return E109_MISSING_PARAMETER;
    }
    const std::string now = setup().API_GetSystemTime();
    const size_t blank = now.find(' ');
    const std::string clock = blank == std::string::npos ? std::string() : now.substr(blank);
    return setup().API_SetSystemTime(parts[0] + "-" + parts[1] + "-" + parts[2] + clock);
}

int timeSet(unsigned int, const ValueMap& in, ValueMap*) {
    std::string parts[3];
    if (!threeParts(in, 0x123C, parts)) {
        return E109_MISSING_PARAMETER;
    }
    const std::string now = setup().API_GetSystemTime();
    return setup().API_SetSystemTime(now.substr(0, now.find(' ')) + " " + parts[0] + ":" + parts[1] + ":" + parts[2]);
}

// "a<sep>bb<sep>c": a, the two characters after the first separator, and
// everything after the last one.
void splitParts(const std::string& text, char sep, std::string (&parts)[3]) {
    const size_t first = text.find(sep);
    const size_t last = text.rfind(sep);
    parts[0] = text.substr(0, first);
    parts[1] = first == std::string::npos ? std::string() : text.substr(first + 1, 2);
    parts[2] = last == std::string::npos ? std::string() : text.substr(last + 1);
}

int dateGet(unsigned int, const ValueMap&, ValueMap* out) {
    const std::string now = setup().API_GetSystemTime();
    std::string parts[3];
    splitParts(now.substr(0, now.find(' ')), '-', parts);
    const std::string reply = "+" + parts[0] + ",+" + parts[1] + ",+" + parts[2];
    insertStr(*out, itemOf(DATE_GET), reply.c_str());
    return 0;
}

int timeGet(unsigned int, const ValueMap&, ValueMap* out) {
    const std::string now = setup().API_GetSystemTime();
    const size_t blank = now.find(' ');
    std::string parts[3];
    splitParts(blank == std::string::npos ? std::string() : now.substr(blank + 1), ':', parts);
    const std::string reply = parts[0] + "," + parts[1] + "," + parts[2];
    insertStr(*out, itemOf(TIME_GET), reply.c_str());
    return 0;
}

} // namespace

void CSystemManage::bindClockHandlers(std::map<unsigned int, cb_func>& entries) {
    entries[SYSTEM_TIME_SET] = systemTimeSet;
    entries[SYSTEM_TIME_GET] = systemTimeGet;
    entries[REBOOT_COUNT_GET] = rebootCountGet;
    entries[DATE_SET] = dateSet;
    entries[DATE_GET] = dateGet;
    entries[TIME_SET] = timeSet;
    entries[TIME_GET] = timeGet;
}
