#include "pkcs12_archive.h"

#include <openssl/err.h>
#include <openssl/x509.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace velkor {

namespace {

// Bags inside bags are followed this deep at most; a file nesting deeper
// is refused rather than walked without bound.
constexpr int kMaxBagDepth = 8;

struct X509Free {
  void operator()(X509 *x) const { X509_free(x); }
};
struct P8Free {
  void operator()(PKCS8_PRIV_KEY_INFO *p) const { PKCS8_PRIV_KEY_INFO_free(p); }
};
struct BagsFree {
  void operator()(STACK_OF(PKCS12_SAFEBAG) * s) const { sk_PKCS12_SAFEBAG_pop_free(s, PKCS12_SAFEBAG_free); }
};
struct SafesFree {
  void operator()(STACK_OF(PKCS7) * s) const { sk_PKCS7_pop_free(s, PKCS7_free); }
};

}  // namespace

uint32_t LastCryptoError() { return static_cast<uint32_t>(ERR_peek_last_error() & 0xFFFFFFFFul); }

bool WideToUtf8(const wchar_t *wide, size_t count, unsigned char *out, size_t room, size_t *written) {
  size_t n = 0;
  for (size_t i = 0; i < count; ++i) {
    auto c = static_cast<uint32_t>(wide[i]);
    unsigned char bytes[4];
    size_t len = 0;
    if (c < 0x80) {
      bytes[len++] = static_cast<unsigned char>(c);
    } else if (c < 0x800) {
      bytes[len++] = static_cast<unsigned char>(0xC0 | (c >> 6));
      bytes[len++] = static_cast<unsigned char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      if (c >= 0xD800 && c <= 0xDFFF) return false;
      bytes[len++] = static_cast<unsigned char>(0xE0 | (c >> 12));
      bytes[len++] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
      bytes[len++] = static_cast<unsigned char>(0x80 | (c & 0x3F));
    } else if (c <= 0x10FFFF) {
      bytes[len++] = static_cast<unsigned char>(0xF0 | (c >> 18));
      bytes[len++] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
      bytes[len++] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
      bytes[len++] = static_cast<unsigned char>(0x80 | (c & 0x3F));
    } else {
      return false;
    }
    if (room - n < len + 1) return false;
    std::memcpy(out + n, bytes, len);
    platform::SecureWipe(bytes, sizeof bytes);
    n += len;
  }
  if (room - n < 1) return false;
  out[n] = 0;
  *written = n;
  return true;
}

PasswordConversion ConvertPassword(const char *localPassword, platform::SecureBuffer *wide,
                                   platform::SecureBuffer *utf8) {
  if (localPassword == nullptr) return PasswordConversion::kConvertFailed;
  // The converted length, counting the terminator.
  size_t converted = std::mbstowcs(nullptr, localPassword, 0);
  if (converted == static_cast<size_t>(-1)) return PasswordConversion::kConvertFailed;
  size_t n = converted + 1;
  // Room for n + 1 wide characters, zero-filled before the conversion.
  if (n > SIZE_MAX / sizeof(wchar_t) - 1 || !wide->Allocate((n + 1) * sizeof(wchar_t))) {
    return PasswordConversion::kNoMemory;
  }
  std::memset(wide->data(), 0, wide->size());
  auto *wideChars = reinterpret_cast<wchar_t *>(wide->data());
  if (std::mbstowcs(wideChars, localPassword, n + 1) == static_cast<size_t>(-1)) {
    return PasswordConversion::kConvertFailed;
  }
  // Every code point takes at most 4 bytes of UTF-8.
  size_t utf8Room = 4 * converted + 1;
  if (!utf8->Allocate(utf8Room)) return PasswordConversion::kNoMemory;
  std::memset(utf8->data(), 0, utf8->size());
  size_t written = 0;
  if (!WideToUtf8(wideChars, converted, utf8->data(), utf8Room, &written)) {
    return PasswordConversion::kConvertFailed;
  }
  return PasswordConversion::kOk;
}

bool Pkcs12Archive::Open(const unsigned char *bytes, size_t size) {
  p12_.reset();
  if (bytes == nullptr || size == 0 || size > static_cast<size_t>(LONG_MAX)) return false;
  const unsigned char *p = bytes;
  PKCS12 *decoded = d2i_PKCS12(nullptr, &p, static_cast<long>(size));
  if (decoded == nullptr) {
    ERR_clear_error();
    return false;
  }
  p12_.reset(decoded);
  // Bytes after the structure make it no PKCS#12 file.
  if (p != bytes + size) {
    p12_.reset();
    return false;
  }
  return true;
}

bool Pkcs12Archive::VerifyPassword(const unsigned char *utf8, size_t length) {
  if (!p12_ || length > static_cast<size_t>(INT_MAX)) return false;
  const char *pass = reinterpret_cast<const char *>(utf8);
  auto passLength = static_cast<int>(length);
  if (!PKCS12_mac_present(p12_.get())) {
    pass_ = pass;
    passLength_ = passLength;
    return true;
  }
  if (PKCS12_verify_mac(p12_.get(), pass, passLength) == 1) {
    pass_ = pass;
    passLength_ = passLength;
    ERR_clear_error();
    return true;
  }
  // An empty password may also mean no password at all.
  if (length == 0 && PKCS12_verify_mac(p12_.get(), nullptr, 0) == 1) {
    pass_ = nullptr;
    passLength_ = 0;
    ERR_clear_error();
    return true;
  }
  ERR_clear_error();
  return false;
}

