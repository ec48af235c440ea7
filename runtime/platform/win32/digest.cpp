// Message digests for the Windows build, through CryptoAPI. The provider
// is acquired on first use and kept for the process; every call's result
// is checked, so a failure is reported instead of leaving stale bytes.
#include "platform/digest.h"

#include <windows.h>
#include <wincrypt.h>

#include <mutex>

namespace vel::platform {

namespace {

HCRYPTPROV provider() {
  static std::mutex lock;
  static HCRYPTPROV prov = 0;
  std::lock_guard<std::mutex> guard(lock);
  // A failed acquisition is retried on the next digest.
  if (!prov && !CryptAcquireContextW(&prov, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) prov = 0;
  return prov;
}

constexpr ALG_ID kAlg[] = {CALG_MD5, CALG_SHA1, CALG_SHA_256, CALG_SHA_384, CALG_SHA_512};

}  // namespace

bool digest(DigestAlg alg, const ByteRun* runs, size_t count, uint8_t* out) {
  HCRYPTPROV prov = provider();
  if (!prov) return false;
  HCRYPTHASH hash = 0;
  if (!CryptCreateHash(prov, kAlg[size_t(alg)], 0, 0, &hash)) return false;
  bool ok = true;
  for (size_t r = 0; ok && r < count; r++) {
    const uint8_t* p = runs[r].data;
    size_t n = runs[r].size;
    // The length is a DWORD: feed large runs in pieces.
    do {
      DWORD chunk = n > 0x40000000 ? 0x40000000 : DWORD(n);
      if (!CryptHashData(hash, p, chunk, 0)) {
        ok = false;
        break;
      }
      p += chunk;
      n -= chunk;
    } while (n > 0);
  }
  DWORD len = DWORD(digest_size(alg));
  if (ok) ok = CryptGetHashParam(hash, HP_HASHVAL, out, &len, 0) && len == digest_size(alg);
  if (!CryptDestroyHash(hash)) ok = false;
  return ok;
}

}  // namespace vel::platform
