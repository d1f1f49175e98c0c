#pragma once
#include <string>

namespace Copperwren {

class IniFile;

// Parses the lines of an ini file, one call per line in file order, into an
// IniFile: section lines set the current section, "name = value" lines below
// a named section become items. Comment and blank lines are dropped by the
// caller before they get here.
class AnalyzeIni {
public:
    explicit AnalyzeIni(IniFile* file) : m_pIniFile(file) {}

    void operator()(const std::string& line);

private:
    std::string m_strDomain;   // current section, empty until the first one
    IniFile* m_pIniFile;       // not owned
};

} // namespace Copperwren
