// Printing into the current interface's format buffer.
#pragma once

#include <cstdint>

// Prints at the format buffer's write position and advances it. Returns 0, or
// SCP_SYS_FMT_ERR when the position is within 3 bytes of the buffer's last
// byte, the interface has no buffer, or printing fails or does not fit.
uint32_t SCP_RspFormatter(const char* format, ...) __attribute__((format(printf, 1, 2)));
