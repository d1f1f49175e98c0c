#include "FolderWalk.h"

#include <cerrno>
#include <utility>
#include <vector>

#include "FolderAt.h"
#include "FolderTrail.h"

namespace folder_at {

bool Visitor::missing(int, const std::string&) {
    return false;
}

bool Visitor::enter(const Entry&, int) {
    return true;
}

bool Visitor::leave(int, const std::string&, bool ok) {
    return ok;
}

namespace {

// A folder the walk is in: its entries and the next one to visit.
struct Frame {
    std::string name;  // in the folder above
    std::vector<std::string> names;
    size_t next = 0;
    bool ok = true;
};

class Walk {
public:
    Walk(int dir, Visitor& visitor, const std::function<bool()>& stopped)
        : m_trail(dir), m_visitor(visitor), m_stopped(stopped) {}

    bool run(const std::string& top);
    int error() const { return m_error; }

private:
    enum class Step { Failed, Done, Entered };

    Step start(const std::string& name);
    // The folder walked last is done: its result goes to the one above.
    bool finish();
    void settle(bool ok);
    bool fail();

    Trail m_trail;
    Visitor& m_visitor;
    const std::function<bool()>& m_stopped;
    std::vector<Frame> m_frames;
    bool m_ok = true;  // the top entry's
    bool m_halted = false;
    int m_error = 0;
};

bool Walk::run(const std::string& top) {
    const Step first = start(top);
    if (first != Step::Entered) {
        return first == Step::Done;
    }
    while (!m_frames.empty() && !m_halted) {
        Frame& frame = m_frames.back();
        if (frame.next == frame.names.size()) {
            if (!finish()) {
                return false;
            }
            continue;
        }
        // The frame may move as folders below are entered.
        const std::string name = std::move(frame.names[frame.next++]);
        const Step step = start(name);
        if (step != Step::Entered) {
            settle(step == Step::Done);
        }
    }
    return m_ok && !m_halted;
}

Walk::Step Walk::start(const std::string& name) {
    if (m_stopped && m_stopped()) {
        m_halted = true;
        errno = ECANCELED;
        fail();
        return Step::Failed;
    }
    const int dir = m_trail.current();
    struct stat st;
    if (!entryStat(dir, name, st)) {
        return m_visitor.missing(dir, name) || fail() ? Step::Done : Step::Failed;
    }
    const Visitor::Entry entry{dir, name, st, static_cast<int>(m_frames.size())};
    bool descend = false;
    errno = 0;
    if (!m_visitor.visit(entry, descend)) {
        fail();
        return Step::Failed;
    }
    if (!descend) {
        return Step::Done;
    }
    if (!m_trail.down(name)) {
        fail();
        return Step::Failed;
    }
    errno = 0;
    if (!m_visitor.enter(entry, m_trail.current())) {
        fail();
        m_trail.up();
        return Step::Failed;
    }
    Frame frame{name, {}};
    if (!listNames(m_trail.current(), frame.names)) {
        fail();
        frame.ok = false;
    }
    m_frames.push_back(std::move(frame));
    return Step::Entered;
}

bool Walk::finish() {
    const Frame done = std::move(m_frames.back());
    m_frames.pop_back();
    if (!m_trail.up()) {
        return fail();
    }
    errno = 0;
    settle(m_visitor.leave(m_trail.current(), done.name, done.ok) || fail());
    return true;
}

void Walk::settle(bool ok) {
    bool& into = m_frames.empty() ? m_ok : m_frames.back().ok;
    into = into && ok;
}

bool Walk::fail() {
    if (m_error == 0) {
        m_error = errno;
    }
    return false;
}

// Goes down every folder until one at `levels` is met.
class Depth : public Visitor {
public:
    explicit Depth(int levels) : m_levels(levels) {}

    bool visit(const Entry& entry, bool& descend) override {
        if (S_ISDIR(entry.st.st_mode)) {
            m_deeper = m_deeper || entry.depth >= m_levels;
            descend = !m_deeper;
        }
        return true;
    }
    bool missing(int, const std::string&) override { return true; }
    bool deeper() const { return m_deeper; }

private:
    const int m_levels;
    bool m_deeper = false;
};

} // namespace

bool walk(int dir, const std::string& name, Visitor& visitor, const std::function<bool()>& stopped, int* error) {
    Walk walk(dir, visitor, stopped);
    const bool ok = walk.run(name);
    if (error != nullptr) {
        *error = ok ? 0 : walk.error();
    }
    return ok;
}

bool deeperThan(int dir, const std::string& name, int levels, const std::function<bool()>& stopped) {
    Depth depth(levels);
    walk(dir, name, depth, [&] { return depth.deeper() || (stopped && stopped()); });
    return depth.deeper();
}

} // namespace folder_at
