#pragma once
// OpenSSL set up without reading openssl.cnf: the TLS profile and the
// certificate rules are the daemon's own and must not change with the
// machine's OpenSSL configuration (or an OPENSSL_CONF in the environment).

namespace qs {

// Safe to call many times; only the first call does anything.
void initOpenSsl();

}  // namespace qs
