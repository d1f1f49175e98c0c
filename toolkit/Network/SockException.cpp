#include "Network/SockException.h"

#include "Util/uv_errno.h"

namespace toolkit {

SockException toSockException(int error) {
    switch (error) {
    case 0:
    case -11: return SockException(Err_success, "success");
    case -111: return SockException(Err_refused, uv_strerror(error), error);
    case -110: return SockException(Err_timeout, uv_strerror(error), error);
    default: return SockException(Err_other, uv_strerror(error), error);
    }
}

} // namespace toolkit
