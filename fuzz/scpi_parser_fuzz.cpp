// libFuzzer target for the SCPI program-message parser: any byte string a
// remote client may send, parsed against each of the three command sets. Every
// element the parser hands over is read whole, so that a span reaching past
// its text shows up under AddressSanitizer.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <string>

#include "DrvScpiQueue.h"
#include "ScpiNumber.h"
#include "ScpiParser.h"

namespace {

// The converter only has to follow set selections here.
struct NullExecute : ScpiExecuteIntf {
    int ApiScpi_SelectEnumMap(int /*set*/) override { return 0; }
};

ScpiParser& parser() {
    static NullExecute execute;
    static ScpiParser* instance = [] {
        auto* p = new ScpiParser();
        p->ApiScpi_SetExecute(&execute);
        p->ApiScpi_Initial();
        return p;
    }();
    return *instance;
}

// Touches every byte of every element, and the row the command matched (a
// refused unit may have none); every element is also read as a number, in
// all the forms handlers take.
uint32_t readCommand(const ScpiParsedCmd& cmd) {
    uint32_t sum = cmd.u32FuncId + (cmd.pstNode != nullptr ? cmd.pstNode->u32ParamId[0] : 0u);
    for (const SCP_PARA_ELEMENT_S& e : cmd.pstParaInfo->stElement) {
        for (uint32_t i = 0; i < e.u32Length; ++i) {
            sum += static_cast<unsigned char>(e.pscStart[i]);
        }
        sum += static_cast<uint32_t>(e.eType);
        int64_t whole = 0;
        double number = 0;
        const std::string text(e.pscStart, e.u32Length);
        sum += static_cast<uint32_t>(ScpiReadInteger(text, ScpiNumberForms{false, true}, INT32_MIN, INT32_MAX, whole));
        sum += static_cast<uint32_t>(ScpiReadNumber(text, ScpiNumberForms{true, false}, number));
    }
    return sum;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    // The error queue reports every stored error on standard output; libFuzzer
    // reports on standard error, which stays readable this way.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        std::perror("stdout");
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    ScpiParser& p = parser();
    // The first byte picks the command set; the rest is the program message,
    // in a buffer of its own size so that reads past it are caught.
    p.ApiScpi_SelectCmdTree(data[0] % 3);
    size_t length = size - 1;
    char* text = new char[length == 0 ? 1 : length];
    if (length > 0) {
        std::memcpy(text, data + 1, length);
    }
    volatile uint32_t sink = 0;
    p.ApiScpi_DoParse(text, static_cast<uint32_t>(length), 0,
                      [&](const ScpiParsedCmd& cmd) { sink = sink + readCommand(cmd); });
    delete[] text;
    // Keep the error queue from filling up with every input's errors.
    SCP_ClearErrQueue(1);
    return 0;
}
