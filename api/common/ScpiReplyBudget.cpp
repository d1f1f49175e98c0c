#include "ScpiReplyBudget.h"

#include <algorithm>

ScpiReplyBudget& ScpiReplyBudget::instance() {
    // Never destroyed: sessions release their share while the process ends.
    static ScpiReplyBudget* budget = new ScpiReplyBudget();
    return *budget;
}

uint64_t ScpiReplyBudget::largest() const {
    const uint64_t unsent = held();
    const uint64_t left = unsent < kTotal ? kTotal - unsent : 0;
    return std::max(kFreeShare, std::min(kMaxResponse, left));
}

uint64_t ScpiReplyBudget::roomAfter(uint64_t size) const {
    const uint64_t most = largest();
    return most > size + 2 ? most - size - 2 : 0;
}

bool ScpiReplyBudget::fits(const google::protobuf::Map<int, Value>& in, uint64_t size) {
    auto room = in.find(kRoomKey);
    return room == in.end() || size <= room->second.u64val();
}
