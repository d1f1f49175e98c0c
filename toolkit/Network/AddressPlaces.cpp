#include "Network/AddressPlaces.h"

#include <netinet/in.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <unordered_map>

#include "Util/DescriptorLimit.h"

namespace toolkit {

struct AddressPlaces::Counts {
    mutable std::mutex mtx;
    size_t cap = 0;
    size_t share = 0;
    size_t used = 0;
    // Places held per address group; a group holding none has no entry.
    std::unordered_map<std::string, size_t> held;
};

namespace {

// The address group a peer counts in: its family and the bytes that name the
// host (all of IPv4, the /64 prefix of IPv6); empty for an unknown family.
std::string groupOf(const sockaddr_storage& peer) {
    if (peer.ss_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in&>(peer).sin_addr;
        return std::string("4") + std::string(reinterpret_cast<const char*>(&in), sizeof(in));
    }
    if (peer.ss_family == AF_INET6) {
        const in6_addr& in6 = reinterpret_cast<const sockaddr_in6&>(peer).sin6_addr;
        const char* bytes = reinterpret_cast<const char*>(in6.s6_addr);
        if (IN6_IS_ADDR_V4MAPPED(&in6)) {
            return std::string("4") + std::string(bytes + 12, 4);
        }
        return std::string("6") + std::string(bytes, 8);
    }
    return std::string();
}

} // namespace

AddressPlaces::AddressPlaces() : _counts(std::make_shared<Counts>()) {}

void AddressPlaces::setLimits(size_t count, bool perAddress) {
    size_t room = std::max<size_t>(1, descriptorLimit() / kDescriptorShare);
    size_t cap = count == 0 ? room : std::min(count, room);
    std::lock_guard<std::mutex> lck(_counts->mtx);
    _counts->cap = cap;
    _counts->share = perAddress && cap > 1 ? cap - std::max<size_t>(1, cap / kOthersShare) : 0;
}

size_t AddressPlaces::cap() const {
    std::lock_guard<std::mutex> lck(_counts->mtx);
    return _counts->cap;
}

size_t AddressPlaces::share() const {
    std::lock_guard<std::mutex> lck(_counts->mtx);
    return _counts->share;
}

AddressPlaces::Place AddressPlaces::take(const sockaddr_storage& peer, Refusal* why) {
    auto counts = _counts;
    std::string group = groupOf(peer);
    Refusal refusal = Refusal::None;
    {
        std::lock_guard<std::mutex> lck(counts->mtx);
        auto it = counts->held.find(group);
        size_t held = it == counts->held.end() ? 0 : it->second;
        if (counts->cap != 0 && counts->used >= counts->cap) {
            refusal = Refusal::Listener;
        } else if (counts->share != 0 && held >= counts->share) {
            refusal = Refusal::Address;
        } else {
            ++counts->used;
            ++counts->held[group];
        }
    }
    if (why) {
        *why = refusal;
    }
    if (refusal != Refusal::None) {
        return nullptr;
    }
    // Points at the counts, so that a taken place never reads as null.
    return Place(counts.get(), [counts, group](void*) {
        std::lock_guard<std::mutex> lck(counts->mtx);
        --counts->used;
        auto it = counts->held.find(group);
        if (--it->second == 0) {
            counts->held.erase(it);
        }
    });
}

size_t AddressPlaces::used() const {
    std::lock_guard<std::mutex> lck(_counts->mtx);
    return _counts->used;
}

size_t AddressPlaces::heldBy(const sockaddr_storage& peer) const {
    std::lock_guard<std::mutex> lck(_counts->mtx);
    auto it = _counts->held.find(groupOf(peer));
    return it == _counts->held.end() ? 0 : it->second;
}

} // namespace toolkit
