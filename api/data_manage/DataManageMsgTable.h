#pragma once
// The engine's message ids, one row each, with the member that handles it.
// A row with a null handler stays unbound, so the hub answers its id as it
// answers any unknown id.

#include <cstddef>
#include <cstdint>

#include "CDataManage.h"

struct DataManageBinding {
    uint32_t id;
    const char* name;
    CDataManage::Handler handler;  // nullptr: unbound
};

constexpr size_t kDataManageBindingCount = 202;
extern const DataManageBinding g_dataManageBindings[kDataManageBindingCount];
