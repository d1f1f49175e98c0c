#include "SystemIni.h"

#include <mutex>

#include "IniFile.h"
#include "Singelton.h"
#include "SystemSetup.h"
#include "Util/File.h"
#include "Util/logger.h"

namespace {

constexpr const char* kPath = SystemSetup::kProductIniPath;
std::mutex g_mtx;

Copperwren::IniFile* openIni(bool& opened) {
    Copperwren::IniFile* ini = Copperwren::Singleton<Copperwren::IniFile>::Instance();
    opened = ini->Open(kPath);
    if (!opened) {
        PrintE("Open %s failed", kPath);
    }
    return ini;
}

} // namespace

void SystemIni::read(const std::function<void(const Copperwren::IniFile&)>& read) {
    static const Copperwren::IniFile empty;
    std::lock_guard<std::mutex> lock(g_mtx);
    bool opened = false;
    Copperwren::IniFile* ini = openIni(opened);
    read(opened ? *ini : empty);
}

int SystemIni::readInt(const char* section, const char* key, int def) {
    int value = def;
    read([&](const Copperwren::IniFile& ini) { value = ini.ReadInt(section, key, def); });
    return value;
}

bool SystemIni::write(const char* section, const char* key, const char* text, int number) {
    std::lock_guard<std::mutex> lock(g_mtx);
    bool opened = false;
    Copperwren::IniFile* ini = openIni(opened);
    if (!opened) {
        // Start from nothing rather than from what an earlier open left.
        *ini = Copperwren::IniFile();
    }
    if (text != nullptr) {
        if (!ini->WriteString(section, key, text)) {
            PrintE("WriteString %s failed", text);
        }
    } else if (!ini->WriteInt(section, key, number)) {
        PrintE(std::string(key) == "MODEL" ? "WriteInt s32Pid:%d failed" : "WriteInt %d failed", number);
    }
    // A fresh data root may lack the folder; the identity must still be kept.
    toolkit::File::create_path(kPath, 0755);
    if (!ini->SaveAs(kPath)) {
        PrintE("SaveAs %s failed", kPath);
        return false;
    }
    return true;
}
