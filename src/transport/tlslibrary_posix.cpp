#include "transport/tlslibrary.h"

#include <openssl/opensslv.h>

#include <dlfcn.h>

#include <optional>

namespace tw {

namespace {

#define TW_TLS_TEXT(text) #text
#define TW_TLS_VERSION_TEXT(version) TW_TLS_TEXT(version)
// The library of the major version whose headers the program was built with; it loads the crypto
// library it needs itself.
constexpr const char *kLibraryName = "libssl.so." TW_TLS_VERSION_TEXT(OPENSSL_SHLIB_VERSION);

std::optional<TlsLibrary> Load()
{
    // Never closed: sessions and contexts may live until the process ends.
    void *handle = ::dlopen(kLibraryName, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr)
        return std::nullopt;
    TlsLibrary library;
    bool complete = true;
#define TW_TLS_FIND(name)                                                                          \
    library.name = reinterpret_cast<decltype(library.name)>(::dlsym(handle, #name));               \
    complete = complete && library.name != nullptr;
    TW_TLS_CALLS(TW_TLS_FIND)
#undef TW_TLS_FIND
    if (!complete)
        return std::nullopt;
    return library;
}

} // namespace

const TlsLibrary *Tls()
{
    static const std::optional<TlsLibrary> library = Load();
    return library ? &*library : nullptr;
}

} // namespace tw
