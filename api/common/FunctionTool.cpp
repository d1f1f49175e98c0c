#include "FunctionTool.h"

#include <sstream>

#include "Util/logger.h"

void FunctionTool::quotationWrap(std::string& s) {
    s.insert(s.begin(), '"');
    s.push_back('"');
}

bool FunctionTool::quotationUnwrap(std::string& s) {
    if (s.size() < 2 || s.front() != '"' || s.back() != '"') {
        return false;
    }
    s = s.substr(1, s.size() - 2);
    return true;
}

void FunctionTool::stringSplit(std::string s, char delimiter, std::vector<std::string>& fields) {
    std::istringstream stream(s);
    std::string field;
    while (std::getline(stream, field, delimiter)) {
        fields.push_back(field);
    }
}

bool FunctionTool::IPArgumentVerify(const std::string& address) {
    PrintD("%s", address.c_str());
    std::vector<std::string> fields;
    stringSplit(address, '.', fields);
    if (fields.size() != 4) {
        PrintE("ip number quantity do not equal to 4");
        return false;
    }
    for (const std::string& field : fields) {
        std::istringstream stream(field);
        int number = 0;
        if (!(stream >> number)) {
            PrintE("ip argument is not a number");
            return false;
        }
        stream >> std::ws;
        if (!stream.eof()) {
            PrintE("ip argument is not a number(tail)");
            return false;
        }
        if (static_cast<unsigned>(number) >= 256) {
            PrintE("ip number not in 0～255");
            return false;
        }
    }
    return true;
}

void FunctionTool::fileExtensionComplete(std::string& name, const std::string& extension) {
    if (extension.empty()) {
        return;
    }
    // The file's own name: a folder on the way ("x.sta/") is not its extension.
    const size_t start = name.rfind('/') == std::string::npos ? 0 : name.rfind('/') + 1;
    // Only the first occurrence counts: "a.csv.csv" is a name whose stem ends
    // in ".csv", and it gets its extension like any other.
    const size_t first = name.find(extension, start);
    if (first == std::string::npos || first + extension.size() != name.size()) {
        name += extension;
    }
}
