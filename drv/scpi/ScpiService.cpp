#include "ScpiService.h"

#include <cstdio>

#include "ScpiManage.h"
#include "Singelton.h"
#include "SystemSetup.h"
#include "Util/logger.h"

namespace {

constexpr uint16_t kScpiPort = 5025;
constexpr uint32_t kBacklog = 1024;

} // namespace

ScpiService::ScpiService() : httpSrv(std::make_shared<toolkit::TcpServer>()) {}

ScpiService::~ScpiService() = default;

void ScpiService::start() {
    httpSrv->start<ScpiSession>(kScpiPort, "::", kBacklog);
}

ScpiService::ScpiSession::ScpiSession(const toolkit::Socket::Ptr& sock)
    : toolkit::Session(sock), m_scpiManage(ScpiManage::instance()) {}

ScpiService::ScpiSession::~ScpiSession() {
    PrintD("%s", "");
}

void ScpiService::ScpiSession::attachServer(const toolkit::Server& /*server*/) {
    std::printf("attachServer\n");
    Copperwren::Singleton<SystemSetup>::Instance()->API_SetLocalState(false);
}

void ScpiService::ScpiSession::onRecv(const toolkit::Buffer::Ptr& buf) {
    int len = static_cast<int>(buf->size());
    PrintI("SCPI cmd = %.*s,  cmd len = %d\n", len, buf->data(), len);
}

void ScpiService::ScpiSession::onError(const toolkit::SockException& /*err*/) {
    Copperwren::Singleton<SystemSetup>::Instance()->API_SetLocalState(true);
}

void ScpiService::ScpiSession::onManager() {}
