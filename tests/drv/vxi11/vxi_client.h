#pragma once
// A client of the in-process server: the system's RPC client library on the
// server's test ports, with short time-outs, and the server itself, started
// once per test program on free ports with the SCPI engine behind it.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <rpc/rpc.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "CFEM.h"
#include "ScpiManage.h"
#include "temp_root.h"
#include "vxi_app.h"
#include "vxi_svc.h"
#include "vxi_xdr.h"

namespace vxi_test {

class ServerEnv : public ::testing::Environment {
public:
    void SetUp() override {
        root_ = std::make_unique<testing_support::TempRoot>();
        ScpiManage::instance().start();
        CFEM::instance()->bindManager(&ScpiManage::instance());
        ASSERT_EQ(vxiServiceInit(vxiAppCallbacks(), 0, false), 0);
        thread_ = std::thread(vxiServiceRun);
    }
    void TearDown() override {
        vxiServiceStop();
        thread_.join();
    }

private:
    std::unique_ptr<testing_support::TempRoot> root_;
    std::thread thread_;
};

struct ReadResult {
    int32_t error = -1;
    int32_t reason = 0;
    std::string data;
};

class Client {
public:
    explicit Client(bool stream = true, uint32_t program = DEVICE_CORE, u_int sendSize = 0) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(vxiServicePort(stream));
        int sock = RPC_ANYSOCK;
        timeval retry{0, 200000};
        client_ = stream ? clnttcp_create(&addr, program, DEVICE_VERSION, &sock, sendSize, 0)
                         : clntudp_bufcreate(&addr, program, DEVICE_VERSION, retry, &sock, 16384, 16384);
        EXPECT_NE(client_, nullptr);
    }
    ~Client() { disconnect(); }
    // Leaves without destroying anything, as a crashed client does.
    void disconnect() {
        if (client_ != nullptr) {
            clnt_destroy(client_);
            client_ = nullptr;
        }
    }

    template <typename A, typename R>
    clnt_stat call(uint32_t proc, bool_t (*xdrArgs)(XDR*, A*), A args, bool_t (*xdrResult)(XDR*, R*), R& result,
                   int seconds = 5) {
        timeval timeout{seconds, 0};
        return clnt_call(client_, proc, reinterpret_cast<xdrproc_t>(xdrArgs), reinterpret_cast<char*>(&args),
                         reinterpret_cast<xdrproc_t>(xdrResult), reinterpret_cast<char*>(&result), timeout);
    }

    Create_LinkResp createLink(const std::string& name, bool lock = false, uint32_t lockTimeout = 0) {
        Create_LinkParms p;
        p.lockDevice = lock;
        p.lock_timeout = lockTimeout;
        p.device.len = static_cast<uint32_t>(name.size());
        p.device.val = const_cast<char*>(name.data());
        Create_LinkResp r;
        r.error = -1;
        EXPECT_EQ(call(vxi_proc::create_link, xdr_Create_LinkParms, p, xdr_Create_LinkResp, r), RPC_SUCCESS);
        return r;
    }

    Device_WriteResp write(int32_t lid, const std::string& text, int32_t flags = VXI_FLAG_END,
                           uint32_t lockTimeout = 0, uint32_t ioTimeout = 1000) {
        Device_WriteParms p;
        p.lid = lid;
        p.io_timeout = ioTimeout;
        p.lock_timeout = lockTimeout;
        p.flags = flags;
        p.data.len = static_cast<uint32_t>(text.size());
        p.data.val = const_cast<char*>(text.data());
        Device_WriteResp r;
        r.error = -1;
        EXPECT_EQ(call(vxi_proc::device_write, xdr_Device_WriteParms, p, xdr_Device_WriteResp, r), RPC_SUCCESS);
        return r;
    }

    ReadResult read(int32_t lid, uint32_t requestSize = 4096, int32_t flags = 0, char termChar = 0,
                    uint32_t ioTimeout = 1000) {
        Device_ReadParms p;
        p.lid = lid;
        p.requestSize = requestSize;
        p.io_timeout = ioTimeout;
        p.flags = flags;
        p.termChar = termChar;
        Device_ReadResp r;
        ReadResult out;
        if (call(vxi_proc::device_read, xdr_Device_ReadParms, p, xdr_Device_ReadResp, r) == RPC_SUCCESS) {
            out = ReadResult{r.error, r.reason, std::string(r.data.val ? r.data.val : "", r.data.len)};
        }
        xdr_free(reinterpret_cast<xdrproc_t>(xdr_Device_ReadResp), reinterpret_cast<char*>(&r));
        return out;
    }

    // A read repeated while it times out, for up to 5 s: a read over UDP
    // answers at once, reply or not.
    ReadResult readReply(int32_t lid) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        ReadResult got;
        do {
            got = read(lid);
        } while (got.error == VXI_ERRCODE_IO_TIMEOUT && std::chrono::steady_clock::now() < deadline);
        return got;
    }

    int32_t lock(int32_t lid, int32_t flags = 0, uint32_t lockTimeout = 0) {
        Device_Error r{-1};
        call(vxi_proc::device_lock, xdr_Device_LockParms, Device_LockParms{lid, flags, lockTimeout},
             xdr_Device_Error, r);
        return r.error;
    }
    // unlock, destroy_link and device_abort take the link id alone.
    int32_t onLink(uint32_t proc, int32_t lid) {
        Device_Error r{-1};
        call(proc, xdr_Device_Link, lid, xdr_Device_Error, r);
        return r.error;
    }
    Device_ReadStbResp readStb(int32_t lid) {
        Device_ReadStbResp r;
        r.error = -1;
        call(vxi_proc::device_readstb, xdr_Device_GenericParms, Device_GenericParms{lid, 0, 0, 1000},
             xdr_Device_ReadStbResp, r);
        return r;
    }

private:
    CLIENT* client_ = nullptr;
};

}  // namespace vxi_test
