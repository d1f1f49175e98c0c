#pragma once
#include <cstdint>
#include <map>

#include "Manager.h"

// The screen-copy manager "hcopy_manager": the image format and the capture
// through the external screen-capture tool. Bound fifth, after storage.
//
// Present so far: the manager and its format setting. The three screen-copy
// handlers come with the screen-copy work.
class HCopy : public Manager {
public:
    // The one manager, created on first use and kept until exit.
    static HCopy* instance();

    void getCallbacks(std::map<unsigned int, cb_func>& entries) override;

private:
    HCopy();

    // 0 PNG, 1 BMP, 2 JPG; in memory only.
    int32_t mFormat = 0;
};
