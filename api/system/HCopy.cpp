#include "HCopy.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "DrvScpiErrDef.h"
#include "SystemParams.h"
#include "command_runner.h"
#include "root_path.h"

using namespace SystemParams;

namespace {

enum HCopyId : unsigned int {
    DATA_GET = 0x20002200,
    FORMAT_GET = 0x20002201,
    FORMAT_SET = 0x10002201,
};

constexpr const char* kFormatNames[] = {"PNG", "BMP", "JPG"};
constexpr const char* kFormatOptions[] = {"-p", "-b", "-j"};
constexpr int kFormatCount = 3;

// The whole file, or false when it cannot be read, is empty or too large.
bool readImage(const std::string& host, std::string& bytes) {
    std::ifstream in(host, std::ios::binary | std::ios::ate);
    if (!in) {
        return false;
    }
    const std::streamoff size = in.tellg();
    if (size <= 0 || static_cast<size_t>(size) > HCopy::kImageMax) {
        return false;
    }
    bytes.resize(static_cast<size_t>(size));
    in.seekg(0);
    return static_cast<bool>(in.read(&bytes[0], size));
}

} // namespace

HCopy* HCopy::instance() {
    static HCopy* manager = new HCopy();
    return manager;
}

HCopy::HCopy() : Manager("hcopy_manager") {}

void HCopy::setTimeout(std::chrono::milliseconds timeout) {
    std::lock_guard<std::mutex> lock(_mtx);
    _timeout = timeout;
}

void HCopy::getCallbacks(std::map<unsigned int, cb_func>& entries) {
    entries[FORMAT_GET] = [this](unsigned int s, const ValueMap& in, ValueMap* out) { return cbDataFormatGet(s, in, out); };
    entries[FORMAT_SET] = [this](unsigned int s, const ValueMap& in, ValueMap* out) { return cbDataFormatSet(s, in, out); };
    entries[DATA_GET] = [this](unsigned int s, const ValueMap& in, ValueMap* out) { return cbDataGet(s, in, out); };
}

int HCopy::cbDataFormatGet(unsigned int, const ValueMap&, ValueMap* out) {
    std::lock_guard<std::mutex> lock(_mtx);
    insertStr(*out, itemOf(FORMAT_GET), kFormatNames[mFormat]);
    return 0;
}

int HCopy::cbDataFormatSet(unsigned int, const ValueMap& in, ValueMap*) {
    const Value* arg = findOrLogMissing(in, itemOf(FORMAT_SET));
    if (arg == nullptr) {
        return E109_MISSING_PARAMETER;
    }
    const int format = s32Of(*arg);
    if (format < 0 || format >= kFormatCount) {
        return E221_SETTING_CONFLICT;
    }
    std::lock_guard<std::mutex> lock(_mtx);
    mFormat = format;
    return 0;
}

int HCopy::cbDataGet(unsigned int, const ValueMap&, ValueMap* out) {
    std::lock_guard<std::mutex> lock(_mtx);
    const std::string image = platform::hostPath(kImage);
    // A capture that writes nothing must not hand out the previous image.
    ::unlink(image.c_str());
    platform::CommandRequest request;
    request.argv = {platform::hostPath(kTool), kFormatOptions[mFormat], image};
    request.timeout = _timeout;
    const platform::CommandResult result = platform::runCommand(request);
    if (!result.succeeded()) {
        PrintE("screen capture failed: status %d%s", result.status, result.timedOut ? ", timed out" : "");
        return E200_EXECUTION_ERROR;
    }
    std::string bytes;
    if (!readImage(image, bytes)) {
        PrintE("screen capture left no image");
        return E200_EXECUTION_ERROR;
    }
    std::printf("cbDataGet size=%u\n", static_cast<unsigned>(bytes.size()));
    insertRaw(*out, itemOf(DATA_GET), std::move(bytes));
    return 0;
}
