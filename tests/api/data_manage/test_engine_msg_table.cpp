// The engine's message table: 202 distinct ids of the engine's groups, none
// shared with another manager, and only ids with a handler bound.
#include <gtest/gtest.h>

#include <set>

#include "CSystemManage.h"
#include "DataManageMsgTable.h"
#include "FunctionManage.h"
#include "HCopy.h"
#include "ScpiManage.h"
#include "Singelton.h"
#include "StorageManage.h"

namespace {

TEST(EngineMsgTable, DistinctIdsOfTheEnginesGroups) {
    std::set<uint32_t> ids;
    std::map<uint32_t, int> byGroup;
    int serviceIds = 0;
    for (const DataManageBinding& b : g_dataManageBindings) {
        SCOPED_TRACE(b.name);
        EXPECT_TRUE(ids.insert(b.id).second);
        if (b.id >= 0x300 && b.id <= 0x31e) {
            ++serviceIds;
            continue;
        }
        uint32_t kind = b.id >> 16;
        EXPECT_TRUE(kind == 0x1000 || kind == 0x2000);
        ++byGroup[(b.id >> 8) & 0xFF];
    }
    EXPECT_EQ(ids.size(), 202u);
    EXPECT_EQ(serviceIds, 27);
    const std::map<uint32_t, int> expected = {{0x04, 1},  {0x06, 37}, {0x08, 1},  {0x0C, 7},  {0x10, 5},
                                              {0x11, 19}, {0x17, 24}, {0x20, 12}, {0x21, 5},  {0x25, 2},
                                              {0x26, 62}};
    EXPECT_EQ(byGroup, expected);
    for (uint32_t unbound : {0x1000061fu, 0x10000621u, 0x10000644u, 0x10000647u, 0x1000110au, 0x31fu, 0x320u}) {
        EXPECT_EQ(ids.count(unbound), 0u) << std::hex << unbound;
    }
}

TEST(EngineMsgTable, BindsOnlyHandledIdsAndNoneOfAnotherManager) {
    std::map<unsigned int, cb_func> engine;
    CDataManage::instance()->getCallbacks(engine);
    std::set<unsigned int> handled;
    for (const DataManageBinding& b : g_dataManageBindings) {
        if (b.handler) handled.insert(b.id);
    }
    std::set<unsigned int> bound;
    for (const auto& entry : engine) bound.insert(entry.first);
    EXPECT_EQ(bound, handled);
    EXPECT_FALSE(bound.empty());

    std::map<unsigned int, cb_func> others;
    Copperwren::Singleton<CSystemManage>::Instance()->getCallbacks(others);
    FunctionManage::instance().getCallbacks(others);
    Copperwren::Singleton<StorageManage>::Instance()->getCallbacks(others);
    HCopy::instance()->getCallbacks(others);
    ScpiManage::instance().getCallbacks(others);
    for (const DataManageBinding& b : g_dataManageBindings) {
        EXPECT_EQ(others.count(b.id), 0u) << b.name;
    }
}

} // namespace
