#include "ScpiReplyBudget.h"

ScpiReplyBudget& ScpiReplyBudget::instance() {
    // Never destroyed: sessions release their share while the process ends.
    static ScpiReplyBudget* budget = new ScpiReplyBudget();
    return *budget;
}

bool ScpiReplyBudget::allows(uint64_t size) const {
    if (size <= kFreeShare) {
        return true;
    }
    return size <= kMaxResponse && held() + size <= kTotal;
}
