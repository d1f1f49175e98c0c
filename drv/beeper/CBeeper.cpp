#include "CBeeper.h"

#include "Util/logger.h"

bool CBeeper::Beeper_Test() {
    unsigned long count = _beeps.fetch_add(1, std::memory_order_relaxed) + 1;
    PrintD("beep %lu (host build, no beeper device)", count);
    return true;
}
