#include "loopback_socket_wake.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#endif

#include <cstring>
#include <system_error>

namespace keyflip {

namespace {

#if defined(_WIN32)
using Socket = SOCKET;
const Socket kNoSocket = INVALID_SOCKET;
constexpr int kSendFlags = 0;

std::system_error lastError(const char* failure) {
    return std::system_error(::WSAGetLastError(), std::system_category(), failure);
}
void closeSocket(Socket socket) {
    ::closesocket(socket);
}
bool setNonBlocking(Socket socket) {
    u_long on = 1;
    return ::ioctlsocket(socket, FIONBIO, &on) == 0;
}
#else
using Socket = int;
constexpr Socket kNoSocket = -1;
#if defined(MSG_NOSIGNAL)
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;
#endif

std::system_error lastError(const char* failure) {
    return std::system_error(errno, std::generic_category(), failure);
}
void closeSocket(Socket socket) {
    ::close(socket);
}
bool setNonBlocking(Socket socket) {
    return ::fcntl(socket, F_SETFL, O_NONBLOCK) == 0 && ::fcntl(socket, F_SETFD, FD_CLOEXEC) == 0;
}
#endif

// Closes the socket at the end of the scope unless it was let go.
class SocketGuard {
public:
    explicit SocketGuard(Socket socket) : socket_(socket) {}
    ~SocketGuard() {
        if (socket_ != kNoSocket) {
            closeSocket(socket_);
        }
    }
    SocketGuard(const SocketGuard&) = delete;
    SocketGuard& operator=(const SocketGuard&) = delete;
    Socket get() const { return socket_; }
    void reset(Socket socket) {
        SocketGuard old(socket_);
        socket_ = socket;
    }
    Socket release() {
        const Socket socket = socket_;
        socket_ = kNoSocket;
        return socket;
    }

private:
    Socket socket_;
};

bool sameAddress(const sockaddr_in& a, const sockaddr_in& b) {
    return a.sin_port == b.sin_port && a.sin_addr.s_addr == b.sin_addr.s_addr;
}

// Winsock counts its users; each wake-up is one.
#if defined(_WIN32)
void startSockets(const char* failure) {
    WSADATA data;
    if (const int result = ::WSAStartup(MAKEWORD(2, 2), &data); result != 0) {
        throw std::system_error(result, std::system_category(), failure);
    }
}
void stopSockets() {
    ::WSACleanup();
}
#else
void startSockets(const char*) {
}
void stopSockets() {
}
#endif

// Another program on this computer may connect to the listener first; only
// the connection that comes from the writer is taken.
constexpr int kAcceptAttempts = 8;

}  // namespace

LoopbackSocketWake::LoopbackSocketWake(const char* failure) {
    startSockets(failure);
    try {
        SocketGuard listener(::socket(AF_INET, SOCK_STREAM, 0));
        if (listener.get() == kNoSocket) {
            throw lastError(failure);
        }
        sockaddr_in address;
        std::memset(&address, 0, sizeof address);
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        socklen_t length = sizeof address;
        if (::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
                0 ||
            ::listen(listener.get(), kAcceptAttempts) != 0 ||
            ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            throw lastError(failure);
        }
        SocketGuard writer(::socket(AF_INET, SOCK_STREAM, 0));
        sockaddr_in writerAddress;
        length = sizeof writerAddress;
        if (writer.get() == kNoSocket ||
            ::connect(writer.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
                0 ||
            ::getsockname(writer.get(), reinterpret_cast<sockaddr*>(&writerAddress), &length) !=
                0) {
            throw lastError(failure);
        }
        SocketGuard reader(kNoSocket);
        for (int attempt = 0; attempt < kAcceptAttempts && reader.get() == kNoSocket; ++attempt) {
            sockaddr_in peer;
            length = sizeof peer;
            SocketGuard accepted(
                ::accept(listener.get(), reinterpret_cast<sockaddr*>(&peer), &length));
            if (accepted.get() == kNoSocket) {
                throw lastError(failure);
            }
            if (sameAddress(peer, writerAddress)) {
                reader.reset(accepted.release());
            }
        }
        if (reader.get() == kNoSocket) {
            throw std::system_error(std::make_error_code(std::errc::connection_refused), failure);
        }
        // Each wake-up is one byte and must leave at once, not wait for
        // more to fill a segment.
        const int on = 1;
        if (::setsockopt(writer.get(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                         sizeof on) != 0 ||
            !setNonBlocking(writer.get()) || !setNonBlocking(reader.get())) {
            throw lastError(failure);
        }
        reader_ = static_cast<std::intptr_t>(reader.release());
        writer_ = static_cast<std::intptr_t>(writer.release());
    } catch (...) {
        stopSockets();
        throw;
    }
}

LoopbackSocketWake::~LoopbackSocketWake() {
    closeSocket(static_cast<Socket>(writer_));
    closeSocket(static_cast<Socket>(reader_));
    stopSockets();
}

void LoopbackSocketWake::signal() noexcept {
    if (pending_.exchange(true, std::memory_order_acq_rel)) {
        return;
    }
    const char byte = 1;
    [[maybe_unused]] const auto sent = ::send(static_cast<Socket>(writer_), &byte, 1, kSendFlags);
}

// The byte is taken before the flag is cleared, so the next wake-up sends a
// byte that is still there to be read.
void LoopbackSocketWake::acknowledge() noexcept {
    char bytes[64];
    while (::recv(static_cast<Socket>(reader_), bytes, sizeof bytes, 0) > 0) {
    }
    pending_.store(false, std::memory_order_release);
}

}  // namespace keyflip
