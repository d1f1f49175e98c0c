// The beeper facade of SystemSetup: each call goes to the stateless CBeeper.
#include "CBeeper.h"
#include "Singelton.h"
#include "SystemSetup.h"
#include "Util/logger.h"

void SystemSetup::API_Beeper_StateSet(bool on) {
    Copperwren::Singleton<CBeeper>::Instance()->Beeper_StateSet(on);
    PrintI("Beeper_StateSet %s", on ? "on" : "off");
    std::lock_guard<std::mutex> lock(_mtx);
    m_systemInfo.set_mbeeper(on);
}

bool SystemSetup::API_Beeper_StateGet() {
    return Copperwren::Singleton<CBeeper>::Instance()->Beeper_StateGet();
}

bool SystemSetup::API_Beeper_Test() {
    return Copperwren::Singleton<CBeeper>::Instance()->Beeper_Test();
}

void SystemSetup::API_Beeper_Switch(bool on) {
    Copperwren::Singleton<CBeeper>::Instance()->Beeper_Switch(on);
}
