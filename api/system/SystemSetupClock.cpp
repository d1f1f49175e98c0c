// The clock and the reboot count of SystemSetup.
#include <cerrno>
#include <cstdlib>
#include <vector>

#include "CFEM.h"
#include "CommonSimpleFunc.h"
#include "FileCore.h"
#include "Singelton.h"
#include "DrvScpiErrDef.h"
#include "SystemSetup.h"
#include "Util/logger.h"
#include "system_clock.h"

namespace {


// Reads 1 to `maxDigits` decimal digits at `pos` into `value`.
bool readField(const std::string& text, size_t& pos, size_t maxDigits, int& value) {
    size_t begin = pos;
    value = 0;
    while (pos < text.size() && pos - begin < maxDigits && text[pos] >= '0' && text[pos] <= '9') {
        value = value * 10 + (text[pos++] - '0');
    }
    return pos > begin;
}

bool expect(const std::string& text, size_t& pos, char c) {
    if (pos < text.size() && text[pos] == c) {
        ++pos;
        return true;
    }
    return false;
}

} // namespace

bool SystemSetup::ParseTimeText(const std::string& text, time_t& stamp) {
    int year, month, day, hour, minute, second;
    size_t pos = 0;
    bool ok = readField(text, pos, 4, year) && expect(text, pos, '-') && readField(text, pos, 2, month) &&
              expect(text, pos, '-') && readField(text, pos, 2, day) && expect(text, pos, ' ') &&
              readField(text, pos, 2, hour) && expect(text, pos, ':') && readField(text, pos, 2, minute) &&
              expect(text, pos, ':') && readField(text, pos, 2, second) && pos == text.size();
    if (!ok || year < 1970 || month < 1 || month > 12 || day < 1 || hour > 23 || minute > 59 || second > 59) {
        return false;
    }
    struct tm fields = {};
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_sec = second;
    fields.tm_isdst = -1;
    const time_t t = mktime(&fields);
    // mktime normalises: 31 April, 29 February of a common year or an hour
    // skipped by daylight saving come back as other fields.
    if (t == static_cast<time_t>(-1) || fields.tm_year != year - 1900 || fields.tm_mon != month - 1 ||
        fields.tm_mday != day || fields.tm_hour != hour || fields.tm_min != minute || fields.tm_sec != second) {
        return false;
    }
    stamp = t;
    return true;
}

int SystemSetup::API_SetSystemTime(const std::string& text) {
    time_t stamp = 0;
    if (!ParseTimeText(text, stamp)) {
        PrintE("time text refused: %s", text.c_str());
        return E222_DATA_OUT_OF_RANGE;
    }
    if (!platform::clockSet(stamp)) {
        PrintE("clock not set: %s", text.c_str());
        return E200_EXECUTION_ERROR;
    }
    google::protobuf::Map<int, Value> map;
    insertStr(map, ON_SYSTEM_TIME_CHANGED, text.c_str());
    CFEM::pushMessage(ON_SYSTEM_TIME_CHANGED, std::move(map));
    return 0;
}

std::string SystemSetup::API_GetSystemTime() {
    std::string text;
    Copperwren::GetCSTTimeFormat(static_cast<long>(platform::clockNow()), text);
    return text;
}

int SystemSetup::API_GetSystemRebootCount(int& count) {
    std::vector<char> data;
    if (!Copperwren::Singleton<FileCore>::Instance()->FileLoad(kBootRecordPath, data, 0, 0)) {
        PrintE("FileLoad failed");
        return E200_EXECUTION_ERROR;
    }
    const std::string text(data.begin(), data.end());
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (end == text.c_str() || errno != 0 || value < 0 || value > INT32_MAX) {
        PrintE("boot record holds no count");
        return E200_EXECUTION_ERROR;
    }
    count = static_cast<int>(value);
    return 0;
}
