#include "DrvScpiRspFmt.h"

#include <cstdarg>
#include <cstdio>

#include "DrvInterfaceManage.h"
#include "DrvScpiErrDef.h"
#include "DrvScpiOsIntf.h"

uint32_t SCP_RspFormatter(const char* format, ...) {
    SCP_LockGuard lock(SCP_LibMutex());
    SCP_INTERFACE_INFO& info = *SCP_InterfaceInfo(SCP_CurrentInterface());
    if (info.pscFormatBuf == nullptr || info.pscFormatP + 3 >= info.pscFormatBufEnd) {
        return SCP_SYS_FMT_ERR;
    }
    // Room up to and including the last byte, which takes the terminating NUL.
    size_t room = static_cast<size_t>(info.pscFormatBufEnd - info.pscFormatP) + 1;
    va_list args;
    va_start(args, format);
    int written = std::vsnprintf(info.pscFormatP, room, format, args);
    va_end(args);
    if (written < 0 || static_cast<size_t>(written) >= room) {
        *info.pscFormatP = '\0';
        return SCP_SYS_FMT_ERR;
    }
    info.pscFormatP += written;
    return 0;
}
