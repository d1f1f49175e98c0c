#pragma once
// The instrument protocol over ONC RPC: program and procedure numbers, flag
// and reason bits, error codes and the argument and result records of the
// core, asynchronous-abort and interrupt programs. Every long and u_long of the
// protocol is 32 bits on the wire; the records hold them as fixed-width types.
#include <cstdint>
#include <string>

constexpr uint32_t DEVICE_CORE = 0x0607AF;
constexpr uint32_t DEVICE_ASYNC = 0x0607B0;
constexpr uint32_t DEVICE_INTR = 0x0607B1;
constexpr uint32_t DEVICE_VERSION = 1;

// Port of both transports; the reply of create_link names it as abort port.
constexpr uint16_t VXI_SERVICE_PORT = 20712;

namespace vxi_proc {
enum : uint32_t {
    create_link = 10,
    device_write = 11,
    device_read = 12,
    device_readstb = 13,
    device_trigger = 14,
    device_clear = 15,
    device_remote = 16,
    device_local = 17,
    device_lock = 18,
    device_unlock = 19,
    device_enable_srq = 20,
    device_docmd = 22,
    destroy_link = 23,
    create_intr_chan = 25,
    destroy_intr_chan = 26,
};
constexpr uint32_t device_abort = 1;     // asynchronous program
constexpr uint32_t device_intr_srq = 1;  // interrupt program
}  // namespace vxi_proc

// Flags of the operations and reasons of a read.
constexpr int32_t VXI_FLAG_WAITLOCK = 0x01;
constexpr int32_t VXI_FLAG_END = 0x08;
constexpr int32_t VXI_FLAG_TERMCHRSET = 0x80;
constexpr int32_t VXI_REASON_REQCNT = 0x01;
constexpr int32_t VXI_REASON_CHR = 0x02;
constexpr int32_t VXI_REASON_END = 0x04;

enum _vxi_errcode : int32_t {
    VXI_ERRCODE_NO_ERROR = 0,
    VXI_ERRCODE_SYNTAX_ERROR = 1,
    VXI_ERRCODE_DEVICE_NOT_ACCESSIBLE = 3,
    VXI_ERRCODE_INVAILD_LINK_IDENTIFIER = 4,
    VXI_ERRCODE_PARAMETER_ERROR = 5,
    VXI_ERRCODE_CHANNEL_NOT_ESTABLISHED = 6,
    VXI_ERRCODE_OPERATION_NOT_SUPPORTED = 8,
    VXI_ERRCODE_OUT_OF_RESOURCES = 9,
    VXI_ERRCODE_DEVICE_LOCKED_BY_ANOTHER_LINK = 11,
    VXI_ERRCODE_NO_LOCK_HELD_BY_THIS_LINK = 12,
    VXI_ERRCODE_IO_TIMEOUT = 15,
    VXI_ERRCODE_IO_ERROR = 17,
    VXI_ERRCODE_INVALID_ADDR = 21,
    VXI_ERRCODE_ABORT = 23,
    VXI_ERRCODE_CHANNEL_ALREADY_ESTABLISHED = 29,
};

// A counted byte string. Decoded data is owned by the XDR layer (freed with
// the arguments); `oversize` marks data longer than its bound, whose bytes
// were skipped: `len` then holds the announced length and `val` is null.
struct VxiBytes {
    uint32_t len = 0;
    char* val = nullptr;
    bool oversize = false;
};

using Device_Link = int32_t;

struct Device_Error {
    int32_t error = 0;
};

struct Create_LinkParms {
    int32_t clientId = 0;
    bool lockDevice = false;
    uint32_t lock_timeout = 0;
    VxiBytes device;
};

struct Create_LinkResp {
    int32_t error = 0;
    Device_Link lid = 0;
    uint16_t abortPort = 0;
    uint32_t maxRecvSize = 0;
};

struct Device_WriteParms {
    Device_Link lid = 0;
    uint32_t io_timeout = 0;
    uint32_t lock_timeout = 0;
    int32_t flags = 0;
    VxiBytes data;
};

struct Device_WriteResp {
    int32_t error = 0;
    uint32_t size = 0;
};

struct Device_ReadParms {
    Device_Link lid = 0;
    uint32_t requestSize = 0;
    uint32_t io_timeout = 0;
    uint32_t lock_timeout = 0;
    int32_t flags = 0;
    char termChar = 0;
};

struct Device_ReadResp {
    int32_t error = 0;
    int32_t reason = 0;
    VxiBytes data;  // the server encodes it straight from the link's buffer
    // The link's buffer, handed over with its last bytes: the link keeps
    // nothing once its reply has been returned.
    std::string buffer;
};

struct Device_ReadStbResp {
    int32_t error = 0;
    uint8_t stb = 0;
};

struct Device_GenericParms {
    Device_Link lid = 0;
    int32_t flags = 0;
    uint32_t lock_timeout = 0;
    uint32_t io_timeout = 0;
};

enum Device_AddrFamily : int32_t { DEVICE_TCP = 0, DEVICE_UDP = 1 };

struct Device_RemoteFunc {
    uint32_t hostAddr = 0;
    uint32_t hostPort = 0;
    uint32_t progNum = 0;
    uint32_t progVers = 0;
    int32_t progFamily = DEVICE_TCP;
};

constexpr uint32_t VXI_SRQ_HANDLE_SIZE = 40;

struct Device_EnableSrqParms {
    Device_Link lid = 0;
    bool enable = false;
    VxiBytes handle;
};

struct Device_LockParms {
    Device_Link lid = 0;
    int32_t flags = 0;
    uint32_t lock_timeout = 0;
};

struct Device_DocmdParms {
    Device_Link lid = 0;
    int32_t flags = 0;
    uint32_t io_timeout = 0;
    uint32_t lock_timeout = 0;
    int32_t cmd = 0;
    bool network_order = false;
    int32_t datasize = 0;
    VxiBytes data_in;
};

struct Device_DocmdResp {
    int32_t error = 0;
    VxiBytes data_out;
};

struct Device_SrqParms {
    VxiBytes handle;
};
