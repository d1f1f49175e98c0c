#include "AnalyzeIni.h"

#include "IniFile.h"

namespace Copperwren {

namespace {

// Only the space and the tab count as blanks in ini files; a carriage return
// is an ordinary character.
const char* const kBlanks = " \t";

std::string trimBlanks(const std::string& text) {
    const size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string::npos) {
        return std::string();
    }
    const size_t last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

// Cuts an inline comment off a value. A marker needs a blank in front of it,
// and only markers from the first non-blank character on count, so "a#b",
// "x://y" and a value that begins with "#" stay whole. The markers are tried
// in a fixed order and the first one found anywhere wins.
std::string cutInlineComment(const std::string& value) {
    const size_t first = value.find_first_not_of(kBlanks);
    if (first == std::string::npos) {
        return value;
    }
    static const char* const kMarkers[] = {"\t#", " #", "\t//", " //"};
    for (const char* marker : kMarkers) {
        const size_t pos = value.find(marker, first);
        if (pos != std::string::npos) {
            return value.substr(0, pos);
        }
    }
    return value;
}

} // namespace

void AnalyzeIni::operator()(const std::string& line) {
    const size_t first = line.find_first_not_of(kBlanks);
    if (first != std::string::npos && line[first] == '[') {
        const size_t close = line.rfind(']');
        if (close != std::string::npos && close > first) {
            m_strDomain = line.substr(first + 1, close - first - 1);
            return;
        }
    }
    if (m_strDomain.empty()) {
        return;
    }
    const size_t equals = line.find('=');
    if (equals == std::string::npos) {
        return;
    }
    const std::string name = trimBlanks(line.substr(0, equals));
    if (name.empty()) {
        return;
    }
    const std::string value = trimBlanks(cutInlineComment(line.substr(equals + 1)));
    m_pIniFile->setItem(m_strDomain, name, value);
}

} // namespace Copperwren
