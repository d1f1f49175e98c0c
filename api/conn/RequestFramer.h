#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

// Finds where the requests of the UI link's request port begin and end. A
// request is one serialised DataPack with no length prefix, so only its
// fields can tell: the bytes are walked field by field, and a request ends
// where the next one begins. Fields are written in number order and `data`
// is the only one that repeats, so a field whose number is lower than the one
// before, or equal to it and not `data`, begins a new request (in practice:
// the next request's `code`).
//
// What this cannot tell: whether a request that ends after a whole field is
// complete or has more fields still on their way, and where a request whose
// `code` is 0 (never a valid id) begins when it follows another.
class RequestFramer {
public:
    enum class Tail {
        Empty,      // nothing after the last complete request
        Fields,     // whole fields: a request that may be complete
        Partial,    // it ends inside a field: more bytes must come
        Invalid,    // a field no request can hold (wire type, field 0, overlong number)
        Oversized,  // the request grows beyond the bound
    };
    struct Result {
        std::vector<size_t> ends;   // where the complete requests end, in order
        Tail tail = Tail::Empty;    // the bytes after the last of them
        uint64_t oversizedEnd = 0;  // Oversized: where the field that passed the bound ends
    };

    static Result scan(const char* data, size_t size, size_t maxRequest);
    // The request's code when its bytes begin with one, else 0.
    static int32_t leadingCode(const char* data, size_t size);
};
