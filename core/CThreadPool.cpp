#include "CThreadPool.h"

// The workers are started here rather than by the base constructor (auto-run),
// and stopped here rather than by the base destructor: a worker touches the
// object's virtual members, which must not change under it while the object
// is being built or torn down.
CThreadPool::CThreadPool() : toolkit::ThreadPool(5, PRIORITY_HIGHEST, false, true, "thread pool") {
    start();
}

CThreadPool::~CThreadPool() {
    shutdown();
}

CThreadPool* CThreadPool::instance() {
    static CThreadPool pool;
    return &pool;
}
