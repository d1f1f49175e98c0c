#pragma once
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>

#include "proto_data.pb.h"

// Writes the settings mirror off the save timer's event poller, which also
// serves UI sessions and all SCPI execution: a mirror write flushes to disk
// and may take long. The timer offers the gathered mirror every tick; only
// a mirror that differs from the last one offered is rendered as text and
// written, on a CThreadPool worker. Mirrors offered while a write runs
// replace one another, and the worker then writes only the newest.
class MirrorSaver {
public:
    // Writes one rendered mirror; true when it reached the file.
    using WriteText = std::function<bool(const std::string& text)>;

    explicit MirrorSaver(WriteText write);
    // Waits for a write under way.
    ~MirrorSaver();
    MirrorSaver(const MirrorSaver&) = delete;
    MirrorSaver& operator=(const MirrorSaver&) = delete;

    // True when `mirror` differs from the last mirror offered (the first
    // always does) and is now due for writing; returns at once either way.
    // After a failed write the next offer is due even when unchanged, so the
    // write is tried again on every tick until it succeeds.
    bool Offer(const ProtoMirrorInfo& mirror);

    // Waits until every mirror offered so far has been written (or failed).
    void Wait();

private:
    void writePending();

    WriteText m_write;
    std::mutex m_mtx;
    std::condition_variable m_idle;
    bool m_offered = false;         // m_last holds a mirror
    ProtoMirrorInfo m_last;         // the last mirror offered
    ProtoMirrorInfo m_pending;      // the newest mirror not yet taken by the worker
    bool m_hasPending = false;
    bool m_writing = false;         // a worker job is posted or running
};
