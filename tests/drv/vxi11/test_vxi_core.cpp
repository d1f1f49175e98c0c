// The procedures over links made on the shared datagram socket, and the
// shares of the link table, on a clock of the test's own.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "vxi_proc.h"

namespace {

using namespace std::chrono;
using Clock = CVxiCore::Clock;

Clock::time_point g_now{};

int fakeGeneric(int32_t, uint32_t) { return 1; }

const _vxi_io_ kIo{
    [](int32_t, uint32_t* most) { return *most = 64, 0; },
    [](int32_t, const char*, uint32_t length, uint32_t, bool, VxiReplyLeft) { return static_cast<int>(length); },
    [](int32_t, std::string&, uint32_t, uint32_t, bool*) { return 0; },  // no reply yet
    [](int32_t) {},
    [](int32_t, uint32_t) { return 0x10; },
    fakeGeneric, fakeGeneric, fakeGeneric, fakeGeneric, [] {}};

class VxiCoreDatagram : public ::testing::Test {
protected:
    void SetUp() override {
        g_now = Clock::time_point{} + hours(1);
        ASSERT_GE(udpFd, 0);
        ASSERT_GE(tcpFd, 0);
    }
    void TearDown() override { close(udpFd), close(tcpFd); }

    VxiCaller datagram(uint32_t address, uint16_t port = 700) const {
        VxiCaller caller;
        caller.fd = udpFd;
        caller.stream = false;
        auto& in = reinterpret_cast<sockaddr_in&>(caller.peer);
        in.sin_family = AF_INET;
        in.sin_addr.s_addr = htonl(address);
        in.sin_port = htons(port);
        caller.peerLen = sizeof(sockaddr_in);
        return caller;
    }
    VxiCaller stream() const { return VxiCaller{tcpFd}; }
    // A connection of `fd` from `address`.
    static VxiCaller streamFrom(int fd, uint32_t address) {
        VxiCaller caller;
        caller.fd = fd;
        auto& in = reinterpret_cast<sockaddr_in&>(caller.peer);
        in.sin_family = AF_INET;
        in.sin_addr.s_addr = htonl(address);
        in.sin_port = htons(static_cast<uint16_t>(40000 + fd));
        caller.peerLen = sizeof(sockaddr_in);
        return caller;
    }

    // create_link answered at the first attempt.
    Create_LinkResp link(const VxiCaller& caller, bool lock = false, uint32_t lockTimeout = 0) {
        Create_LinkParms p{0, lock, lockTimeout, {5, const_cast<char*>("inst0")}};
        VxiWait wait;
        Create_LinkResp resp;
        EXPECT_TRUE(core.createLink(p, caller, wait, resp)) << "create_link waits";
        return resp;
    }
    int32_t readStb(int32_t lid, const VxiCaller& caller) {
        VxiWait wait;
        Device_ReadStbResp resp;
        EXPECT_TRUE(core.readStb(Device_GenericParms{lid, 0, 0, 0}, caller, wait, resp));
        return resp.error;
    }

