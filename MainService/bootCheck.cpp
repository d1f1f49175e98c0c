#include "bootCheck.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "StorageCore.h"
#include "Util/logger.h"
#include "properties.h"
#include "root_path.h"

namespace {

// The decimal number at the start of the text (after blanks). Text that is no
// number, and a negative number, count as 0; a number too large for an int
// counts as the largest int, so it still reaches the limit.
int parseBootCount(const std::string& text) {
    errno = 0;
    char* end = nullptr;
    long value = std::strtol(text.c_str(), &end, 10);
    if (end == text.c_str() || value < 0) {
        return 0;
    }
    if (errno == ERANGE || value > INT_MAX) {
        return INT_MAX;
    }
    return static_cast<int>(value);
}

} // namespace

void bootCheck() {
    std::string refusal;
    int count = parseBootCount(platform::propertyGet(kBootFlagProperty, &refusal));
    if (!refusal.empty()) {
        PrintE("%s refused: %s", kBootFlagProperty, refusal.c_str());
    }
    PrintI("boot count = %d", count);

    int next = 1;
    if (count < kBootCountLimit) {
        next = count + 1;
    } else {
        PrintE("remove %s", StorageCore::kMirrorPath);
        std::string host = platform::hostPath(StorageCore::kMirrorPath);
        if (::unlink(host.c_str()) != 0 && errno != ENOENT) {
            PrintE("unlink %s failed: %s", StorageCore::kMirrorPath, std::strerror(errno));
        }
    }
    if (!platform::propertySet(kBootFlagProperty, std::to_string(next))) {
        PrintE("set %s to %d failed", kBootFlagProperty, next);
    }
}
