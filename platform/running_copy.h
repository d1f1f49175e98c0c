#pragma once

namespace platform {

// Whether `pid` is another process running this same program (a copy of the
// service started beside this one, or an earlier build of it still running):
// told by the name of the program file it runs. This process is not one of
// them. A process whose program cannot be read (another user's) counts as one,
// so that what it may be writing is left alone; only a process that is gone,
// or a kernel thread, is known to be none.
bool isRunningCopy(long pid);

} // namespace platform
