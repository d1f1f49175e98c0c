#include "RequestFramer.h"

#include <algorithm>
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

void RequestFramer::take(const char* data, size_t size, Sink& sink) {
    m_fresh = tail() == Tail::Empty;
    const size_t passed = static_cast<size_t>(std::min<uint64_t>(m_skip, size));
    m_skip -= passed;
    m_held.append(data + passed, size - passed);
    while (m_pos < m_held.size()) {
        const Field field = takeField(sink);
        if (field == Field::Short) {
            break;
        }
        if (field == Field::Invalid) {
            // Where the next request would begin cannot be told: all of it is
            // passed on as one.
            m_pos = m_held.size();
            endRequest(sink);
            reset();
            return;
        }
    }
    // Requests passed on leave the buffer once per take, not once each.
    m_held.erase(0, m_start);
    m_pos -= m_start;
    m_start = 0;
}

RequestFramer::Field RequestFramer::takeField(Sink& sink) {
    const auto* p = reinterpret_cast<const uint8_t*>(m_held.data());
    const size_t size = m_held.size();
    uint64_t tag = 0;
    size_t used = 0;
    Step step = readVarint(p + m_pos, size - m_pos, tag, used);
    const uint64_t field = tag >> 3;
    const int wire = static_cast<int>(tag & 7);
    if (step == Step::Ok && (field == 0 || field > kMaxFieldNumber || !knownWire(wire))) {
        step = Step::Bad;
    }
    if (step != Step::Ok) {
        return step == Step::Short ? Field::Short : Field::Invalid;
    }
    const uint64_t repeated = static_cast<uint64_t>(DataPack::kDataFieldNumber);
    if (m_last != 0 && (field < m_last || (field == m_last && field != repeated))) {
        endRequest(sink);
    }
    uint64_t end = 0;
    step = valueEnd(wire, p, m_pos + used, size, end);
    if (step != Step::Ok) {
        return step == Step::Short ? Field::Short : Field::Invalid;
    }
    if (!m_oversized && end - m_start > m_maxRequest) {
        m_oversized = true;
        m_code = leadingCode(m_held.data() + m_start, m_pos - m_start);
    }
    m_last = field;
    if (m_oversized) {
        // Nothing of it is held: each field is dropped as it passes, up to
        // the field that begins the next request.
        const uint64_t held = std::min<uint64_t>(end, size);
        m_skip = end - held;
        m_pos = m_start = static_cast<size_t>(held);
        return Field::Taken;
    }
    if (end > size) {
        return Field::Short;
    }
    m_pos = static_cast<size_t>(end);
    return Field::Taken;
}

// The request from m_start to m_pos is complete; the next one begins at m_pos.
void RequestFramer::endRequest(Sink& sink) {
    if (m_oversized) {
        sink.onOversized(m_code);
    } else {
        sink.onRequest(m_held.data() + m_start, m_pos - m_start);
    }
    m_oversized = false;
    m_start = m_pos;
    m_last = 0;
    m_fresh = true;
}

void RequestFramer::finish(Sink& sink) {
    if (tail() != Tail::Empty) {
        m_pos = m_held.size();
        endRequest(sink);
    }
    reset();
}

void RequestFramer::reset() {
    m_held.clear();
    m_start = m_pos = 0;
    m_last = m_skip = 0;
    m_oversized = false;
    m_code = 0;
}

RequestFramer::Tail RequestFramer::tail() const {
    if (m_skip > 0 || m_pos < m_held.size()) {
        return Tail::Partial;
    }
    return m_oversized || m_pos > m_start ? Tail::Fields : Tail::Empty;
}

uint64_t RequestFramer::tailSize() const {
    return m_oversized ? m_maxRequest + 1 : m_held.size() - m_start;
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
