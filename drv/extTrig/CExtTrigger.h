#pragma once
#include <cstdint>

// The external trigger input, on the GPIO control device. Stateless.
class CExtTrigger {
public:
    virtual ~CExtTrigger() = default;

    static CExtTrigger* instance();

    // Waits for one external trigger event (blocks the calling thread only).
    // True only when one edge byte was read: a failed read is no edge.
    bool Trig_ExtIrq();
    // Selects the active edge: the device takes 1 << val. Values outside
    // 0 to 3 have no edge and are refused.
    bool Trig_EdgeSet(int32_t val);
};
