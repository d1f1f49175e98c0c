#include "vxi_xdr.h"

#include <cstdlib>

namespace {

// The 32-bit protocol fields through the fixed-width XDR primitives (long and
// u_long are 64 bits in this process).
bool_t xdrS32(XDR* xdrs, int32_t* v) {
    return xdr_int(xdrs, v);
}
bool_t xdrU32(XDR* xdrs, uint32_t* v) {
    return xdr_u_int(xdrs, v);
}
bool_t xdrBool(XDR* xdrs, bool* v) {
    bool_t b = *v ? TRUE : FALSE;
    if (!xdr_bool(xdrs, &b)) {
        return FALSE;
    }
    *v = b != FALSE;
    return TRUE;
}

// Decodes `len` bytes and their padding. Unlike xdr_opaque, the padding goes
// to a buffer of our own, not to one that every thread of the process shares.
bool_t getBytes(XDR* xdrs, char* to, uint32_t len) {
    char padding[BYTES_PER_XDR_UNIT];
    uint32_t pad = (BYTES_PER_XDR_UNIT - len % BYTES_PER_XDR_UNIT) % BYTES_PER_XDR_UNIT;
    return (len == 0 || XDR_GETBYTES(xdrs, to, len)) && (pad == 0 || XDR_GETBYTES(xdrs, padding, pad));
}

// Consumes `len` announced bytes and their padding without keeping them.
bool_t skipBytes(XDR* xdrs, uint32_t len) {
    char scratch[4096];
    while (len > sizeof(scratch)) {
        if (!getBytes(xdrs, scratch, sizeof(scratch))) {
            return FALSE;
        }
        len -= sizeof(scratch);
    }
    return getBytes(xdrs, scratch, len);
}

bool_t decodeBytes(XDR* xdrs, VxiBytes* bytes, uint32_t maxsize) {
    if (!xdrU32(xdrs, &bytes->len)) {
        return FALSE;
    }
    if (bytes->len > maxsize) {
        bytes->oversize = true;
        return skipBytes(xdrs, bytes->len);
    }
    if (bytes->val == nullptr) {
        // One byte more keeps the bytes NUL-terminated for text users.
        bytes->val = static_cast<char*>(std::calloc(static_cast<size_t>(bytes->len) + 1, 1));
        if (bytes->val == nullptr) {
            return FALSE;
        }
    }
    return getBytes(xdrs, bytes->val, bytes->len);
}

}  // namespace

bool_t xdr_VxiBytes(XDR* xdrs, VxiBytes* bytes, uint32_t maxsize) {
    switch (xdrs->x_op) {
        case XDR_DECODE:
            return decodeBytes(xdrs, bytes, maxsize);
        case XDR_ENCODE:
            // Bounds guard what a peer makes us allocate, not what we send.
            if (bytes->len > 0 && bytes->val == nullptr) {
                return FALSE;
            }
            return xdrU32(xdrs, &bytes->len) && xdr_opaque(xdrs, bytes->val, bytes->len);
        case XDR_FREE:
            std::free(bytes->val);
            bytes->val = nullptr;
            return TRUE;
    }
    return FALSE;
}

bool_t xdr_Device_Link(XDR* xdrs, Device_Link* objp) {
    return xdrS32(xdrs, objp);
}

bool_t xdr_Device_Error(XDR* xdrs, Device_Error* objp) {
    return xdrS32(xdrs, &objp->error);
}

bool_t xdr_Create_LinkParms(XDR* xdrs, Create_LinkParms* objp) {
    return xdrS32(xdrs, &objp->clientId) && xdrBool(xdrs, &objp->lockDevice) && xdrU32(xdrs, &objp->lock_timeout) &&
           xdr_VxiBytes(xdrs, &objp->device, VXI_MAX_DEVICE_NAME);
}

bool_t xdr_Create_LinkResp(XDR* xdrs, Create_LinkResp* objp) {
    return xdrS32(xdrs, &objp->error) && xdr_Device_Link(xdrs, &objp->lid) && xdr_u_short(xdrs, &objp->abortPort) &&
           xdrU32(xdrs, &objp->maxRecvSize);
}

