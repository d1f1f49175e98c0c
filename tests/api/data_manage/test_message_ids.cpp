// Message ids are written in three places that nothing else holds together:
// the command trees, the managers' handler tables and the UI app. A slip
// leaves a command that only ever answers -101, a handler no client can call,
// or a second binding of an id that the hub silently ignores.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "CDataManage.h"
#include "CSystemManage.h"
#include "FunctionManage.h"
#include "HCopy.h"
#include "ScpiCmdSetTables.h"
#include "ScpiManage.h"
#include "Singelton.h"
#include "StorageManage.h"

namespace {

// Tree commands that are meant to reach no handler: the hub answers them -101.
const std::set<uint32_t> kTreeIdsLeftUnhandled = {
    0x0,  // Pello RANGE2?: a row without a message
    0x10001C01,  // ABORt: the transports act on it before anything reaches the hub
    // Corvane: CALCulate:STATe, AC resolution, NPLCycles, TRIGger:DELay
    0x31F, 0x320,
    0x1000061F, 0x10000621, 0x10000644, 0x10000645, 0x10000646, 0x10000647,
    0x2000061F, 0x20000621, 0x20000644, 0x20000645, 0x20000646, 0x20000647,
    0x1000110A, 0x1000110B, 0x2000110A, 0x2000110B,
    // Pello: the front-panel words
    0x10001F00, 0x10001F01, 0x10001F03, 0x10001F04, 0x10001F05, 0x10001F06, 0x10001F07, 0x10001F08,
    0x10001F09, 0x10001F0A, 0x10001F0C, 0x10001F0D, 0x10001F0E, 0x10001F0F, 0x10001F10, 0x10001F12,
    0x10001F13, 0x10001F17, 0x10001F18, 0x10001F19, 0x10001F1A, 0x20001F05, 0x20001F0B, 0x20001F0E,
    0x20001F11, 0x20001F12, 0x20001F13, 0x20001F14, 0x20001F19, 0x20001F1A, 0x20001F1B, 0x20001F1C,
};

// Handlers that only the UI app calls: no command tree names them.
const std::set<uint32_t> kUiOnlyIds = {
    // math by service id
    0x300, 0x303, 0x304, 0x305, 0x308, 0x309, 0x311, 0x312, 0x313, 0x314, 0x31C, 0x31D, 0x31E,
    0x1000040A, 0x10000810, 0x10001002, 0x10002629, 0x20002629,
    // measurement settings
    0x1000062E, 0x1000062F, 0x10000632, 0x10000635, 0x1000063C, 0x1000063D, 0x1000063E, 0x10000643,
    0x10000648, 0x1000065E, 0x10000662, 0x10000663, 0x10000664, 0x10000665, 0x10000666, 0x10000667,
    0x10000668, 0x10000669, 0x1000066E, 0x1000066F, 0x20000635, 0x20000642, 0x20000643, 0x20000648,
    0x2000065E, 0x20000662, 0x20000663, 0x20000664, 0x20000665, 0x20000666, 0x20000667, 0x20000668,
    0x20000669, 0x2000066E, 0x2000066F,
    // file operations
    0x10000F03, 0x10000F04, 0x10000F07, 0x10000F09, 0x10000F0A, 0x10000F0B, 0x10000F12, 0x10000F13,
    0x10000F14, 0x10000F16, 0x10000F18, 0x10000F19, 0x10000F1A, 0x10000F1B, 0x10000F1F, 0x20000F1E,
    // trigger
    0x10001100, 0x10001101, 0x10001102, 0x10001103, 0x10001105, 0x10001107, 0x10001109, 0x20001100,
    0x20001101, 0x20001102, 0x20001103, 0x20001107, 0x20001109,
    // system
    0x10001214, 0x1000121D, 0x10001228, 0x1000122A, 0x1000122C, 0x1000122F, 0x10001232, 0x10001236,
    0x1000123F, 0x10001243, 0x20001203, 0x20001227, 0x20001229, 0x2000122B, 0x2000122D, 0x2000122E,
    0x20001230,
    // sensors
    0x10001700, 0x10001701, 0x10001702, 0x10001703, 0x10001704, 0x10001705, 0x10001706, 0x10001707,
    0x10001708, 0x10001709, 0x1000170A, 0x1000170B, 0x1000170C, 0x1000170D, 0x1000170E, 0x10001712,
    0x20001700, 0x20001701, 0x20001709, 0x2000170A, 0x2000170B, 0x20001712,
};

// Id -> manager, over every manager the service binds.
std::map<uint32_t, std::string> boundIds() {
    Manager* managers[] = {Copperwren::Singleton<CSystemManage>::Instance(), &FunctionManage::instance(),
                           CDataManage::instance(), Copperwren::Singleton<StorageManage>::Instance(),
                           HCopy::instance(), &ScpiManage::instance()};
    std::map<uint32_t, std::string> bound;
    for (Manager* manager : managers) {
        std::map<unsigned int, cb_func> entries;
        manager->getCallbacks(entries);
        for (const auto& entry : entries) {
            auto [at, fresh] = bound.emplace(entry.first, manager->getName());
            EXPECT_TRUE(fresh) << std::hex << entry.first << " bound by " << at->second << " and "
                               << manager->getName();
        }
    }
    return bound;
}

// Id -> "set: path" of the first listed command that sends it, in every set.
std::map<uint32_t, std::string> treeIds() {
    std::map<uint32_t, std::string> ids;
    for (int32_t set = 0; set < SCP_CMD_SET_NUM; ++set) {
        const ScpiCmdSetTables* tables = ScpiCmdSetTablesGet(set);
        for (uint16_t i = 0; i < tables->u16ListedCmdNum; ++i) {
            const ScpiListedCmd& cmd = tables->pastListedCmd[i];
            ids.emplace(cmd.u32FuncId, std::to_string(set) + ": " + cmd.ps8Path);
        }
    }
    return ids;
}

TEST(MessageIds, EveryTreeIdHasAHandlerAndEveryHandlerACaller) {
    const std::map<uint32_t, std::string> bound = boundIds();
    const std::map<uint32_t, std::string> trees = treeIds();
    ASSERT_FALSE(bound.empty());
    ASSERT_FALSE(trees.empty());
    for (const auto& [id, path] : trees) {
        EXPECT_TRUE(bound.count(id) || kTreeIdsLeftUnhandled.count(id)) << std::hex << id << " " << path;
    }
    for (const auto& [id, manager] : bound) {
        EXPECT_TRUE(trees.count(id) || kUiOnlyIds.count(id)) << std::hex << id << " of " << manager;
    }
    // Both lists stay exact: an entry that gained a handler or a tree row leaves them.
    for (uint32_t id : kTreeIdsLeftUnhandled) {
        EXPECT_TRUE(trees.count(id) && !bound.count(id)) << std::hex << id;
    }
    for (uint32_t id : kUiOnlyIds) {
        EXPECT_TRUE(bound.count(id) && !trees.count(id)) << std::hex << id;
    }
}

} // namespace
