#pragma once
// XDR of the records in vxi11.h, for the server (decode arguments, encode
// results) and for clients and tests (the reverse). Counted byte strings that
// a peer sends are bounded: the device name, written data and command data
// never make the server allocate more than their bound, whatever length the
// peer announces; longer data is skipped and marked oversize.
#include <rpc/rpc.h>

#include "vxi11.h"

// Largest device name kept; a longer one is skipped and cannot match.
constexpr uint32_t VXI_MAX_DEVICE_NAME = 256;
// Largest data of a write or command kept (the larger of the two transports'
// maxRecvSize); longer data is skipped and answered with a parameter error.
constexpr uint32_t VXI_MAX_WRITE_DATA = 65536;

bool_t xdr_VxiBytes(XDR* xdrs, VxiBytes* bytes, uint32_t maxsize);

bool_t xdr_Device_Link(XDR* xdrs, Device_Link* objp);
bool_t xdr_Device_Error(XDR* xdrs, Device_Error* objp);
bool_t xdr_Create_LinkParms(XDR* xdrs, Create_LinkParms* objp);
bool_t xdr_Create_LinkResp(XDR* xdrs, Create_LinkResp* objp);
bool_t xdr_Device_WriteParms(XDR* xdrs, Device_WriteParms* objp);
bool_t xdr_Device_WriteResp(XDR* xdrs, Device_WriteResp* objp);
bool_t xdr_Device_ReadParms(XDR* xdrs, Device_ReadParms* objp);
bool_t xdr_Device_ReadResp(XDR* xdrs, Device_ReadResp* objp);
bool_t xdr_Device_ReadStbResp(XDR* xdrs, Device_ReadStbResp* objp);
bool_t xdr_Device_GenericParms(XDR* xdrs, Device_GenericParms* objp);
bool_t xdr_Device_RemoteFunc(XDR* xdrs, Device_RemoteFunc* objp);
bool_t xdr_Device_EnableSrqParms(XDR* xdrs, Device_EnableSrqParms* objp);
bool_t xdr_Device_LockParms(XDR* xdrs, Device_LockParms* objp);
bool_t xdr_Device_DocmdParms(XDR* xdrs, Device_DocmdParms* objp);
bool_t xdr_Device_DocmdResp(XDR* xdrs, Device_DocmdResp* objp);
bool_t xdr_Device_SrqParms(XDR* xdrs, Device_SrqParms* objp);
