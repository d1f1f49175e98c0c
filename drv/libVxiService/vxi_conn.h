#pragma once
// One TCP connection of the server. Its bytes are read without blocking into
// call records (CVxiRecordReader); a whole record goes to the RPC runtime's
// dispatch through a transport handle of the connection's own, whose
// operations decode the call from the record and put the reply into the
// connection's output. Calls of one connection are served one at a time, in
// order: the next record is read once the last call has been answered and
// its reply has left. Used only on the server thread.
#include <rpc/rpc.h>
#include <rpc/svc_mt.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "vxi_record.h"

class CVxiConnection {
public:
    using Clock = std::chrono::steady_clock;
    // A connection that stops in the middle of a record, or does not take
    // its reply, for this long is closed: it holds resources for nothing.
    static constexpr std::chrono::milliseconds kStallTimeout{10000};
    // A record that takes longer than this as a whole is not a client's call
    // however steadily it trickles in: the connection is closed.
    static constexpr std::chrono::milliseconds kRecordTimeout{30000};

    // Takes a connected, non-blocking descriptor (closed with the object)
    // and the connection's place among the server's (given back with it).
    CVxiConnection(int fd, uint16_t localPort, std::shared_ptr<void> place = nullptr);
    ~CVxiConnection();
    CVxiConnection(const CVxiConnection&) = delete;
    CVxiConnection& operator=(const CVxiConnection&) = delete;

    // Makes it known to the RPC runtime; only then can its calls be
    // dispatched. False when the runtime's table has no room for it.
    bool attach();
    int fd() const { return m_xprt.xp_fd; }
    SVCXPRT* xprt() { return &m_xprt; }
    // The poll events it waits for now.
    short events() const;

    // The descriptor is readable: reads once. False when the peer has gone
    // or sent what cannot be a call stream.
    bool onReadable(Clock::time_point now);
    // Writes what it can of the output. False when the peer has gone.
    bool flush(Clock::time_point now);
    // A whole call waits to be dispatched.
    bool callReady() const { return m_state == State::Reading && m_reader.whole(); }
    // Dispatches the waiting call. False when it could not be decoded: the
    // connection is done.
    bool dispatch(Clock::time_point now);
    // Called during dispatch by a procedure that answers later: the next call
    // waits for that reply.
    void awaitReply() { m_bLateReply = true; }
    // The time after which it counts as stalled (max when it cannot stall).
    Clock::time_point stallDeadline() const;

private:
    enum class State { Reading, InCall, Replying };

    static CVxiConnection& of(SVCXPRT* xprt) { return *static_cast<CVxiConnection*>(xprt->xp_p1); }
    static bool_t recv(SVCXPRT* xprt, rpc_msg* msg);
    static enum xprt_stat stat(SVCXPRT* xprt);
    static bool_t getArgs(SVCXPRT* xprt, xdrproc_t decode, void* args);
    static bool_t reply(SVCXPRT* xprt, rpc_msg* msg);
    static bool_t freeArgs(SVCXPRT* xprt, xdrproc_t decode, void* args);
    // Hands bytes to the reader: the count it took. Notes when a record
    // begins with them.
    size_t take(const char* data, size_t size, Clock::time_point now);
    // Feeds kept input to the reader until a record is whole.
    void feed(Clock::time_point now);

    SVCXPRT m_xprt{};
    SVCXPRT_EXT m_ext{};
    sockaddr_storage m_peer{};
    CVxiRecordReader m_reader;
    std::unique_ptr<RecordXdr> m_call;  // the record being dispatched
    uint32_t m_u32Xid = 0;
    bool m_bDead = false;               // the call stream cannot be followed
    bool m_bLateReply = false;          // the call in dispatch answers later
    bool m_bAttached = false;           // given to the RPC runtime
    State m_state = State::Reading;
    std::string m_input;                // bytes read beyond the whole record
    std::string m_output;               // reply bytes not yet written
    size_t m_outputSent = 0;
    Clock::time_point m_lastProgress;
    Clock::time_point m_recordStart;    // first byte of the record being read
    std::shared_ptr<void> m_place;
};
