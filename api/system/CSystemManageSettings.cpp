// The system settings and identity handlers of CSystemManage. Families of
// alike handlers are rows of a table bound through one function each.
#include <atomic>

#include "CApiIO.h"
#include "CDataManage.h"
#include "CSystemManage.h"
#include "CThreadPool.h"
#include "DrvScpiErrDef.h"
#include "FunctionTool.h"
#include "Singelton.h"
#include "SystemParams.h"
#include "SystemSetup.h"

using namespace SystemParams;

namespace {

SystemSetup& setup() { return *Copperwren::Singleton<SystemSetup>::Instance(); }
CApiIO& io() { return *Copperwren::Singleton<CApiIO>::Instance(); }
const char* onOff(bool on) { return on ? "on" : "off"; }

constexpr int kLanguageCount = SystemSetup::kLanguageCount;
constexpr const char* kLanguageWords[kLanguageCount] = {"ENGL", "CHIN", "TRCH", "PORT", "GERM", "POL",  "KOR",
                                                        "JAP",  "FREN", "RUSS", "SPAN", "THA",  "INDO", "VIET"};

// Switches: log, an extra step, the setter, and (for settings of the system
// record) tell the UI.
struct SwitchRow {
    unsigned int id;
    const char* log;
    void (SystemSetup::*set)(bool);
    void (*before)(unsigned int source, bool on);
    bool syncToUi;
};

const SwitchRow kSwitches[] = {
    // The engine learns of the switch too: it owns the continuity tone.
    {0x700, "cbBeeperSet on=%d", &SystemSetup::API_Beeper_StateSet,
     [](unsigned int, bool on) { CDataManage::instance()->DM_BeepSwitch(on); }, true},
    {0x10001224, "Last load set %s", &SystemSetup::API_SetLastLoad,
     [](unsigned int source, bool on) {
         // The UI switching the power-on restore on starts it from no file.
         if (!isRemote(source) && on) {
             setup().API_SetLoadName("");
         }
     },
     true},
    {0x10001226, "Power status set %s", &SystemSetup::API_SetPowerStatus, nullptr, true},
    {0x10001228, "Touch enable set %s", &SystemSetup::API_SetTouchEnable, nullptr, true},
    {0x1000122a, "Is display time set %s", &SystemSetup::API_SetIsDisplayTime, nullptr, true},
    {0x1000122c, "System USBTMC switch set : %d", nullptr,
     [](unsigned int, bool on) {
         io().ApiUtility_SetUsbtmcSwitch(on);
         io().ApiUtility_IOInfoSyncToUI();
     },
     false},
    {0x10001243, "System factory mode : %d", &SystemSetup::ApiUtility_FactoryModeUpdate, nullptr, false},
};

int switchSet(const SwitchRow& row, unsigned int source, const ValueMap& in, ValueMap*) {
    const Value* arg = findOrLogMissing(in, itemOf(row.id));
    if (arg == nullptr) {
        return E109_MISSING_PARAMETER;
    }
    // A keyword of a switch's enumeration (SYST:CONF:POW LAST) arrives as
    // its index; a number that names neither state changes nothing.
    if (arg->value_case() == Value::kS32Val && arg->s32val() != 0 && arg->s32val() != 1) {
        return E220_PARAMETER_ERROR;
    }
    const bool on = boolOf(*arg) || (arg->value_case() == Value::kS32Val && arg->s32val() == 1);
    if (std::string(row.log).find("%s") != std::string::npos) {
        PrintD(row.log, onOff(on));
    } else {
        PrintI(row.log, on);
    }
    if (row.before != nullptr) {
        row.before(source, on);
    }
    if (row.set != nullptr) {
        (setup().*row.set)(on);
    }
    if (row.syncToUi) {
        setup().SystemInfoSyncToUI();
    }
    return 0;
}

// Queries: each inserts its value under its key.
struct QueryRow {
    unsigned int id;
    void (*answer)(unsigned int source, int key, ValueMap& out);
};

const QueryRow kQueries[] = {
    {0x701, [](unsigned int, int key, ValueMap& out) { insertBval(out, key, setup().API_Beeper_StateGet()); }},
    {0x20001201, [](unsigned int, int key, ValueMap& out) { insertS32(out, key, setup().API_GetBrightness()); }},
    {0x20001220, [](unsigned int, int key, ValueMap& out) { insertS32(out, key, setup().API_GetControlPort()); }},
    {0x20001221,
     [](unsigned int, int key, ValueMap& out) {
         int address = 0;
         io().ApiUtility_GetGPIB(address);
         insertS32(out, key, address);
     }},
    {0x20001223,
     [](unsigned int source, int key, ValueMap& out) {
         const int language = setup().API_GetLanguage();
         if (isRemote(source)) {
             const bool known = SystemSetup::LanguageValid(language);
             insertStr(out, key, known ? kLanguageWords[language] : "CHIN");
         } else {
             insertS32(out, key, language);
         }
     }},
    {0x20001225, [](unsigned int, int key, ValueMap& out) { insertBval(out, key, setup().API_GetLastLoad()); }},
    {0x20001227, [](unsigned int, int key, ValueMap& out) { insertBval(out, key, setup().API_GetPowerStatus()); }},
    {0x20001229, [](unsigned int, int key, ValueMap& out) { insertBval(out, key, setup().API_GetTouchEnable()); }},
    {0x2000122b, [](unsigned int, int key, ValueMap& out) { insertBval(out, key, setup().API_GetIsDisplayTime()); }},
    {0x2000122d, [](unsigned int, int key, ValueMap& out) { insertBval(out, key, io().ApiUtility_GetUsbtmcSwitch()); }},
    {0x20001233, [](unsigned int, int key, ValueMap& out) { insertStr(out, key, setup().API_GetSwVersion().c_str()); }},
    {0x20001234, [](unsigned int, int key, ValueMap& out) { insertStr(out, key, setup().API_GetModel().c_str()); }},
    {0x20001235, [](unsigned int, int key, ValueMap& out) { insertStr(out, key, setup().API_GetSerialNum().c_str()); }},
    {0x20001241, [](unsigned int, int key, ValueMap& out) { insertStr(out, key, setup().API_GetCalTime().c_str()); }},
    {0x20001242, [](unsigned int, int key, ValueMap& out) { insertStr(out, key, setup().API_GetHWVer().c_str()); }},
    {0x20001244, [](unsigned int, int key, ValueMap& out) { insertS32(out, key, setup().API_GetCfgVer()); }},
};

int query(const QueryRow& row, unsigned int source, const ValueMap&, ValueMap* out) {
    row.answer(source, itemOf(row.id), *out);
    return 0;
}

// Numbers and texts whose setter gives the result.
struct NumberRow {
    unsigned int id;
    int (*set)(unsigned int source, int value);
};

const NumberRow kNumbers[] = {
    {0x10001200,
     [](unsigned int, int value) {
         if (!SystemSetup::BrightnessValid(value)) {
             return static_cast<int>(E222_DATA_OUT_OF_RANGE);
         }
         PrintI("Set brightness : %d", value);
         CSystemManage::BrightnessRequest(value);
         return 0;
     }},
    {0x10001221,
     [](unsigned int, int value) {
         PrintI("Set GPIB : %d", value);
         return io().ApiUtility_SetGPIB(value);
     }},
    {0x10001222,
     [](unsigned int, int value) {
         PrintD("System language set : %d", value);
         // Only languages the UI knows: any other number would be kept and shown.
         if (!SystemSetup::LanguageValid(value)) {
             return static_cast<int>(E222_DATA_OUT_OF_RANGE);
         }
         setup().API_SetLanguage(value);
         setup().SystemInfoSyncToUI();
         return 0;
     }},
    {0x10001234, [](unsigned int, int value) { return setup().API_SetModel(value); }},
    {0x10001244,
     [](unsigned int, int value) { return setup().API_SetCfgVer(static_cast<unsigned int>(value)); }},
};

int numberSet(const NumberRow& row, unsigned int source, const ValueMap& in, ValueMap*) {
    const Value* arg = findOrLogMissing(in, itemOf(row.id));
    return arg == nullptr ? E109_MISSING_PARAMETER : row.set(source, s32Of(*arg));
}

struct TextRow {
    unsigned int id;
    int (*set)(const std::string& text);
};

const TextRow kTexts[] = {
    {0x10001235,
     [](const std::string& serial) {
         if (serial.size() >= 31) {
             PrintE("Sn size = %d not right, must < 30", static_cast<int>(serial.size()));
             return static_cast<int>(E144_CHARACTER_DATA_TOO_LONG);
         }
         return setup().API_SetSerialNum(serial);
     }},
    {0x10001241, [](const std::string& text) { return setup().API_SetCalTime(text); }},
    {0x10001242, [](const std::string& text) { return setup().API_SetHWVer(text); }},
};

int textSet(const TextRow& row, unsigned int source, const ValueMap& in, ValueMap*) {
    const Value* arg = findOrLogMissing(in, itemOf(row.id));
    if (arg == nullptr) {
        return E109_MISSING_PARAMETER;
    }
    std::string text = textOf(*arg);
    // Remote control sends its strings in double quotes.
    if (isRemote(source)) {
        FunctionTool::quotationUnwrap(text);
    }
    return row.set(text);
}

int beeperTest(unsigned int, const ValueMap&, ValueMap*) {
    if (setup().API_Beeper_StateGet()) {
        setup().API_Beeper_Test();
    }
    return 0;
}

int localStateSet(unsigned int, const ValueMap&, ValueMap*) {
    setup().API_SetLocalState(true);
    return 0;
}

template <typename Row, size_t N>
void bindRows(std::map<unsigned int, cb_func>& entries, const Row (&rows)[N],
              int (*handler)(const Row&, unsigned int, const ValueMap&, ValueMap*)) {
    for (const Row& row : rows) {
        entries[row.id] = [&row, handler](unsigned int source, const ValueMap& in, ValueMap* out) {
            return handler(row, source, in, out);
        };
    }
}

// The latest brightness asked for; pool tasks may run out of order, so each
// applies whatever is latest when it runs.
std::atomic<int> g_brightnessWanted{0};
std::mutex g_brightnessMtx;

} // namespace

void CSystemManage::BrightnessRequest(int level) {
    g_brightnessWanted.store(level);
    CThreadPool::instance()->async([] {
        {
            std::lock_guard<std::mutex> lock(g_brightnessMtx);
            setup().API_SetBrightness(g_brightnessWanted.load());
        }
        setup().SystemInfoSyncToUI();
    });
}

void CSystemManage::bindSettingHandlers(std::map<unsigned int, cb_func>& entries) {
    bindRows(entries, kSwitches, switchSet);
    bindRows(entries, kQueries, query);
    bindRows(entries, kNumbers, numberSet);
    bindRows(entries, kTexts, textSet);
    entries[0x702] = beeperTest;
    entries[0x10001232] = localStateSet;
}
