#pragma once
#include <sys/socket.h>

#include <cstddef>
#include <memory>

#include "Util/DescriptorLimit.h"

namespace toolkit {

// The places of one listener: how many connections it serves at once, and how
// many of those one source address holds, so that one address can neither
// take every descriptor nor shut the other addresses out. A connection takes a
// place when it is accepted and gives it back when its token goes; one that
// finds none is closed at once by its listener, so its client learns at once.
// Safe from any thread: a TCP server accepts on every poller.
class AddressPlaces {
public:
    // A taken place, given back when its last copy goes (it may outlive the
    // counter).
    using Place = std::shared_ptr<void>;
    enum class Refusal { None, Listener, Address };

    // No listener takes more than 1/kDescriptorShare of the descriptor limit,
    // so that the listeners together leave most descriptors to files.
    static constexpr size_t kDescriptorShare = toolkit::kDescriptorShare;
    // With shares, 1/kOthersShare of the places (at least one) is never held
    // by a single address: another address always finds one.
    static constexpr size_t kOthersShare = 8;

    AddressPlaces();

    // At most `count` places (0: none of its own), and never more than
    // 1/kDescriptorShare of the descriptor limit. With `perAddress`, one
    // address holds at most all but 1/kOthersShare of them.
    void setLimits(size_t count, bool perAddress);
    // The limits in force (share 0: no bound per address).
    size_t cap() const;
    size_t share() const;

    // A place for a connection from `peer`, or null and the reason. An IPv4
    // peer of a dual-stack socket counts as its IPv4 address, and IPv6 peers
    // by their /64 prefix: one host has all the addresses of its prefix.
    // Peers of no known family (accept gave no address) count as one address
    // of their own: together they hold at most one share, still bounded.
    Place take(const sockaddr_storage& peer, Refusal* why = nullptr);

    // Places held now, by all addresses or by the address of `peer`.
    size_t used() const;
    size_t heldBy(const sockaddr_storage& peer) const;

private:
    struct Counts;
    std::shared_ptr<Counts> _counts;
};

} // namespace toolkit
