// The CSV data file of StorageCore: one header line, the record's fields with
// the first value, then one line per further value.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "CDataManage.h"
#include "FileCore.h"
#include "Singelton.h"
#include "StorageCore.h"
#include "Util/logger.h"

namespace {

constexpr int kSuffixError = 23;
constexpr int kExecutionError = 44;
constexpr int kFieldCount = 7;
constexpr size_t kValueLineCommas = 6;

std::string formatted(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

} // namespace

std::string StorageCore::CsvText(const ProtoDataInfo& info) {
    std::string text = "FUNCTION,RANGE,RATE,UNIT,DATA_MAX,DATA_MIN,DATA\n";
    if (info.mdatabuffer_size() == 0) {
        return text;  // no value to put on the first data line
    }
    text += info.mstrfunctype() + "," + info.mstrrange() + "," + std::to_string(info.ms32rate()) + "," +
            info.mstrunit() + "," + formatted("%e", info.mf64datamax()) + "," +
            formatted("%e", info.mf64datamin()) + "," + formatted("%e", info.mdatabuffer(0)) + "\n";
    for (int i = 1; i < info.mdatabuffer_size(); ++i) {
        text += std::string(kValueLineCommas, ',') + formatted("%e", info.mdatabuffer(i)) + "\n";
    }
    return text;
}

namespace {

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) {
        return "";
    }
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

bool parseNumber(const std::string& field, double& out) {
    const std::string text = trimmed(field);
    char* end = nullptr;
    out = std::strtod(text.c_str(), &end);
    return !text.empty() && end == text.c_str() + text.size();
}

bool parseRate(const std::string& field, int& out) {
    const std::string text = trimmed(field);
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text.c_str(), &end, 10);
    out = static_cast<int>(value);
    return !text.empty() && end == text.c_str() + text.size() && errno == 0 && value >= INT_MIN &&
           value <= INT_MAX;
}

bool parseFirstLine(const std::string& line, ProtoDataInfo& out) {
    std::vector<std::string> fields;
    StorageCore::stringSplit(line, ',', fields);
    int rate = 0;
    double max = 0;
    double min = 0;
    double first = 0;
    if (fields.size() < kFieldCount || !parseRate(fields[2], rate) || !parseNumber(fields[4], max) ||
        !parseNumber(fields[5], min) || !parseNumber(fields[6], first)) {
        return false;
    }
    out.set_mstrfunctype(fields[0]);
    out.set_mstrrange(fields[1]);
    out.set_ms32rate(rate);
    out.set_mstrunit(fields[3]);
    out.set_mf64datamax(max);
    out.set_mf64datamin(min);
    out.add_mdatabuffer(first);
    return true;
}

// A further value line: six separators (not checked), then the number. A
// blank line holds no value.
bool parseValueLine(const std::string& line, ProtoDataInfo& out) {
    const std::string text = trimmed(line);
    if (text.empty()) {
        return true;
    }
    double value = 0;
    if (text.size() <= kValueLineCommas || !parseNumber(text.substr(kValueLineCommas), value)) {
        return false;
    }
    out.add_mdatabuffer(value);
    return true;
}

} // namespace

void StorageCore::stringSplit(const std::string& s, char delim, std::vector<std::string>& out) {
    std::istringstream stream(s);
    std::string piece;
    while (std::getline(stream, piece, delim)) {
        out.push_back(piece);
    }
}

int StorageCore::CsvDataSave(const std::string& path) {
    if (!extensionIs(path, FILE_TYPE_CSV)) {
        return kSuffixError;
    }
    ProtoDataInfo info;
    CDataManage::instance()->ProtoDataInfoGet(info);
    const std::string text = CsvText(info);
    if (!SINGLETON_PTR(FileCore)->FileSave(path, text.data(), static_cast<int>(text.size()), false)) {
        PrintE("File save failed! file = %s", path.c_str());
        return kExecutionError;
    }
    return 0;
}

int StorageCore::FormatProtoDataInfoFromCSVFile(ProtoDataInfo& out, const std::string& path) {
    std::vector<char> bytes;
    // An empty file reads as one without lines.
    if (!SINGLETON_PTR(FileCore)->IsFileExists(path) ||
        (SINGLETON_PTR(FileCore)->GetFileSize(path) > 0 &&
         !SINGLETON_PTR(FileCore)->FileLoad(path, bytes, 0, 0, FileCore::kDataFileMax))) {
        PrintE("%s", ("FileLoad failed[path: " + path + "]").c_str());
        return -1;
    }
    std::istringstream in(std::string(bytes.begin(), bytes.end()));
    std::string line;
    std::getline(in, line);  // the header, not checked
    if (!std::getline(in, line)) {
        return 0;  // only the header: an empty record
    }
    bool ok = parseFirstLine(line, out);
    while (ok && std::getline(in, line)) {
        ok = parseValueLine(line, out);
    }
    if (!ok) {
        PrintE("%s", ("File format error[path: " + path + "]").c_str());
        return -1;
    }
    return 0;
}

int StorageCore::CsvDataLoad(const std::string& path) {
    if (!extensionIs(path, FILE_TYPE_CSV)) {
        return kExecutionError;
    }
    ProtoDataInfo info;
    if (FormatProtoDataInfoFromCSVFile(info, path) != 0) {
        PrintE("load ProtoDataInfo from file failed [%s]", path.c_str());
        return kExecutionError;
    }
    PrintD("func %s range %s unit %s", info.mstrfunctype().c_str(), info.mstrrange().c_str(),
           info.mstrunit().c_str());
    PrintD("%s", info.DebugString().c_str());
    DateInfoSyncToUI(info);
    return 0;
}
