#pragma once
#include <cstdint>
#include <exception>
#include <string>

namespace toolkit {

// The kinds of error the socket layer reports.
typedef enum {
    Err_success = 0,  // no error
    Err_eof = 1,      // the peer closed the connection
    Err_timeout = 2,  // timed out
    Err_refused = 3,  // connection refused
    Err_dns = 4,      // host name resolution failed
    Err_shutdown = 5, // the owner shut the socket down
    Err_other = 0xFF, // anything else
} ErrCode;

// Why a connection ended (or that it did not): a kind, the negative system
// error code it came from (0 when none) and a message. Every error callback
// of a socket or session receives one.
class SockException : public std::exception {
public:
    SockException(ErrCode code = Err_success, const std::string& msg = "", int custom_code = 0)
        : _code(code), _custom_code(custom_code), _msg(msg) {}

    void reset(ErrCode code, const std::string& msg, int custom_code = 0) {
        _code = code;
        _custom_code = custom_code;
        _msg = msg;
    }

    const char* what() const noexcept override { return _msg.c_str(); }
    ErrCode getErrCode() const { return _code; }
    int getCustomCode() const { return _custom_code; }
    // True for every kind but Err_success.
    explicit operator bool() const { return _code != Err_success; }

private:
    ErrCode _code;
    int _custom_code;
    std::string _msg;
};

// Maps a negative system error code (as get_uv_error gives it) to an
// exception: 0 and try-again are success, refused and timed out have their
// own kinds, everything else is Err_other with the system's text.
SockException toSockException(int error);

} // namespace toolkit