bool Pkcs12Archive::CollectBags(const STACK_OF(PKCS12_SAFEBAG) * bags, int depth) {
  if (depth > kMaxBagDepth) return false;
  for (int i = 0; i < sk_PKCS12_SAFEBAG_num(bags); ++i) {
    const PKCS12_SAFEBAG *bag = sk_PKCS12_SAFEBAG_value(bags, i);
    switch (PKCS12_SAFEBAG_get_nid(bag)) {
      case NID_certBag: {
        if (PKCS12_SAFEBAG_get_bag_nid(bag) != NID_x509Certificate) break;
        std::unique_ptr<X509, X509Free> cert(PKCS12_SAFEBAG_get1_cert(bag));
        if (!cert) return false;
        int len = i2d_X509(cert.get(), nullptr);
        if (len <= 0) return false;
        Cert entry;
        entry.der.resize(static_cast<size_t>(len));
        unsigned char *out = entry.der.data();
        if (i2d_X509(cert.get(), &out) != len) return false;
        certs_.push_back(std::move(entry));
        break;
      }
      case NID_keyBag: {
        const PKCS8_PRIV_KEY_INFO *p8 = PKCS12_SAFEBAG_get0_p8inf(bag);
        if (p8 == nullptr) return false;
        Key key(EVP_PKCS82PKEY(p8));
        if (!key) return false;
        keys_.push_back(std::move(key));
        break;
      }
      case NID_pkcs8ShroudedKeyBag: {
        std::unique_ptr<PKCS8_PRIV_KEY_INFO, P8Free> p8(PKCS12_decrypt_skey(bag, pass_, passLength_));
        if (!p8) return false;
        Key key(EVP_PKCS82PKEY(p8.get()));
        if (!key) return false;
        keys_.push_back(std::move(key));
        break;
      }
      case NID_safeContentsBag:
        if (!CollectBags(PKCS12_SAFEBAG_get0_safes(bag), depth + 1)) return false;
        break;
      default:
        break;  // CRL and secret bags carry nothing for the token
    }
  }
  return true;
}

bool Pkcs12Archive::Import(uint32_t *code) {
  certs_.clear();
  keys_.clear();
  ERR_clear_error();
  bool ok = false;
  do {
    if (!p12_) break;
    std::unique_ptr<STACK_OF(PKCS7), SafesFree> safes(PKCS12_unpack_authsafes(p12_.get()));
    if (!safes) break;
    bool bagsOk = true;
    for (int i = 0; bagsOk && i < sk_PKCS7_num(safes.get()); ++i) {
      PKCS7 *safe = sk_PKCS7_value(safes.get(), i);
      std::unique_ptr<STACK_OF(PKCS12_SAFEBAG), BagsFree> bags;
      int type = OBJ_obj2nid(safe->type);
      if (type == NID_pkcs7_data) {
        bags.reset(PKCS12_unpack_p7data(safe));
      } else if (type == NID_pkcs7_encrypted) {
        bags.reset(PKCS12_unpack_p7encdata(safe, pass_, passLength_));
      } else {
        continue;  // enveloped contents cannot be opened with a password
      }
      bagsOk = bags && CollectBags(bags.get(), 0);
    }
    if (!bagsOk) break;
    // A certificate belongs to a private key of the file when the key's
    // public half is the certificate's.
    for (Cert &cert : certs_) {
      const unsigned char *p = cert.der.data();
      std::unique_ptr<X509, X509Free> x(d2i_X509(nullptr, &p, static_cast<long>(cert.der.size())));
      if (!x) continue;
      for (Key &key : keys_) {
        if (X509_check_private_key(x.get(), key.get()) == 1) {
          cert.key = key.get();
          break;
        }
      }
    }
    ERR_clear_error();
    ok = true;
  } while (false);
  if (!ok) {
    *code = LastCryptoError();
    certs_.clear();
    keys_.clear();
    ERR_clear_error();
  }
  return ok;
}

KeyExport Pkcs12Archive::ExportPkcs8(size_t i, platform::SecureBuffer *out, uint32_t *code) const {
  ERR_clear_error();
  if (i >= certs_.size() || certs_[i].key == nullptr) {
    *code = LastCryptoError();
    return KeyExport::kExportFailed;
  }
  std::unique_ptr<PKCS8_PRIV_KEY_INFO, P8Free> p8(EVP_PKEY2PKCS8(certs_[i].key));
  int length = p8 ? i2d_PKCS8_PRIV_KEY_INFO(p8.get(), nullptr) : -1;
  if (length <= 0) {
    *code = LastCryptoError();
    ERR_clear_error();
    return KeyExport::kExportFailed;
  }
  if (!out->Allocate(static_cast<size_t>(length))) return KeyExport::kNoMemory;
  unsigned char *p = out->data();
  if (i2d_PKCS8_PRIV_KEY_INFO(p8.get(), &p) != length) {
    *code = LastCryptoError();
    ERR_clear_error();
    out->Release();
    return KeyExport::kExportFailed;
  }
  return KeyExport::kOk;
}

}  // namespace velkor
