// Function keyword tables of the three command sets.
#include <gtest/gtest.h>

#include <string>

#include "FuncKeywordTables.h"
#include "inc_enum.h"

namespace {

// A keyword as a command's string parameter carries it, quotes included.
std::string q(const std::string& keyword) { return "\"" + keyword + "\""; }

TEST(FuncKeywordTables, QueryTextsAreAcceptedBackAndEveryKeyIsOneQuotedKeyword) {
    // Corvane's texts are the command-set texts in quotes, and what the query
    // answers the selection command accepts again.
    for (const auto& [func, text] : mapFuncEnumToString) {
        EXPECT_EQ(mapFuncEnumToStringForCorvane.at(func), q(text));
        EXPECT_EQ(mapStringEnumToFuncForScpi.at(q(text)), func) << text;
    }
    for (const auto& [key, func] : mapStringEnumToFuncForScpi) {
        ASSERT_GE(key.size(), 3u) << key;
        EXPECT_EQ(key.front(), '"') << key;
        EXPECT_EQ(key.find('"', 1), key.size() - 1) << key;
        EXPECT_GE(func, -1);
        EXPECT_LE(func, TYPE_SENSOR);
    }
}

TEST(FuncKeywordTables, SecondaryTablesAreOwnReadingOffAndPrimaryKeywords) {
    const struct { const KeywordFuncTable& table; int32_t primary; } tables[] = {
        {mapStringEnumToFuncForScpiDcvSec, TYPE_DCV},   {mapStringEnumToFuncForScpiAcvSec, TYPE_ACV},
        {mapStringEnumToFuncForScpiDciSec, TYPE_DCI},   {mapStringEnumToFuncForScpiAciSec, TYPE_ACI},
        {mapStringEnumToFuncForScpiCapSec, TYPE_CAP},   {mapStringEnumToFuncForScpiOhm2Sec, TYPE_OHM2},
        {mapStringEnumToFuncForScpiOhm4Sec, TYPE_OHM4}, {mapStringEnumToFuncForScpiFreqSec, TYPE_FREQ},
        {mapStringEnumToFuncForScpiPeriodSec, TYPE_PERIOD},
    };
    for (const auto& t : tables) {
        SCOPED_TRACE(t.primary);
        EXPECT_EQ(t.table.at(q("CALC:DATA")), t.primary);
        EXPECT_EQ(t.table.at(q("CALCulate:DATA")), t.primary);
        EXPECT_EQ(t.table.at(q("OFF")), -1);
        EXPECT_EQ(t.table.count(q("TEMP")), 0u);  // temperature is a primary function only
        for (const auto& [key, func] : t.table) {
            if (key == q("CALC:DATA") || key == q("CALCulate:DATA")) continue;
            auto primary = mapStringEnumToFuncForScpi.find(key);
            ASSERT_NE(primary, mapStringEnumToFuncForScpi.end()) << key;
            EXPECT_EQ(func, primary->second) << key;
        }
    }
    // Each holds only its group; the pair check comes later, so the DC voltage
    // table still translates AC current.
    EXPECT_EQ(mapStringEnumToFuncForScpiDcvSec.at(q("ACI")), TYPE_ACI);
    EXPECT_EQ(mapStringEnumToFuncForScpiDcvSec.count(q("FREQ")) + mapStringEnumToFuncForScpiPeriodSec.count(q("FREQ")) +
                  mapStringEnumToFuncForScpiOhm2Sec.count(q("FRES")) + mapStringEnumToFuncForScpiCapSec.count(q("DCV")),
              0u);
}

} // namespace
