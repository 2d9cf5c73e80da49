#pragma once

// The system's socket calls, made nowhere else. Each platform has its own implementation and the
// build picks it; every socket here is non-blocking, so no call waits.

#include <QtGlobal>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tw {

// A descriptor or a SOCKET; the type QSocketNotifier watches.
using SocketHandle = qintptr;
inline constexpr SocketHandle kNoSocket = -1;

// An address of a host as the system's calls take it, its port aside.
struct NetAddress
{
    std::array<unsigned char, 128> bytes {};
    std::uint32_t length = 0;

    bool operator==(const NetAddress &) const = default;
};

// The address text spells ("192.0.2.1", "::1", "fe80::1%eth0"); nothing for a name.
std::optional<NetAddress> LiteralAddress(const std::string &text);

// A host name (in ASCII) looked up on a thread of its own, so that nothing waits for the name
// servers; a lookup given up on ends unseen. Lookups of a name begun while one of it runs end
// with it, without asking the name servers again.
class NameLookup
{
public:
    explicit NameLookup(const std::string &name);
    ~NameLookup();
    NameLookup(const NameLookup &) = delete;
    NameLookup &operator=(const NameLookup &) = delete;

    // Turns readable once the lookup has ended; kNoSocket when the system had no descriptor to
    // spare, and the lookup was not begun.
    SocketHandle Signal() const;
    // The addresses found, in the order to try them; empty when none was, or before the end.
    std::vector<NetAddress> Addresses() const;

private:
    struct Shared;
    struct Waiting;
    static Waiting &Waiters();
    // Ends every lookup of name that waits, with what was found.
    static void EndAll(const std::string &name, const std::vector<NetAddress> &found);

    std::shared_ptr<Shared> m_shared;
};

// Opens a non-blocking socket of address's family; kNoSocket when the system has none to give.
SocketHandle OpenSocket(const NetAddress &address);
// Starts connecting socket to address and port; false when that failed at once (refused,
// unreachable). On the same machine the kernel may carry out the whole handshake inside the call.
bool BeginConnect(SocketHandle socket, const NetAddress &address, quint16 port);

enum class ConnectStatus { Pending, Established, Failed };
// How the connect begun by BeginConnect() stands; asked once the socket is writable.
ConnectStatus ConnectStatusOf(SocketHandle socket);

// What one read or write did. A call the system interrupted is made again, never reported.
struct Transfer
{
    enum Result {
        Moved, // bytes were read or written
        Ended, // the peer closed in order (reads only)
        WouldBlock, // nothing until the socket is readable or writable again
        Failed // a reset, or the peer is gone
    };
    Result result = Failed;
    std::size_t bytes = 0;
};
Transfer ReadSocket(SocketHandle socket, char *out, std::size_t size);
// A peer that is gone makes this Failed, never a signal that ends the process.
Transfer WriteSocket(SocketHandle socket, const char *data, std::size_t size);

// Closes without a lingering close: unsent bytes are dropped and the peer sees a reset if it
// still has something to say, so the socket and its port are free at once.
void AbortSocket(SocketHandle socket);

// True for a literal IPv4 or IPv6 address (without brackets), false for a name.
bool IsAddressLiteral(const std::string &text);

// OpenSSL's own socket calls leave their error where the system keeps it; after SSL_get_error()
// says a call failed in the system, that error tells a broken stream from an ended one.
void ClearSocketError();
bool HasSocketError();

} // namespace tw
