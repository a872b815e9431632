#pragma once
// The certificate checks of the SChannel channel (Windows only: include from *_win32.cpp).
#define SECURITY_WIN32
#include <winsock2.h>
#include <windows.h>
#include <wincrypt.h>

#include <optional>
#include <string>

#include "net/tls_channel.hpp"

namespace sch {
// Frees the certificate context it holds.
class CertificateRef {
public:
    ~CertificateRef()
    {
        if (cert) CertFreeCertificateContext(cert);
    }
    PCCERT_CONTEXT cert = nullptr;
};

tls::Sha256 sha256(const BYTE* data, DWORD length);
// The reason to refuse `cert` for `host`, if any: a chain to a system root or to
// one of the extra roots, then the name, then the validity period.
std::optional<tls::Refusal> checkCertificate(PCCERT_CONTEXT cert, HCERTSTORE extraRoots, const std::string& host);
// A store of the PEM certificates of `path`; throws TlsError when it cannot be read or holds none.
HCERTSTORE loadPemRoots(const std::string& path);
}
