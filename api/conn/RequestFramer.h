#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// Finds where the requests of the UI link's request port begin and end. A
// request is one serialised DataPack with no length prefix, so only its
// fields can tell: the bytes are walked field by field, and a request ends
// where the next one begins. Fields are written in number order and `data`
// is the only one that repeats, so a field whose number is lower than the one
// before, or equal to it and not `data`, begins a new request (in practice:
// the next request's `code`).
//
// The bytes come in pieces as they are read; the walk resumes where the last
// piece left it, so a request gathered from many small reads is walked once.
//
// What this cannot tell: whether a request that ends after a whole field is
// complete or has more fields still on their way, and where a request whose
// `code` is 0 (never a valid id) begins when it follows another.
class RequestFramer {
public:
    enum class Tail {
        Empty,    // nothing held after the last request passed on
        Fields,   // whole fields: a request that may be complete
        Partial,  // it ends inside a field: more bytes must come
    };
    // Where the requests go, in the order they end.
    class Sink {
    public:
        virtual ~Sink() = default;
        // A request, or bytes no request can hold (passed on as one).
        virtual void onRequest(const char* data, size_t size) = 0;
        // A request larger than the bound has passed; its fields were
        // dropped as they came. `code` is its code when it began with one.
        virtual void onOversized(int32_t code) = 0;
    };

    explicit RequestFramer(size_t maxRequest) : m_maxRequest(maxRequest) {}

    // Takes the next received bytes and passes on every request they end.
    void take(const char* data, size_t size, Sink& sink);
    // Passes on the request held as it stands (its rest is not coming) and
    // starts afresh.
    void finish(Sink& sink);

    Tail tail() const;
    // Bytes of the request held; more than the bound for an oversized one.
    uint64_t tailSize() const;
    // Whether the request held began in the latest take (came in one read).
    bool tailIsFresh() const { return m_fresh; }

    // The request's code when its bytes begin with one, else 0.
    static int32_t leadingCode(const char* data, size_t size);

private:
    enum class Field { Taken, Short, Invalid };
    Field takeField(Sink& sink);
    void endRequest(Sink& sink);
    void reset();

    const size_t m_maxRequest;
    std::string m_held;    // from the current request's start (or its unread field head)
    size_t m_start = 0;    // where the current request begins in m_held
    size_t m_pos = 0;      // where its last whole field ends in m_held
    uint64_t m_last = 0;   // number of its latest field; 0 before its first
    uint64_t m_skip = 0;   // bytes of an oversized request's field still to drop
    bool m_oversized = false;
    int32_t m_code = 0;    // the oversized request's code
    bool m_fresh = false;
};
