#include "WebPassword.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "DrvScpiErrDef.h"
#include "Util/logger.h"
#include "root_path.h"

namespace WebPassword {

namespace {

constexpr const char* kOpen = "<string name=\"http_authorization_basic\">";
constexpr const char* kClose = "</string>";
constexpr const char* kFactoryToken = "Xb7QpLm2Rt9vWc4=";

bool writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

} // namespace

std::string ResetLine(const std::string& line) {
    const std::string open = kOpen;
    const std::string close = kClose;
    const std::string element = open + kFactoryToken + close;
    std::string out = line;
    size_t from = 0;
    for (;;) {
        const size_t begin = out.find(open, from);
        // The value runs to the last closing tag of the line, as a greedy match.
        const size_t end = begin == std::string::npos ? begin : out.rfind(close);
        if (begin == std::string::npos || end == std::string::npos || end < begin + open.size()) {
            return out;
        }
        out.replace(begin, end + close.size() - begin, element);
        from = begin + element.size();
    }
}

int Reset(const std::string& path) {
    const std::string host = platform::hostPath(path);
    struct stat info;
    if (::stat(host.c_str(), &info) != 0) {
        PrintE("no web-control preferences at %s", path.c_str());
        return errno == ENOENT ? 0 : static_cast<int>(E200_EXECUTION_ERROR);
    }
    std::ifstream in(host, std::ios::binary);
    if (!in) {
        return E200_EXECUTION_ERROR;
    }
    std::string text, line;
    while (std::getline(in, line)) {
        text += ResetLine(line);
        if (!in.eof()) {
            text += '\n';
        }
    }
    const std::string temporary = host + ".tmp";
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, info.st_mode & 07777);
    if (fd < 0) {
        return E200_EXECUTION_ERROR;
    }
    // Owner and mode as before: the app reads the file under its own user.
    bool ok = writeAll(fd, text) && ::fchmod(fd, info.st_mode & 07777) == 0 && ::fsync(fd) == 0;
    if (ok && ::fchown(fd, info.st_uid, info.st_gid) != 0 && errno != EPERM) {
        ok = false;
    }
    ::close(fd);
    if (!ok || std::rename(temporary.c_str(), host.c_str()) != 0) {
        std::remove(temporary.c_str());
        PrintE("web-control preferences not rewritten");
        return E200_EXECUTION_ERROR;
    }
    return 0;
}

} // namespace WebPassword
