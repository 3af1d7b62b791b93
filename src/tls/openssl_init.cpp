#include "tls/openssl_init.hpp"

#include <openssl/ssl.h>

namespace qs {

void initOpenSsl() {
    // OpenSSL remembers the first initialisation; a later implicit one (from
    // the first SSL_CTX_new) would otherwise load the system configuration.
    static const bool done = [] {
        OPENSSL_init_ssl(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
        return true;
    }();
    (void)done;
}

}  // namespace qs
