// The engine's message table binds only ids with a handler, none of them
// shared with another manager.
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
