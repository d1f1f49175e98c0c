#include "RequestFramer.h"

#include <limits>

#include "proto_data.pb.h"

namespace {

enum class Step { Ok, Short, Bad };

constexpr uint64_t kMaxFieldNumber = (1u << 29) - 1;

// One base-128 number of at most 10 bytes; `used` is its length.
Step readVarint(const uint8_t* p, size_t avail, uint64_t& value, size_t& used) {
    value = 0;
    for (size_t i = 0; i < 10; ++i) {
        if (i == avail) {
            return Step::Short;
        }
        value |= static_cast<uint64_t>(p[i] & 0x7F) << (7 * i);
        if ((p[i] & 0x80) == 0) {
            used = i + 1;
            return Step::Ok;
        }
    }
    return Step::Bad;
}

RequestFramer::Tail tailOf(Step step) {
    return step == Step::Short ? RequestFramer::Tail::Partial : RequestFramer::Tail::Invalid;
}

// Groups and the wire types 6 and 7: no DataPack holds them.
bool knownWire(int wire) {
    return wire == 0 || wire == 1 || wire == 2 || wire == 5;
}

// Where the value of a field with this wire type, starting at `at`, ends.
Step valueEnd(int wire, const uint8_t* p, size_t at, size_t size, uint64_t& end) {
    uint64_t value = 0;
    size_t used = 0;
    switch (wire) {
    case 0: {
        Step step = readVarint(p + at, size - at, value, used);
        end = at + used;
        return step;
    }
    case 1:
        end = at + 8;
        return Step::Ok;
    case 5:
        end = at + 4;
        return Step::Ok;
    case 2: {
        Step step = readVarint(p + at, size - at, value, used);
        const uint64_t head = at + used;
        end = value > std::numeric_limits<uint64_t>::max() - head ? std::numeric_limits<uint64_t>::max()
                                                                   : head + value;
        return step;
    }
    default:
        return Step::Bad;
    }
}

} // namespace

RequestFramer::Result RequestFramer::scan(const char* data, size_t size, size_t maxRequest) {
    const auto* p = reinterpret_cast<const uint8_t*>(data);
    const uint64_t repeated = static_cast<uint64_t>(DataPack::kDataFieldNumber);
    Result result;
    size_t start = 0;
    size_t pos = 0;
    uint64_t last = 0;  // number of the request's latest field; 0 before its first
    while (pos < size) {
        uint64_t tag = 0;
        size_t used = 0;
        Step step = readVarint(p + pos, size - pos, tag, used);
        const uint64_t field = tag >> 3;
        const int wire = static_cast<int>(tag & 7);
        if (step == Step::Ok && (field == 0 || field > kMaxFieldNumber || !knownWire(wire))) {
            step = Step::Bad;
        }
        if (step != Step::Ok) {
            result.tail = tailOf(step);
            return result;
        }
        if (last != 0 && (field < last || (field == last && field != repeated))) {
            result.ends.push_back(pos);
            start = pos;
        }
        uint64_t end = 0;
        step = valueEnd(wire, p, pos + used, size, end);
        if (step != Step::Ok) {
            result.tail = tailOf(step);
            return result;
        }
        if (end - start > maxRequest) {
            result.tail = Tail::Oversized;
            result.oversizedEnd = end;
            return result;
        }
        if (end > size) {
            result.tail = Tail::Partial;
            return result;
        }
        pos = static_cast<size_t>(end);
        last = field;
    }
    result.tail = pos == start ? Tail::Empty : Tail::Fields;
    return result;
}

int32_t RequestFramer::leadingCode(const char* data, size_t size) {
    const auto* p = reinterpret_cast<const uint8_t*>(data);
    const uint64_t codeTag = static_cast<uint64_t>(DataPack::kCodeFieldNumber) << 3;  // wire type 0
    uint64_t tag = 0, code = 0;
    size_t used = 0, codeUsed = 0;
    if (readVarint(p, size, tag, used) != Step::Ok || tag != codeTag ||
        readVarint(p + used, size - used, code, codeUsed) != Step::Ok) {
        return 0;
    }
    return static_cast<int32_t>(static_cast<uint32_t>(code));
}
