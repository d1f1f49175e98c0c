#include "Util/uv_errno.h"

#include <cerrno>
#include <cstdio>

namespace toolkit {

namespace {

struct ErrorText {
    int code;
    const char* text;
};

// Error codes are negative: -1..-125 are minus the Linux errno values,
// -3000..-3014 the name-resolution errors, then end of file, unknown error and
// invalid Unicode character.
const ErrorText kErrorTexts[] = {
    {-4095, "end of file"},
    {-4094, "unknown error"},
    {-4080, "invalid Unicode character"},
    {-3014, "resolved protocol is unknown"},
    {-3013, "invalid value for hints"},
    {-3011, "socket type not supported"},
    {-3010, "service not available for socket type"},
    {-3009, "argument buffer overflow"},
    {-3008, "unknown node or service"},
    {-3007, "no address"},
    {-3006, "out of memory"},
    {-3005, "ai_family not supported"},
    {-3004, "permanent failure"},
    {-3003, "request canceled"},
    {-3002, "bad ai_flags value"},
    {-3001, "temporary failure"},
    {-3000, "address family not supported"},
    {-125, "operation canceled"},
    {-121, "remote I/O error"},
    {-114, "connection already in progress"},
    {-113, "host is unreachable"},
    {-112, "host is down"},
    {-111, "connection refused"},
    {-110, "connection timed out"},
    {-108, "cannot send after transport endpoint shutdown"},
    {-107, "socket is not connected"},
    {-106, "socket is already connected"},
    {-105, "no buffer space available"},
    {-104, "connection reset by peer"},
    {-103, "software caused connection abort"},
    {-101, "network is unreachable"},
    {-100, "network is down"},
    {-99, "address not available"},
    {-98, "address already in use"},
    {-97, "address family not supported"},
    {-95, "operation not supported on socket"},
    {-93, "protocol not supported"},
    {-92, "protocol not available"},
    {-91, "protocol wrong type for socket"},
    {-90, "message too long"},
    {-89, "destination address required"},
    {-88, "socket operation on non-socket"},
    {-71, "protocol error"},
    {-64, "machine is not on the network"},
    {-40, "too many symbolic links encountered"},
    {-39, "directory not empty"},
    {-38, "function not implemented"},
    {-36, "name too long"},
    {-34, "result too large"},
    {-32, "broken pipe"},
    {-31, "too many links"},
    {-30, "read-only file system"},
    {-29, "invalid seek"},
    {-28, "no space left on device"},
    {-27, "file too large"},
    {-26, "text file is busy"},
    {-24, "too many open files"},
    {-23, "file table overflow"},
    {-22, "invalid argument"},
    {-21, "illegal operation on a directory"},
    {-20, "not a directory"},
    {-19, "no such device"},
    {-18, "cross-device link not permitted"},
    {-17, "file already exists"},
    {-16, "resource busy or locked"},
    {-14, "bad address in system call argument"},
    {-13, "permission denied"},
    {-12, "not enough memory"},
    {-11, "resource temporarily unavailable"},
    {-9, "bad file descriptor"},
    {-7, "argument list too long"},
    {-6, "no such device or address"},
    {-5, "i/o error"},
    {-4, "interrupted system call"},
    {-3, "no such process"},
    {-2, "no such file or directory"},
    {-1, "operation not permitted"},
};

static_assert(sizeof(kErrorTexts) / sizeof(kErrorTexts[0]) == 77, "one text per known error code");

} // namespace

const char* uv_strerror(int err) {
    for (const ErrorText& entry : kErrorTexts) {
        if (entry.code == err) {
            return entry.text;
        }
    }
    // One buffer per thread, so two threads asking at once keep their own text.
    // Room for the text with any int, INT_MIN included.
    thread_local char unknown[40];
    std::snprintf(unknown, sizeof(unknown), "Unknown system error %d", err);
    return unknown;
}

int uv_translate_posix_error(int err) {
    if (err <= 0) {
        return err;
    }
    switch (err) {
    case EAGAIN:
    case EINPROGRESS:
    case ENOBUFS:
        // All three mean "try again later" to a non-blocking caller.
        return -EAGAIN;
    default:
        return -err;
    }
}

int get_uv_error(bool net_err) {
    (void)net_err;
    return uv_translate_posix_error(errno);
}

const char* get_uv_errmsg(bool net_err) {
    return uv_strerror(get_uv_error(net_err));
}

} // namespace toolkit
