#pragma once
#include <memory>

#include "Network/Session.h"
#include "Network/TcpServer.h"

class ScpiManage;

// The SCPI socket transport: a TCP server on port 5025 whose sessions hand
// the received program messages to the SCPI engine and write its replies back.
// Created once at start-up and kept until exit.
//
// Present so far: the server and sessions that switch the instrument between
// remote (a client is connected) and local; received text is not executed yet
// and nothing is answered: the SCPI engine comes later.
class ScpiService {
public:
    // Makes the server (nothing listens yet).
    ScpiService();
    virtual ~ScpiService();

    // Listens on TCP 5025, all addresses, backlog 1024. Throws
    // std::runtime_error when the port cannot be taken.
    void start();

    class ScpiSession : public toolkit::Session {
    public:
        explicit ScpiSession(const toolkit::Socket::Ptr& sock);
        ~ScpiSession() override;

        void onRecv(const toolkit::Buffer::Ptr& buf) override;
        void onError(const toolkit::SockException& err) override;
        void onManager() override;
        void attachServer(const toolkit::Server& server) override;

    private:
        ScpiManage& m_scpiManage;
    };

private:
    toolkit::TcpServer::Ptr httpSrv;
};
