#include "connections/socketcalls.h"

#include <QHostAddress>
#include <QtEndian>

#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tw {

namespace {

int Descriptor(SocketHandle socket)
{
    return static_cast<int>(socket);
}

// The result of a read or write that moved nothing, from the errno it left.
Transfer::Result NothingMoved()
{
    return errno == EAGAIN || errno == EWOULDBLOCK ? Transfer::WouldBlock : Transfer::Failed;
}

} // namespace

SocketHandle StartConnect(const QHostAddress &address, quint16 port)
{
    sockaddr_storage storage {};
    socklen_t length = 0;
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        auto *in = reinterpret_cast<sockaddr_in *>(&storage);
        in->sin_family = AF_INET;
        in->sin_port = qToBigEndian(port);
        in->sin_addr.s_addr = qToBigEndian(address.toIPv4Address());
        length = sizeof(sockaddr_in);
    } else if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(&storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = qToBigEndian(port);
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::memcpy(&in6->sin6_addr, &bytes, sizeof(bytes));
        in6->sin6_scope_id = address.scopeId().toUInt();
        length = sizeof(sockaddr_in6);
    } else {
        return kNoSocket;
    }
    const int fd = ::socket(storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return kNoSocket;
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&storage), length) == 0
        || errno == EINPROGRESS || errno == EINTR)
        return fd;
    ::close(fd);
    return kNoSocket;
}

ConnectStatus ConnectStatusOf(SocketHandle socket)
{
    int error = 0;
    socklen_t length = sizeof(error);
    if (::getsockopt(Descriptor(socket), SOL_SOCKET, SO_ERROR, &error, &length) < 0)
        error = errno;
    if (error == EINPROGRESS || error == EINTR)
        return ConnectStatus::Pending;
    return error == 0 ? ConnectStatus::Established : ConnectStatus::Failed;
}

std::size_t QueuedBytes(SocketHandle socket)
{
    int queued = 0;
    if (::ioctl(Descriptor(socket), FIONREAD, &queued) < 0 || queued < 0)
        return 0;
    return static_cast<std::size_t>(queued);
}

Transfer ReadSocket(SocketHandle socket, char *out, std::size_t size)
{
    for (;;) {
        const ssize_t n = ::recv(Descriptor(socket), out, size, 0);
        if (n > 0)
            return {Transfer::Moved, static_cast<std::size_t>(n)};
        if (n == 0)
            return {Transfer::Ended};
        if (errno != EINTR)
            return {NothingMoved()};
    }
}

Transfer WriteSocket(SocketHandle socket, const char *data, std::size_t size)
{
    for (;;) {
        const ssize_t n = ::send(Descriptor(socket), data, size, MSG_NOSIGNAL);
        if (n > 0)
            return {Transfer::Moved, static_cast<std::size_t>(n)};
        if (n == 0)
            return {Transfer::Failed};
        if (errno != EINTR)
            return {NothingMoved()};
    }
}

void AbortSocket(SocketHandle socket)
{
    const linger abortive {1, 0};
    ::setsockopt(Descriptor(socket), SOL_SOCKET, SO_LINGER, &abortive, sizeof(abortive));
    ::close(Descriptor(socket));
}

bool IsAddressLiteral(const std::string &text)
{
    unsigned char buffer[sizeof(in6_addr)];
    return inet_pton(AF_INET, text.c_str(), buffer) == 1
        || inet_pton(AF_INET6, text.c_str(), buffer) == 1;
}

void ClearSocketError()
{
    errno = 0;
}

bool HasSocketError()
{
    return errno != 0;
}

} // namespace tw
