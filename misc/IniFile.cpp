#include "IniFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "AnalyzeIni.h"
#include "Util/logger.h"
#include "bounded_file.h"
#include "orphan_files.h"
#include "root_path.h"

namespace Copperwren {

namespace {

// A line is kept unless it is empty, blank, or a ";" comment.
bool isContentLine(const std::string& line) {
    const size_t first = line.find_first_not_of(" \t");
    return first != std::string::npos && line[first] != ';';
}

std::vector<std::string> contentLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(start, end - start);
        if (isContentLine(line)) {
            lines.push_back(std::move(line));
        }
        start = end + 1;
    }
    return lines;
}

// The name of a save's temporary file: the target's name and this, whose
// six X are replaced by letters and digits.
constexpr const char kTemporarySuffix[] = ".tmpXXXXXX";

// A line feed would start a new line in the saved file; a carriage return is
// an ordinary character of the value (files edited with CRLF line ends keep
// it at the end of each value and must be writable back).
bool hasLineFeed(const char* text) {
    return text != nullptr && std::strchr(text, '\n') != nullptr;
}

bool writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Makes a finished rename durable; not every file system supports it, so a
// failure here is not reported.
void syncFolderOf(const std::string& host_path) {
    const size_t slash = host_path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : host_path.substr(0, slash));
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

} // namespace

bool IniFile::Open(const char* path) {
    if (path == nullptr) {
        return false;
    }
    m_strFileName = path;
    std::string text;
    std::string why;
    // Regular files of a sane size only: anything else is left unread, as a
    // missing file is.
    const platform::FileRead read =
        platform::readBoundedFile(platform::hostPath(m_strFileName), platform::kIniFileMax, text, &why);
    if (read == platform::FileRead::Refused) {
        PrintE("%s refused: %s", m_strFileName.c_str(), why.c_str());
    }
    if (read != platform::FileRead::Ok) {
        return false;
    }
    const std::vector<std::string> lines = contentLines(text);
    if (lines.empty()) {
        return false;
    }
    m_itemMap.clear();
    AnalyzeIni analyze(this);
    for (const std::string& line : lines) {
        analyze(line);
    }
    return !m_itemMap.empty();
}

std::string IniFile::render() const {
    std::string text;
    for (const auto& section : m_itemMap) {
        text += "[" + section.first + "]\n";
        for (const IniItem& item : section.second) {
            text += item.m_strName + " = " + item.m_strValue + "\n";
        }
    }
    return text;
}

bool IniFile::SaveFile(const std::string& path) {
    if (path.empty()) {
        return false;
    }
    // The new content goes to a temporary file beside the target, reaches the
    // disk, and only then replaces the target by rename: a power cut at any
    // moment leaves either the old or the new file, never a cut-off one.
    const std::string target = platform::hostPath(path);
    std::string temp = target + kTemporarySuffix;
    const int fd = ::mkostemp(&temp[0], O_CLOEXEC);
    if (fd < 0) {
        PrintE("ini save %s failed: %s", path.c_str(), std::strerror(errno));
        return false;
    }
    struct stat old_stat;
    const mode_t mode = ::stat(target.c_str(), &old_stat) == 0 ? (old_stat.st_mode & 07777) : 0644;
    bool ok = ::fchmod(fd, mode) == 0 && writeAll(fd, render()) && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    ok = ok && ::rename(temp.c_str(), target.c_str()) == 0;
    if (!ok) {
        PrintE("ini save %s failed: %s", path.c_str(), std::strerror(errno));
        ::unlink(temp.c_str());
        return false;
    }
    syncFolderOf(target);
    return true;
}

bool IniFile::SaveAs(const char* path) {
    if (path == nullptr || *path == '\0' || m_itemMap.empty()) {
        return false;
    }
    return SaveFile(path);
}

const IniItem* IniFile::findItem(const char* section, const char* key) const {
    if (key == nullptr) {
        return nullptr;
    }
    const auto found = m_itemMap.find(section == nullptr ? std::string() : std::string(section));
    if (found == m_itemMap.end()) {
        return nullptr;
    }
    for (const IniItem& item : found->second) {
        if (item.m_strName == key) {
            return &item;
        }
    }
    return nullptr;
}

const char* IniFile::ReadString(const char* section, const char* key, const char* def) const {
    const IniItem* item = findItem(section, key);
    return item == nullptr ? def : item->m_strValue.c_str();
}

int IniFile::ReadInt(const char* section, const char* key, int def) const {
    const IniItem* item = findItem(section, key);
    if (item == nullptr) {
        return def;
    }
    // As atoi reads it, but a number beyond int saturates instead of being
    // undefined.
    const long value = std::strtol(item->m_strValue.c_str(), nullptr, 10);
    if (value > INT_MAX) {
        return INT_MAX;
    }
    if (value < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(value);
}

bool IniFile::WriteString(const char* section, const char* key, const char* value) {
    if (section == nullptr || key == nullptr) {
        return false;
    }
    if (hasLineFeed(section) || hasLineFeed(key) || hasLineFeed(value)) {
        PrintE("ini item refused: line feed in section, key or value");
        return false;
    }
    setItem(section, key, value == nullptr ? "" : value);
    return true;
}

bool IniFile::WriteInt(const char* section, const char* key, int value) {
    return WriteString(section, key, std::to_string(value).c_str());
}

void IniFile::setItem(const std::string& section, const std::string& key, const std::string& value) {
    ItemArray& items = m_itemMap[section];
    for (IniItem& item : items) {
        if (item.m_strName == key) {
            item.m_strValue = value;
            return;
        }
    }
    items.push_back(IniItem{key, value});
}

std::vector<std::string> IniFile::RemoveTemporaries(const std::string& path) {
    const auto parts = platform::splitPath(path);
    const std::string prefix = parts.second + ".tmp";
    const size_t random = sizeof(kTemporarySuffix) - 1 - 4;
    return platform::removeFilesIf(parts.first, [&](const std::string& name) {
        return name.size() == prefix.size() + random && name.compare(0, prefix.size(), prefix) == 0 &&
               std::all_of(name.begin() + prefix.size(), name.end(),
                           [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; });
    });
}

} // namespace Copperwren
