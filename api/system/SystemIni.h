#pragma once
#include <functional>
#include <string>

namespace Copperwren {
class IniFile;
}

// The product ini file "/vorna/data/productconfig.ini" behind the one shared
// IniFile object, which every access opens afresh under one lock (the UI
// and SCPI pollers may write it at the same time).
class SystemIni {
public:
    // Calls `read` with the file's contents; a file that does not open reads
    // as empty, so every key takes its default.
    static void read(const std::function<void(const Copperwren::IniFile&)>& read);
    static int readInt(const char* section, const char* key, int def);

    // Writes one value (the text, or `number` when `text` is null) and saves
    // the file; false when it cannot be saved. Each failing step is logged.
    static bool write(const char* section, const char* key, const char* text, int number);
};
