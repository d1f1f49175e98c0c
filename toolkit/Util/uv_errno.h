#pragma once

namespace toolkit {

// Text of an error code (negative errno values, name-resolution codes -3000..-3014,
// -4095 end of file, -4094 unknown, -4080 invalid Unicode). Unknown codes give
// "Unknown system error %d" in a per-thread buffer.
const char* uv_strerror(int err);
// A system error number as an error code: EAGAIN, EINPROGRESS and ENOBUFS -> -11.
int uv_translate_posix_error(int err);
int get_uv_error(bool net_err = true);
const char* get_uv_errmsg(bool net_err = true);

} // namespace toolkit
