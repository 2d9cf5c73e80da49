#pragma once

// Why a fetch failed for good, or why a job could not go on, as the engine reports it.

#include "transport/tlssession.h"

#include <cstdint>
#include <string>

namespace tw {

struct Failure
{
    enum class Kind {
        Connect, // connect: the connection could not be made, or its certificate failed;
                 // announced: the status a proxy refused a tunnel with
        TimedOut, // every try ran out of time without a reason to name
        BrokenHead, // the server closed before the end of its header
        ShortBody, // received of announced bytes arrived
        Reset, // the server reset the connection before the end of a body it gave no length
        BrokenChunks, // a chunked body broke off or did not follow the coding
        TooLarge, // the response outgrew the memory limit, or would have decoded past it or the
                  // disk
        BadCoding, // the body did not decode; detail: its coding, as the server named it
        HttpStatus, // announced: the error status the server answered with; detail: its reason
        NotStored, // detail: why the file could not be written, in the system's words
        LinksNotFollowed, // detail: why a placeholder or log line could not be written
        PathClimbsAboveSite, // the request's path climbs above the site's root
        MovedToAnotherSite, // detail: where the start page moved, as the server named it
        RedirectLoop, // detail: the start URL that came round again
        TooManyRedirects, // announced: how many moves were followed
        LoginRefused, // the site refused the name and password; detail: its realm
    };
    Kind kind = Kind::TimedOut;
    ConnectFailure connect = ConnectFailure::None;
    std::int64_t received = 0;
    std::int64_t announced = 0;
    std::string detail;
    // How many tries were made.
    int tries = 0;
};

// No try can pass: the server's certificate or the TLS handshake was refused, OpenSSL could not
// be loaded, the proxy URL names no proxy, or the proxy wants a password it was not given.
bool IsLastingConnectFailure(ConnectFailure failure);

} // namespace tw
