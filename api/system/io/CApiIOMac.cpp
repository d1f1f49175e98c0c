// The MAC address file of CApiIO: "/vorna/data/mac.conf", a text with the line
// "Mac Addr = hh:hh:hh:hh:hh:hh" among others that belong to other owners.
#include <algorithm>
#include <vector>

#include "CApiIO.h"
#include "FileCore.h"
#include "Singelton.h"
#include "Util/logger.h"

namespace {

constexpr const char* kMacFile = "/vorna/data/mac.conf";
constexpr const char* kMacKey = "Mac Addr = ";
constexpr size_t kMacLength = 17;
constexpr size_t kMacLineMax = 127;
constexpr int kErrFileWrite = 74;

std::string loadMacFile() {
    std::vector<char> data;
    if (!Copperwren::Singleton<FileCore>::Instance()->FileLoad(kMacFile, data, 0, 0)) {
        return std::string();
    }
    return std::string(data.begin(), data.end());
}

} // namespace

int CApiIO::ApiUtility_GetMac(std::string& out) {
    out.clear();
    const std::string text = loadMacFile();
    const size_t key = text.find(kMacKey);
    if (key != std::string::npos) {
        const size_t begin = key + std::char_traits<char>::length(kMacKey);
        out = text.substr(begin, kMacLength);
        out.erase(std::min(out.find_first_of("\r\n"), out.size()));
    }
    PrintI("strMac = %s", out.c_str());
    return 0;
}

int CApiIO::ApiUtility_SetMac(const std::string& mac) {
    std::string text = loadMacFile();
    std::string line = std::string(kMacKey) + mac;
    if (line.size() > kMacLineMax) {
        line.resize(kMacLineMax);
    }
    const size_t begin = text.find(kMacKey);
    if (begin == std::string::npos) {
        if (!text.empty() && text.back() != '\n') {
            text += '\n';
        }
        text += line + '\n';
    } else {
        // The whole old line goes, whatever its length; the lines after it stay.
        const size_t end = text.find('\n', begin);
        text.replace(begin, end == std::string::npos ? std::string::npos : end - begin, line);
        PrintI("macBegin=%d, %s\n", static_cast<int>(begin), mac.c_str());
    }
    if (!Copperwren::Singleton<FileCore>::Instance()->FileSave(kMacFile, text.data(), static_cast<int>(text.size()),
                                                               false)) {
        PrintE("cannot write %s", kMacFile);
        return kErrFileWrite;
    }
    return 0;
}
