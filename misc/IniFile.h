#pragma once
#include <map>
#include <string>
#include <deque>
#include <vector>

namespace Copperwren {

class AnalyzeIni;

// One "name = value" item of an ini section.
struct IniItem {
    std::string m_strName;
    std::string m_strValue;
};

// An ini file held in memory: sections of named text values, read from and
// written back to disk as a whole. Used by one thread at a time.
class IniFile {
public:
    using ItemArray = std::deque<IniItem>; // appends keep earlier items in place
    using ItemIt = ItemArray::iterator;
    using ItemMap = std::map<std::string, ItemArray>;
    using ItemMapIt = ItemMap::iterator;

    IniFile() = default;
    ~IniFile() = default;

    // Loads a system path. True when the content afterwards holds a section;
    // a file that cannot be read or yields no line keeps the old content.
    bool Open(const char* path);
    // Replaces the file at a system path with the whole content, atomically:
    // the old file stays whole until the new one is complete on disk.
    bool SaveFile(const std::string& path);
    // False for a null or empty path or an empty content, else SaveFile.
    bool SaveAs(const char* path);

    // The first item `key` of `section` (null: the empty name), or `def`. The
    // text stays valid until the item changes or the content is replaced.
    const char* ReadString(const char* section, const char* key, const char* def) const;
    // The same lookup read as a decimal integer (leading digits, 0 without).
    int ReadInt(const char* section, const char* key, int def) const;

    // Replaces the first item of that name or appends a new one. Refuses
    // (false) null names and any text holding a line feed, which would
    // inject further lines into the saved file.
    bool WriteString(const char* section, const char* key, const char* value);
    bool WriteInt(const char* section, const char* key, int value);

    const std::string& fileName() const { return m_strFileName; }

    // Removes the temporary files that saves of `path` left behind when cut
    // off before their rename (a power cut); returns their names. For
    // start-up, before the file is opened.
    static std::vector<std::string> RemoveTemporaries(const std::string& path);

private:
    friend class AnalyzeIni;

    // Sets the item without the checks of WriteString (the parser's lines
    // cannot hold a line feed).
    void setItem(const std::string& section, const std::string& key, const std::string& value);
    const IniItem* findItem(const char* section, const char* key) const;
    std::string render() const;

    std::string m_strFileName;
    ItemMap m_itemMap;
};

} // namespace Copperwren