bool_t xdr_Device_WriteParms(XDR* xdrs, Device_WriteParms* objp) {
    return xdr_Device_Link(xdrs, &objp->lid) && xdrU32(xdrs, &objp->io_timeout) &&
           xdrU32(xdrs, &objp->lock_timeout) && xdrS32(xdrs, &objp->flags) &&
           xdr_VxiBytes(xdrs, &objp->data, VXI_MAX_WRITE_DATA);
}

bool_t xdr_Device_WriteResp(XDR* xdrs, Device_WriteResp* objp) {
    return xdrS32(xdrs, &objp->error) && xdrU32(xdrs, &objp->size);
}

bool_t xdr_Device_ReadParms(XDR* xdrs, Device_ReadParms* objp) {
    return xdr_Device_Link(xdrs, &objp->lid) && xdrU32(xdrs, &objp->requestSize) &&
           xdrU32(xdrs, &objp->io_timeout) && xdrU32(xdrs, &objp->lock_timeout) && xdrS32(xdrs, &objp->flags) &&
           xdr_char(xdrs, &objp->termChar);
}

bool_t xdr_Device_ReadResp(XDR* xdrs, Device_ReadResp* objp) {
    return xdrS32(xdrs, &objp->error) && xdrS32(xdrs, &objp->reason) &&
           xdr_VxiBytes(xdrs, &objp->data, UINT32_MAX);
}

bool_t xdr_Device_ReadStbResp(XDR* xdrs, Device_ReadStbResp* objp) {
    return xdrS32(xdrs, &objp->error) && xdr_u_char(xdrs, &objp->stb);
}

bool_t xdr_Device_GenericParms(XDR* xdrs, Device_GenericParms* objp) {
    return xdr_Device_Link(xdrs, &objp->lid) && xdrS32(xdrs, &objp->flags) &&
           xdrU32(xdrs, &objp->lock_timeout) && xdrU32(xdrs, &objp->io_timeout);
}

bool_t xdr_Device_RemoteFunc(XDR* xdrs, Device_RemoteFunc* objp) {
    return xdrU32(xdrs, &objp->hostAddr) && xdrU32(xdrs, &objp->hostPort) && xdrU32(xdrs, &objp->progNum) &&
           xdrU32(xdrs, &objp->progVers) && xdrS32(xdrs, &objp->progFamily);
}

bool_t xdr_Device_EnableSrqParms(XDR* xdrs, Device_EnableSrqParms* objp) {
    return xdr_Device_Link(xdrs, &objp->lid) && xdrBool(xdrs, &objp->enable) &&
           xdr_VxiBytes(xdrs, &objp->handle, VXI_SRQ_HANDLE_SIZE);
}

bool_t xdr_Device_LockParms(XDR* xdrs, Device_LockParms* objp) {
    return xdr_Device_Link(xdrs, &objp->lid) && xdrS32(xdrs, &objp->flags) && xdrU32(xdrs, &objp->lock_timeout);
}

bool_t xdr_Device_DocmdParms(XDR* xdrs, Device_DocmdParms* objp) {
    return xdr_Device_Link(xdrs, &objp->lid) && xdrS32(xdrs, &objp->flags) && xdrU32(xdrs, &objp->io_timeout) &&
           xdrU32(xdrs, &objp->lock_timeout) && xdrS32(xdrs, &objp->cmd) && xdrBool(xdrs, &objp->network_order) &&
           xdrS32(xdrs, &objp->datasize) && xdr_VxiBytes(xdrs, &objp->data_in, VXI_MAX_WRITE_DATA);
}

bool_t xdr_Device_DocmdResp(XDR* xdrs, Device_DocmdResp* objp) {
    return xdrS32(xdrs, &objp->error) && xdr_VxiBytes(xdrs, &objp->data_out, VXI_MAX_WRITE_DATA);
}

bool_t xdr_Device_SrqParms(XDR* xdrs, Device_SrqParms* objp) {
    return xdr_VxiBytes(xdrs, &objp->handle, VXI_SRQ_HANDLE_SIZE);
}