    int udpFd = socket(AF_INET, SOCK_DGRAM, 0);
    int tcpFd = socket(AF_INET, SOCK_STREAM, 0);
    CVxiCore core{kIo, 1234, [] { return g_now; }};
};

TEST_F(VxiCoreDatagram, LinkEndsAfterItsIdleTimeAndTakesItsLockAlong) {
    const VxiCaller udp = datagram(0x0A000001);
    Create_LinkResp held = link(udp, true);
    ASSERT_EQ(held.error, 0);
    Create_LinkResp kept = link(stream());
    EXPECT_EQ(kept.error, 11);  // locked by the datagram link

    // Each use starts its idle time afresh.
    g_now += CVxiCore::kDatagramLinkIdle - seconds(1);
    core.expireIdle();
    EXPECT_EQ(readStb(held.lid, udp), 0);
    g_now += CVxiCore::kDatagramLinkIdle - seconds(1);
    EXPECT_EQ(core.expireIdle(), g_now + seconds(1));
    EXPECT_EQ(link(stream()).error, 11);

    g_now += seconds(1);
    EXPECT_EQ(core.expireIdle(), Clock::time_point::max());
    EXPECT_EQ(readStb(held.lid, udp), 4);
    kept = link(stream());
    ASSERT_EQ(kept.error, 0);
    // A link on a connection ends with its connection, never by time.
    g_now += hours(24);
    core.expireIdle();
    EXPECT_EQ(readStb(kept.lid, stream()), 0);
}

TEST_F(VxiCoreDatagram, CallsAnswerAtOnceAsTheirTimeOutWould) {
    const VxiCaller udp = datagram(0x0A000001);
    int32_t lid = link(udp).lid;
    int32_t holder = link(stream()).lid;

    Device_ReadParms read{lid, 100, 60000, 0, 0, 0};
    VxiWait readWait;
    Device_ReadResp readResp;
    EXPECT_TRUE(core.read(read, udp, readWait, readResp));
    EXPECT_EQ(readResp.error, 15);

    VxiWait wait[3];
    Device_Error lockResp;
    ASSERT_TRUE(core.lock(Device_LockParms{holder, 0, 0}, stream(), wait[0], lockResp));
    EXPECT_TRUE(core.lock(Device_LockParms{lid, VXI_FLAG_WAITLOCK, 60000}, udp, wait[1], lockResp));
    EXPECT_EQ(lockResp.error, 11);
    Device_WriteParms write{lid, 0, 60000, VXI_FLAG_WAITLOCK | VXI_FLAG_END, {1, const_cast<char*>("x")}};
    Device_WriteResp writeResp;
    EXPECT_TRUE(core.write(write, udp, wait[2], writeResp));
    EXPECT_EQ(writeResp.error, 11);
    EXPECT_EQ(link(udp, false, 60000).error, 11);
}

TEST_F(VxiCoreDatagram, SourcesShareABoundedPartOfTheTable) {
    for (size_t i = 0; i < CVxiLinks::kMaxLinksPerClient; ++i) {
        ASSERT_EQ(link(datagram(0x0A000001, static_cast<uint16_t>(700 + i))).error, 0) << i;
    }
    EXPECT_EQ(link(datagram(0x0A000001, 999)).error, 9);
    size_t taken = CVxiLinks::kMaxLinksPerClient;
    for (uint32_t address = 0x0A000002; taken < CVxiLinks::kMaxLinks; ++address) {
        Create_LinkResp resp = link(datagram(address));
        if (resp.error != 0) {
            EXPECT_EQ(resp.error, 9);
            break;
        }
        ++taken;
    }
    EXPECT_EQ(taken, CVxiLinks::kMaxDatagramLinks);
    EXPECT_EQ(link(stream()).error, 0);
}

// However many connections one address opens, its links stay within its
// share of the table, and another address still gets links.
TEST_F(VxiCoreDatagram, AnAddressHoldsABoundedShareOverAnyNumberOfConnections) {
    std::vector<int> fds;
    size_t made = 0;
    for (size_t i = 0; i <= CVxiLinks::kMaxLinksPerAddress / CVxiLinks::kMaxLinksPerClient; ++i) {
        fds.push_back(socket(AF_INET, SOCK_STREAM, 0));
        for (size_t j = 0; j < CVxiLinks::kMaxLinksPerClient; ++j) {
            Create_LinkResp resp = link(streamFrom(fds.back(), 0x7F000001));
            EXPECT_TRUE(resp.error == 0 || resp.error == 9) << resp.error;
            made += resp.error == 0 ? 1 : 0;
        }
    }
    EXPECT_EQ(made, CVxiLinks::kMaxLinksPerAddress);
    fds.push_back(socket(AF_INET, SOCK_STREAM, 0));
    EXPECT_EQ(link(streamFrom(fds.back(), 0x7F000002)).error, 0);
    for (int fd : fds) {
        close(fd);
    }
}

}  // namespace
