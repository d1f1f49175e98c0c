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
    const bool ends_with = name.size() >= extension.size() &&
                           name.compare(name.size() - extension.size(), extension.size(), extension) == 0;
    if (!ends_with) {
        name += extension;
    }
}
