#include "ParamWord.h"

#include <cstring>

#include "CommonSimpleFunc.h"
#include "DrvScpiErrDef.h"
#include "inc_enum.h"

int paramWord(const std::string& in, char (&text)[64], int& word) {
    if (in.size() >= sizeof(text)) return E150_STRING_DATA_ERROR;
    std::memcpy(text, in.c_str(), in.size() + 1);
    RmtCap2Low(text);
    word = 0;
    if (!std::strcmp(text, "min") || !std::strcmp(text, "minimum")) {
        word = MIN;
    } else if (!std::strcmp(text, "max") || !std::strcmp(text, "maximum")) {
        word = MAX;
    } else if (!std::strcmp(text, "def") || !std::strcmp(text, "default")) {
        word = DEF;
    }
    return 0;
}
