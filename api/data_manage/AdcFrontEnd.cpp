#include "AcqFrontEnd.h"

namespace {

// Until the converter driver offers frame reads, there is nothing to read:
// every acquisition reports no frame and the other calls do nothing.
class NoConverter : public AcqFrontEnd {
public:
    bool acqData(uint32_t&, structFuncConfig&, uint8_t*, int32_t) override { return false; }
    void configRecover() override {}
    void countReset(uint8_t) override {}
    void charge() override {}
    void discharge() override {}
    void setAcc(uint32_t, uint32_t, uint32_t) override {}
};

} // namespace

AcqFrontEnd& AcqFrontEnd::converter() {
    static NoConverter frontEnd;
    return frontEnd;
}
