#include "transport/socketcalls.h"

#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <unordered_map>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/eventfd.h>
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

static_assert(sizeof(sockaddr_storage) <= sizeof(NetAddress::bytes));

// getaddrinfo() for name with flags: its result, and into addresses the IPv4 and IPv6 addresses
// it gives, each once, in its order.
int AddressesOf(const std::string &name, int flags, std::vector<NetAddress> &addresses)
{
    addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags;
    addrinfo *found = nullptr;
    addresses.clear();
    if (const int result = ::getaddrinfo(name.c_str(), nullptr, &hints, &found); result != 0)
        return result;
    for (const addrinfo *each = found; each != nullptr; each = each->ai_next) {
        if ((each->ai_family != AF_INET && each->ai_family != AF_INET6)
            || each->ai_addrlen > sizeof(NetAddress::bytes))
            continue;
        NetAddress address;
        std::memcpy(address.bytes.data(), each->ai_addr, each->ai_addrlen);
        address.length = each->ai_addrlen;
        if (std::find(addresses.begin(), addresses.end(), address) == addresses.end())
            addresses.push_back(address);
    }
    ::freeaddrinfo(found);
    return 0;
}

// A name's addresses, only of the kinds this machine has an address of where the system can
// tell; a name not found is asked once.
std::vector<NetAddress> LookUp(const std::string &name)
{
    std::vector<NetAddress> addresses;
    if (AddressesOf(name, AI_ADDRCONFIG, addresses) == EAI_BADFLAGS)
        AddressesOf(name, 0, addresses);
    return addresses;
}

} // namespace

std::optional<NetAddress> LiteralAddress(const std::string &text)
{
    std::vector<NetAddress> addresses;
    if (AddressesOf(text, AI_NUMERICHOST, addresses) != 0 || addresses.empty())
        return std::nullopt;
    return addresses.front();
}

// Kept by the lookup's thread and by its NameLookup, whichever ends last closing the descriptor.
struct NameLookup::Shared
{
    const int signal = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    mutable std::mutex mutex;
    std::vector<NetAddress> addresses; // guarded by mutex
    Shared() = default;
    Shared(const Shared &) = delete;
    Shared &operator=(const Shared &) = delete;
    ~Shared()
    {
        if (signal >= 0)
            ::close(signal);
    }
    void End(const std::vector<NetAddress> &found)
    {
        {
            const std::lock_guard lock(mutex);
            addresses = found;
        }
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(signal, &one, sizeof(one));
    }
};

// The lookups waiting for each name being looked up.
struct NameLookup::Waiting
{
    std::mutex mutex;
    std::unordered_map<std::string, std::vector<std::shared_ptr<Shared>>> byName;
};

// Never destroyed: a lookup's thread may still end while the process exits.
NameLookup::Waiting &NameLookup::Waiters()
{
    static auto *const waiting = new Waiting;
    return *waiting;
}

NameLookup::NameLookup(const std::string &name)
    : m_shared(std::make_shared<Shared>())
{
    if (m_shared->signal < 0)
        return;
    Waiting &waiting = Waiters();
    {
        const std::lock_guard lock(waiting.mutex);
        std::vector<std::shared_ptr<Shared>> &ofName = waiting.byName[name];
        ofName.push_back(m_shared);
        if (ofName.size() > 1)
            return;
    }
    try {
        std::thread([name] { EndAll(name, LookUp(name)); }).detach();
    } catch (const std::system_error &) {
        EndAll(name, {});
    }
}

void NameLookup::EndAll(const std::string &name, const std::vector<NetAddress> &found)
{
    std::vector<std::shared_ptr<Shared>> ofName;
    {
        Waiting &waiting = Waiters();
        const std::lock_guard lock(waiting.mutex);
        const auto entry = waiting.byName.find(name);
        if (entry == waiting.byName.end())
            return;
        ofName = std::move(entry->second);
        waiting.byName.erase(entry);
    }
    for (const std::shared_ptr<Shared> &each : ofName)
        each->End(found);
}

NameLookup::~NameLookup() = default;

SocketHandle NameLookup::Signal() const
{
    return m_shared->signal;
}

std::vector<NetAddress> NameLookup::Addresses() const
{
    const std::lock_guard lock(m_shared->mutex);
    return m_shared->addresses;
}

namespace {

// address with port as the system's calls take it; nothing for a family other than IPv4 or IPv6.
std::optional<sockaddr_storage> SocketAddressOf(const NetAddress &address, quint16 port)
{
    sockaddr_storage storage {};
    std::memcpy(&storage, address.bytes.data(), address.length);
    if (storage.ss_family == AF_INET)
        reinterpret_cast<sockaddr_in *>(&storage)->sin_port = qToBigEndian(port);
    else if (storage.ss_family == AF_INET6)
        reinterpret_cast<sockaddr_in6 *>(&storage)->sin6_port = qToBigEndian(port);
    else
        return std::nullopt;
    return storage;
}

} // namespace

SocketHandle OpenSocket(const NetAddress &address)
{
    const std::optional<sockaddr_storage> storage = SocketAddressOf(address, 0);
    if (!storage)
        return kNoSocket;
    const int fd = ::socket(storage->ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return kNoSocket;
    // A request sent behind another must not wait for the acknowledgement of the one before.
    const int noDelay = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof(noDelay));
    return fd;
}

bool BeginConnect(SocketHandle socket, const NetAddress &address, quint16 port)
{
    const std::optional<sockaddr_storage> storage = SocketAddressOf(address, port);
    if (!storage)
        return false;
    const auto *const target = reinterpret_cast<const sockaddr *>(&*storage);
    return ::connect(Descriptor(socket), target, address.length) == 0 || errno == EINPROGRESS
        || errno == EINTR;
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
