// Certificates on SChannel, checked by hand: Wine's automatic validation accepts anything,
// and the operator needs the reason and the fingerprint when a certificate is refused.
#include "net/tls_certificates_win32.hpp"

#include <bcrypt.h>

#include <vector>

#include "common/wide.hpp"

namespace {
// wininet.h's SECURITY_FLAG_IGNORE_UNKNOWN_CA, for the SSL chain policy.
constexpr DWORD ignoreUnknownCa = 0x00000100;

tls::CertificateNames namesOf(PCCERT_CONTEXT cert)
{
    tls::CertificateNames names;
    PCERT_EXTENSION extension =
        CertFindExtension(szOID_SUBJECT_ALT_NAME2, cert->pCertInfo->cExtension, cert->pCertInfo->rgExtension);
    CERT_ALT_NAME_INFO* info = nullptr;
    DWORD size = 0;
    if (extension && CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData,
                                         extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &info, &size)) {
        for (DWORD i = 0; i < info->cAltEntry; ++i) {
            const CERT_ALT_NAME_ENTRY& entry = info->rgAltEntry[i];
            if (entry.dwAltNameChoice == CERT_ALT_NAME_DNS_NAME)
                names.dnsNames.push_back(sys::fromWide(entry.pwszDNSName));
            else if (entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS)
                names.ipAddresses.emplace_back(entry.IPAddress.pbData, entry.IPAddress.pbData + entry.IPAddress.cbData);
        }
        LocalFree(info);
    }
    wchar_t commonName[256] = {};
    if (CertGetNameStringW(cert, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(szOID_COMMON_NAME), commonName, 256) > 1)
        names.commonName = sys::fromWide(commonName);
    return names;
}

// The file's bytes; the path is UTF-8, like every path in the program.
bool readFile(const std::string& path, std::string& content)
{
    HANDLE file = CreateFileW(sys::toWide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    char buffer[8192];
    DWORD got = 0;
    bool ok = true;
    while ((ok = ReadFile(file, buffer, sizeof buffer, &got, nullptr) != 0) && got > 0) content.append(buffer, got);
    CloseHandle(file);
    return ok;
}

}

namespace sch {
tls::Sha256 sha256(const BYTE* data, DWORD length)
{
    tls::Sha256 digest{};
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool ok = BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) &&
              BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0)) &&
              BCRYPT_SUCCESS(BCryptHashData(hash, const_cast<BYTE*>(data), length, 0)) &&
              BCRYPT_SUCCESS(BCryptFinishHash(hash, digest.data(), static_cast<ULONG>(digest.size()), 0));
    if (hash) BCryptDestroyHash(hash);
    if (algorithm) BCryptCloseAlgorithmProvider(algorithm, 0);
    if (!ok) throw TlsError(tls::handshakeFailure("cannot compute the certificate's fingerprint"));
    return digest;
}

// The reason to refuse `cert` for `host`, if any: a chain to a system root or to
// one of the extra roots, then the name, then the validity period.
std::optional<tls::Refusal> checkCertificate(PCCERT_CONTEXT cert, HCERTSTORE extraRoots, const std::string& host)
{
    HCERTSTORE additional = CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr);
    if (!additional) return tls::Refusal::untrustedRoot;
    if (cert->hCertStore) CertAddStoreToCollection(additional, cert->hCertStore, 0, 0);
    if (extraRoots) CertAddStoreToCollection(additional, extraRoots, 0, 0);
    LPSTR serverAuth = const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH);
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof para;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = &serverAuth;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    BOOL built = CertGetCertificateChain(nullptr, cert, nullptr, additional, &para, 0, nullptr, &chain);
    CertCloseStore(additional, 0);
    if (!built || !chain || chain->cChain == 0) {
        if (chain) CertFreeCertificateChain(chain);
        return tls::Refusal::untrustedRoot;
    }
    const DWORD timeErrors = CERT_TRUST_IS_NOT_TIME_VALID;
    DWORD errors = chain->TrustStatus.dwErrorStatus & ~(CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION);
    bool extraRoot = false;
    if ((errors & CERT_TRUST_IS_UNTRUSTED_ROOT) && extraRoots) {
        const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
        PCCERT_CONTEXT root = simple->rgpElement[simple->cElement - 1]->pCertContext;
        PCCERT_CONTEXT found = CertFindCertificateInStore(extraRoots, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, root, nullptr);
        // Only a self-signed root from the CA file ends a chain; anything else is partial.
        if (found && (simple->rgpElement[simple->cElement - 1]->TrustStatus.dwInfoStatus & CERT_TRUST_IS_SELF_SIGNED)) {
            extraRoot = true;
            errors &= ~CERT_TRUST_IS_UNTRUSTED_ROOT;
        }
        if (found) CertFreeCertificateContext(found);
    }
    std::optional<tls::Refusal> refusal;
    if (errors & ~timeErrors) refusal = tls::Refusal::untrustedRoot;
    if (!refusal) {
        // A second opinion from the system's policy; without a server name it leaves
        // the names to hostMatches.
        SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
        ssl.cbSize = sizeof ssl;
        ssl.dwAuthType = AUTHTYPE_SERVER;
        ssl.fdwChecks = extraRoot ? ignoreUnknownCa : 0;
        CERT_CHAIN_POLICY_PARA policy{};
        policy.cbSize = sizeof policy;
        policy.dwFlags = extraRoot ? CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG : 0;
        policy.pvExtraPolicyPara = &ssl;
        CERT_CHAIN_POLICY_STATUS status{};
        status.cbSize = sizeof status;
        if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status))
            refusal = tls::Refusal::untrustedRoot;
        else if (status.dwError == static_cast<DWORD>(CERT_E_EXPIRED))
            errors |= timeErrors;
        else if (status.dwError != 0)
            refusal = tls::Refusal::untrustedRoot;
    }
    CertFreeCertificateChain(chain);
    if (refusal) return refusal;
    if (!tls::hostMatches(namesOf(cert), host)) return tls::Refusal::nameMismatch;
    if (errors & timeErrors) return tls::Refusal::expired;
    return std::nullopt;
}

HCERTSTORE loadPemRoots(const std::string& path)
{
    HCERTSTORE roots = nullptr;
    std::string pem;
    if (!readFile(path, pem)) throw TlsError("TLS CA file cannot be read: " + path);
    roots = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr);
    const std::string begin = "-----BEGIN CERTIFICATE-----", end = "-----END CERTIFICATE-----";
    int added = 0;
    for (std::size_t at = pem.find(begin); roots && at != std::string::npos; at = pem.find(begin, at + 1)) {
        std::size_t stop = pem.find(end, at);
        if (stop == std::string::npos) break;
        std::string block = pem.substr(at, stop + end.size() - at);
        DWORD size = 0;
        if (!CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()), CRYPT_STRING_BASE64HEADER, nullptr,
                                  &size, nullptr, nullptr))
            continue;
        std::vector<BYTE> der(size);
        if (CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()), CRYPT_STRING_BASE64HEADER,
                                 der.data(), &size, nullptr, nullptr) &&
            CertAddEncodedCertificateToStore(roots, X509_ASN_ENCODING, der.data(), size, CERT_STORE_ADD_ALWAYS,
                                             nullptr))
            ++added;
    }
    if (added == 0) {
        if (roots) CertCloseStore(roots, 0);
        roots = nullptr;
        throw TlsError("TLS CA file holds no usable PEM certificate: " + path);
    }
    return roots;
}
}
