// Function keyword tables of the three command sets.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FuncKeywordTables.h"
#include "inc_enum.h"

namespace {

// A keyword as a command's string parameter carries it, quotes included.
std::string q(const std::string& keyword) {
    return "\"" + keyword + "\"";
}

struct SecondaryTable {
    const char* name;
    const KeywordFuncTable& table;
    int32_t primary;
};

const SecondaryTable kSecondaryTables[] = {
    {"DcvSec", mapStringEnumToFuncForScpiDcvSec, TYPE_DCV},
    {"AcvSec", mapStringEnumToFuncForScpiAcvSec, TYPE_ACV},
    {"DciSec", mapStringEnumToFuncForScpiDciSec, TYPE_DCI},
    {"AciSec", mapStringEnumToFuncForScpiAciSec, TYPE_ACI},
    {"CapSec", mapStringEnumToFuncForScpiCapSec, TYPE_CAP},
    {"Ohm2Sec", mapStringEnumToFuncForScpiOhm2Sec, TYPE_OHM2},
    {"Ohm4Sec", mapStringEnumToFuncForScpiOhm4Sec, TYPE_OHM4},
    {"FreqSec", mapStringEnumToFuncForScpiFreqSec, TYPE_FREQ},
    {"PeriodSec", mapStringEnumToFuncForScpiPeriodSec, TYPE_PERIOD},
};

TEST(FuncKeywordTables, FunctionTextsOfEverySetAgree) {
    for (const FuncTextTable* table : {&mapFuncEnumToStringForVorna, &mapFuncEnumToStringForCorvane,
                                       &mapFuncEnumToString, &mapFuncEnumToStringForPello}) {
        ASSERT_EQ(table->size(), 12u);
        EXPECT_EQ(table->rbegin()->first, TYPE_SENSOR);
    }
    EXPECT_EQ(mapFuncEnumToStringForVorna.at(TYPE_OHM2), "2WR");
    EXPECT_EQ(mapFuncEnumToStringForPello.at(TYPE_ACI), "AAC");
    // Corvane's texts are the command-set texts in quotes, and what the query
    // answers the selection command accepts again.
    for (const auto& [func, text] : mapFuncEnumToString) {
        EXPECT_EQ(mapFuncEnumToStringForCorvane.at(func), q(text));
        EXPECT_EQ(mapStringEnumToFuncForScpi.at(q(text)), func) << text;
    }
}

TEST(FuncKeywordTables, EveryKeyIsOneQuotedKeyword) {
    std::vector<const KeywordFuncTable*> tables = {&mapStringEnumToFuncForScpi};
    for (const SecondaryTable& t : kSecondaryTables) tables.push_back(&t.table);
    for (const KeywordFuncTable* table : tables) {
        for (const auto& [key, func] : *table) {
            ASSERT_GE(key.size(), 3u) << key;
            EXPECT_EQ(key.front(), '"') << key;
            EXPECT_EQ(key.back(), '"') << key;
            EXPECT_EQ(key.find('"', 1), key.size() - 1) << key;
            EXPECT_GE(func, -1);
            EXPECT_LE(func, TYPE_SENSOR);
        }
    }
}

TEST(FuncKeywordTables, SecondaryTablesAreOwnReadingOffAndPrimaryKeywords) {
    for (const SecondaryTable& t : kSecondaryTables) {
        SCOPED_TRACE(t.name);
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
    EXPECT_EQ(mapStringEnumToFuncForScpiAciSec.at(q("PERIOD")), TYPE_PERIOD);
    EXPECT_EQ(mapStringEnumToFuncForScpiDcvSec.count(q("FREQ")) + mapStringEnumToFuncForScpiPeriodSec.count(q("FREQ")) +
                  mapStringEnumToFuncForScpiOhm2Sec.count(q("FRES")) + mapStringEnumToFuncForScpiCapSec.count(q("DCV")),
              0u);
}

} // namespace
