// Decodes arbitrary bytes as the argument record of every procedure the
// server answers, as its dispatchers do, then frees them. A decoded record
// must keep its byte strings within their bounds and encode again.
#include <rpc/rpc.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "vxi_xdr.h"

namespace {

template <typename T>
void decodeAs(bool_t (*codec)(XDR*, T*), const uint8_t* data, size_t size) {
    T record{};
    XDR in;
    xdrmem_create(&in, reinterpret_cast<char*>(const_cast<uint8_t*>(data)), static_cast<u_int>(size), XDR_DECODE);
    if (codec(&in, &record)) {
        std::vector<char> out(size + 16);
        XDR again;
        xdrmem_create(&again, out.data(), static_cast<u_int>(out.size()), XDR_ENCODE);
        // Oversize strings were skipped, so only records without them encode.
        (void)codec(&again, &record);
        xdr_destroy(&again);
    }
    xdr_destroy(&in);
    xdr_free(reinterpret_cast<xdrproc_t>(codec), reinterpret_cast<char*>(&record));
}

void checkBounds(const VxiBytes& bytes, uint32_t bound) {
    if (!bytes.oversize && bytes.len > bound) {
        std::abort();
    }
    if (bytes.oversize && bytes.val != nullptr) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    decodeAs(xdr_Create_LinkParms, data, size);
    decodeAs(xdr_Device_WriteParms, data, size);
    decodeAs(xdr_Device_ReadParms, data, size);
    decodeAs(xdr_Device_GenericParms, data, size);
    decodeAs(xdr_Device_LockParms, data, size);
    decodeAs(xdr_Device_Link, data, size);
    decodeAs(xdr_Device_EnableSrqParms, data, size);
    decodeAs(xdr_Device_DocmdParms, data, size);
    decodeAs(xdr_Device_RemoteFunc, data, size);
    decodeAs(xdr_Device_SrqParms, data, size);

    // The bounds themselves, on the records that carry client data.
    XDR in;
    Device_WriteParms write{};
    xdrmem_create(&in, reinterpret_cast<char*>(const_cast<uint8_t*>(data)), static_cast<u_int>(size), XDR_DECODE);
    if (xdr_Device_WriteParms(&in, &write)) {
        checkBounds(write.data, VXI_MAX_WRITE_DATA);
    }
    xdr_destroy(&in);
    xdr_free(reinterpret_cast<xdrproc_t>(xdr_Device_WriteParms), reinterpret_cast<char*>(&write));
    Create_LinkParms link{};
    xdrmem_create(&in, reinterpret_cast<char*>(const_cast<uint8_t*>(data)), static_cast<u_int>(size), XDR_DECODE);
    if (xdr_Create_LinkParms(&in, &link)) {
        checkBounds(link.device, VXI_MAX_DEVICE_NAME);
    }
    xdr_destroy(&in);
    xdr_free(reinterpret_cast<xdrproc_t>(xdr_Create_LinkParms), reinterpret_cast<char*>(&link));
    return 0;
}
