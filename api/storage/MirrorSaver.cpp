#include "MirrorSaver.h"

#include <google/protobuf/text_format.h>
#include <google/protobuf/util/field_comparator.h>
#include <google/protobuf/util/message_differencer.h>

#include <exception>
#include <utility>

#include "CThreadPool.h"
#include "Util/logger.h"

namespace {

// Compares field by field, so that an unchanged tick renders nothing. A NaN
// equals a NaN here: a stored NaN must not count as a change every tick.
bool sameMirror(const ProtoMirrorInfo& a, const ProtoMirrorInfo& b) {
    google::protobuf::util::DefaultFieldComparator comparator;
    comparator.set_treat_nan_as_equal(true);
    google::protobuf::util::MessageDifferencer differencer;
    differencer.set_field_comparator(&comparator);
    return differencer.Compare(a, b);
}

} // namespace

MirrorSaver::MirrorSaver(WriteText write) : m_write(std::move(write)) {}

MirrorSaver::~MirrorSaver() {
    Wait();
}

bool MirrorSaver::Offer(const ProtoMirrorInfo& mirror) {
    std::lock_guard<std::mutex> lock(m_mtx);
    if (m_offered && sameMirror(mirror, m_last)) {
        return false;
    }
    m_offered = true;
    m_last.CopyFrom(mirror);
    m_pending.CopyFrom(mirror);
    m_hasPending = true;
    if (!m_writing) {
        m_writing = true;
        CThreadPool::instance()->async([this] { writePending(); }, false);
    }
    return true;
}

void MirrorSaver::writePending() {
    ProtoMirrorInfo mirror;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_mtx);
            if (!m_hasPending) {
                m_writing = false;
                m_idle.notify_all();
                return;
            }
            mirror.Swap(&m_pending);
            m_hasPending = false;
        }
        bool written = false;
        try {
            std::string text;
            google::protobuf::TextFormat::PrintToString(mirror, &text);
            written = m_write(text);
        } catch (const std::exception& ex) {
            // The worker must still end idle, or no later mirror is written.
            PrintE("settings mirror not written: %s", ex.what());
        }
        if (!written) {
            // Not on the medium: the next offer, changed or not, is due again.
            std::lock_guard<std::mutex> lock(m_mtx);
            if (!m_hasPending) {
                m_offered = false;
            }
        }
    }
}

void MirrorSaver::Wait() {
    std::unique_lock<std::mutex> lock(m_mtx);
    m_idle.wait(lock, [this] { return !m_writing; });
}
