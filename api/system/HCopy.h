#pragma once
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>

#include "Manager.h"

// The screen-copy manager "hcopy_manager": the image format and the capture
// through the external screen-capture tool. Bound fifth, after storage.
class HCopy : public Manager {
public:
    static constexpr const char* kTool = "/vorna/tools/screencap_vorna";
    static constexpr const char* kImage = "/mnt/tmp/screencap.tmp";
    // Larger images are refused rather than cut.
    static constexpr size_t kImageMax = 64u << 20;

    // The one manager, created on first use and kept until exit.
    static HCopy* instance();

    void getCallbacks(std::map<unsigned int, cb_func>& entries) override;

    int cbDataFormatGet(unsigned int source, const google::protobuf::Map<int, Value>& in,
                        google::protobuf::Map<int, Value>* out);
    int cbDataFormatSet(unsigned int source, const google::protobuf::Map<int, Value>& in,
                        google::protobuf::Map<int, Value>* out);
    // Runs the tool and answers the whole image: 0, or 44 when the tool
    // fails, exceeds the time-out or leaves no image.
    int cbDataGet(unsigned int source, const google::protobuf::Map<int, Value>& in,
                  google::protobuf::Map<int, Value>* out);

    // How long the tool may run before it is killed (tests shorten it).
    void setTimeout(std::chrono::milliseconds timeout);

private:
    HCopy();

    // Guards the format and serialises captures (UI and remote control share
    // the one temporary file).
    std::mutex _mtx;
    // 0 PNG, 1 BMP, 2 JPG; in memory only.
    int32_t mFormat = 0;
    std::chrono::milliseconds _timeout{10000};
};
