// Simulated CryptoAPI: a verify-only context of the default RSA provider and
// its MD5 and SHA-1 hash objects, computed by OpenSSL. Hash handles keep the
// algorithm in access, the data so far in blob, and position 1 once the
// value has been read (no more data may follow).
#include <openssl/evp.h>

#include "sim.h"

using namespace sim;

namespace {

#define FAIL_IF_INJECTED(name)      \
  do {                              \
    DWORD injected_;                \
    if (Enter(name, &injected_)) {  \
      M().lastError = injected_;    \
      return FALSE;                 \
    }                               \
  } while (0)

BOOL Fail(DWORD error)
{
  M().lastError = error;
  return FALSE;
}

// The library of the default PROV_RSA_FULL provider.
const char kProviderLibrary[] = "rsaenh.dll";

const EVP_MD *Digest(DWORD algorithm) { return algorithm == CALG_MD5 ? EVP_md5() : EVP_sha1(); }

}  // namespace

extern "C" {

BOOL CryptAcquireContextW(HCRYPTPROV *prov, LPCWSTR container, LPCWSTR provider, DWORD type, DWORD flags)
{
  FAIL_IF_INJECTED("CryptAcquireContextW");
  if (!prov)
    return Fail(ERROR_INVALID_PARAMETER);
  if (type != PROV_RSA_FULL)
    return Fail(NTE_BAD_TYPE);
  if (provider && provider[0])
    return Fail(NTE_BAD_KEYSET_PARAM);
  // Only ephemeral contexts are modelled: key containers are not.
  if (!(flags & CRYPT_VERIFYCONTEXT) || (container && container[0]))
    return Fail(NTE_BAD_KEYSET_PARAM);
  if (flags & ~(CRYPT_VERIFYCONTEXT | CRYPT_SILENT))
    return Fail(NTE_BAD_FLAGS);
  // The provider's library is loaded for the context and released with it.
  DWORD loadError;
  if (!LoadOnDemand(kProviderLibrary, &loadError))
    return Fail(NTE_PROVIDER_DLL_FAIL);
  Handle h;
  h.kind = HandleKind::CryptProv;
  *prov = (HCRYPTPROV)NewHandle(h);
  return TRUE;
}

BOOL CryptCreateHash(HCRYPTPROV prov, ALG_ID alg, HCRYPTKEY key, DWORD flags, HCRYPTHASH *hash)
{
  FAIL_IF_INJECTED("CryptCreateHash");
  if (!FindHandle(prov, HandleKind::CryptProv))
    return Fail(NTE_BAD_UID);
  if (alg != CALG_MD5 && alg != CALG_SHA1)
    return Fail(NTE_BAD_ALGID);
  if (key != 0)
    return Fail(NTE_BAD_KEY);
  if (flags != 0)
    return Fail(NTE_BAD_FLAGS);
  if (!hash)
    return Fail(ERROR_INVALID_PARAMETER);
  Handle h;
  h.kind = HandleKind::CryptHash;
  h.access = alg;
  h.parent = prov;
  *hash = (HCRYPTHASH)NewHandle(h);
  return TRUE;
}

BOOL CryptHashData(HCRYPTHASH hash, const BYTE *data, DWORD length, DWORD flags)
{
  FAIL_IF_INJECTED("CryptHashData");
  Handle *h = FindHandle(hash, HandleKind::CryptHash);
  if (!h)
    return Fail(NTE_BAD_HASH);
  if (flags != 0)
    return Fail(NTE_BAD_FLAGS);
  if (h->position)
    return Fail(NTE_BAD_HASH_STATE);
  if (length && !data)
    return Fail(ERROR_INVALID_PARAMETER);
  h->blob.insert(h->blob.end(), data, data + length);
  return TRUE;
}

BOOL CryptGetHashParam(HCRYPTHASH hash, DWORD param, BYTE *data, DWORD *length, DWORD flags)
{
  FAIL_IF_INJECTED("CryptGetHashParam");
  Handle *h = FindHandle(hash, HandleKind::CryptHash);
  if (!h)
    return Fail(NTE_BAD_HASH);
  if (flags != 0)
    return Fail(NTE_BAD_FLAGS);
  if (!length)
    return Fail(ERROR_INVALID_PARAMETER);
  DWORD size = h->access == CALG_MD5 ? 16 : 20;
  std::vector<uint8_t> value(4);
  if (param == HP_ALGID || param == HP_HASHSIZE) {
    DWORD v = param == HP_ALGID ? h->access : size;
    for (int k = 0; k < 4; k++)
      value[k] = (uint8_t)(v >> (8 * k));
  } else if (param == HP_HASHVAL) {
    value.assign(EVP_MAX_MD_SIZE, 0);
    unsigned int n = 0;
    if (!EVP_Digest(h->blob.data(), h->blob.size(), value.data(), &n, Digest(h->access), nullptr))
      return Fail(NTE_BAD_HASH);
    value.resize(n);
  } else {
    return Fail(NTE_BAD_TYPE);
  }
  // A NULL buffer asks for the size; a short one gets ERROR_MORE_DATA.
  if (!data) {
    *length = (DWORD)value.size();
    return TRUE;
  }
  if (*length < value.size()) {
    *length = (DWORD)value.size();
    return Fail(ERROR_MORE_DATA);
  }
  memcpy(data, value.data(), value.size());
  *length = (DWORD)value.size();
  if (param == HP_HASHVAL)
    h->position = 1;  // finished: further data is refused
  return TRUE;
}

BOOL CryptDestroyHash(HCRYPTHASH hash)
{
  FAIL_IF_INJECTED("CryptDestroyHash");
  if (!ReleaseHandle(hash, HandleKind::CryptHash))
    return Fail(NTE_BAD_HASH);
  return TRUE;
}

BOOL CryptReleaseContext(HCRYPTPROV prov, DWORD flags)
{
  FAIL_IF_INJECTED("CryptReleaseContext");
  if (flags != 0)
    return Fail(NTE_BAD_FLAGS);
  if (!ReleaseHandle(prov, HandleKind::CryptProv))
    return Fail(NTE_BAD_UID);
  ReleaseOnDemand(kProviderLibrary);
  return TRUE;
}

}  // extern "C"
