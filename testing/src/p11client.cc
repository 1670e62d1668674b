// A small PKCS#11 client for tests: load a module, look at and seed tokens.
#include "testtoken/testtoken.h"

#include <dlfcn.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>

namespace testtoken {

namespace {

void check(CK_RV rv, const char* what) {
  if (rv != CKR_OK) throw P11Error(what, rv);
}

Bytes ulongBytes(CK_ULONG value) {
  Bytes out(sizeof value);
  std::memcpy(out.data(), &value, sizeof value);
  return out;
}

Bytes bnParam(EVP_PKEY* key, const char* name) {
  BIGNUM* bn = nullptr;
  if (EVP_PKEY_get_bn_param(key, name, &bn) != 1) throw Error(std::string("key has no ") + name);
  Bytes out(static_cast<std::size_t>(BN_num_bytes(bn)));
  BN_bn2bin(bn, out.data());
  BN_clear_free(bn);
  return out;
}

std::string trimBlank(const unsigned char* text, std::size_t size) {
  std::string out(reinterpret_cast<const char*>(text), size);
  while (!out.empty() && (out.back() == ' ' || out.back() == '\0')) out.pop_back();
  return out;
}

}  // namespace

// ---- Template -----------------------------------------------------------------------------

Template& Template::add(CK_ATTRIBUTE_TYPE type, const Bytes& value) {
  values_.emplace_back(type, value);
  return *this;
}

Template& Template::add(CK_ATTRIBUTE_TYPE type, std::string_view text) { return add(type, toBytes(text)); }

Template& Template::addUlong(CK_ATTRIBUTE_TYPE type, CK_ULONG value) { return add(type, ulongBytes(value)); }

Template& Template::addBool(CK_ATTRIBUTE_TYPE type, bool value) {
  return add(type, Bytes{static_cast<unsigned char>(value ? CK_TRUE : CK_FALSE)});
}

Template& Template::set(CK_ATTRIBUTE_TYPE type, const Bytes& value) {
  for (auto& [t, v] : values_) {
    if (t == type) {
      v = value;
      return *this;
    }
  }
  return add(type, value);
}

CK_ATTRIBUTE* Template::data() {
  attrs_.clear();
  for (auto& [type, value] : values_) {
    CK_ATTRIBUTE a;
    a.type = type;
    a.pValue = value.empty() ? nullptr : value.data();
    a.ulValueLen = static_cast<CK_ULONG>(value.size());
    attrs_.push_back(a);
  }
  return attrs_.empty() ? nullptr : attrs_.data();
}

// ---- P11Client ------------------------------------------------------------------------------

P11Client::P11Client(const std::string& modulePath, bool initialize) {
  handle_ = ::dlopen(modulePath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* why = ::dlerror();
    throw Error("dlopen " + modulePath + ": " + (why != nullptr ? why : "?"));
  }
  void* symbol = ::dlsym(handle_, "C_GetFunctionList");
  CK_C_GetFunctionList getList = nullptr;
  std::memcpy(&getList, &symbol, sizeof getList);
  CK_RV rv = getList != nullptr ? getList(&fl_) : CKR_FUNCTION_NOT_SUPPORTED;
  if (rv != CKR_OK || fl_ == nullptr) {
    ::dlclose(handle_);
    throw P11Error("C_GetFunctionList of " + modulePath, rv);
  }
  if (initialize) {
    try {
      this->initialize();
    } catch (...) {
      ::dlclose(handle_);
      throw;
    }
  }
}

P11Client::~P11Client() {
  if (initialized_) fl_->C_Finalize(nullptr);
  if (handle_ != nullptr) ::dlclose(handle_);
}

void P11Client::initialize() {
  if (initialized_) return;
  check(fl_->C_Initialize(nullptr), "C_Initialize");
  initialized_ = true;
}

void P11Client::finalize() {
  if (!initialized_) return;
  initialized_ = false;
  check(fl_->C_Finalize(nullptr), "C_Finalize");
}

std::vector<CK_SLOT_ID> P11Client::slots(bool tokenPresent) {
  CK_ULONG count = 0;
  check(fl_->C_GetSlotList(tokenPresent ? CK_TRUE : CK_FALSE, nullptr, &count), "C_GetSlotList");
  std::vector<CK_SLOT_ID> list(count);
  if (count > 0) check(fl_->C_GetSlotList(tokenPresent ? CK_TRUE : CK_FALSE, list.data(), &count), "C_GetSlotList");
  list.resize(count);
  return list;
}

CK_TOKEN_INFO P11Client::tokenInfo(CK_SLOT_ID slot) {
  CK_TOKEN_INFO info;
  std::memset(&info, 0, sizeof info);
  check(fl_->C_GetTokenInfo(slot, &info), "C_GetTokenInfo");
  return info;
}

std::string P11Client::tokenLabel(CK_SLOT_ID slot) {
  CK_TOKEN_INFO info = tokenInfo(slot);
  return trimBlank(info.label, sizeof info.label);
}

CK_SLOT_ID P11Client::slotByLabel(const std::string& label) {
  for (CK_SLOT_ID slot : slots(true)) {
    if (tokenLabel(slot) == label) return slot;
  }
  throw Error("no token labelled \"" + label + "\"");
}

CK_SLOT_ID P11Client::onlySlot() {
  auto list = slots(true);
  if (list.size() != 1) throw Error("expected exactly one token, found " + std::to_string(list.size()));
  return list[0];
}

P11Session P11Client::openSession(CK_SLOT_ID slot, bool readWrite) {
  CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
  CK_FLAGS flags = CKF_SERIAL_SESSION | (readWrite ? CKF_RW_SESSION : 0);
  check(fl_->C_OpenSession(slot, flags, nullptr, nullptr, &session), "C_OpenSession");
  return P11Session(fl_, session);
}

// ---- P11Session ---------------------------------------------------------------------------------

P11Session::P11Session(P11Session&& other) noexcept
    : fl_(other.fl_), session_(other.session_), loggedIn_(other.loggedIn_) {
  other.fl_ = nullptr;
  other.session_ = CK_INVALID_HANDLE;
  other.loggedIn_ = false;
}

P11Session::~P11Session() {
  if (fl_ == nullptr) return;
  if (loggedIn_) fl_->C_Logout(session_);
  fl_->C_CloseSession(session_);
}

CK_RV P11Session::tryLogin(const std::string& pin, CK_USER_TYPE user) {
  std::string copy = pin;
  CK_RV rv = fl_->C_Login(session_, user, reinterpret_cast<CK_UTF8CHAR_PTR>(copy.data()),
                          static_cast<CK_ULONG>(copy.size()));
  if (rv == CKR_OK) loggedIn_ = true;
  return rv;
}

void P11Session::login(const std::string& pin, CK_USER_TYPE user) { check(tryLogin(pin, user), "C_Login"); }

void P11Session::logout() {
  if (!loggedIn_) return;
  loggedIn_ = false;
  check(fl_->C_Logout(session_), "C_Logout");
}

std::vector<CK_OBJECT_HANDLE> P11Session::find(Template& match) {
  check(fl_->C_FindObjectsInit(session_, match.data(), match.size()), "C_FindObjectsInit");
  std::vector<CK_OBJECT_HANDLE> out;
  CK_OBJECT_HANDLE batch[64];
  for (;;) {
    CK_ULONG got = 0;
    CK_RV rv = fl_->C_FindObjects(session_, batch, 64, &got);
    if (rv != CKR_OK) {
      fl_->C_FindObjectsFinal(session_);
      throw P11Error("C_FindObjects", rv);
    }
    if (got == 0) break;
    out.insert(out.end(), batch, batch + got);
  }
  check(fl_->C_FindObjectsFinal(session_), "C_FindObjectsFinal");
  return out;
}

std::vector<CK_OBJECT_HANDLE> P11Session::findAll() {
  Template none;
  return find(none);
}

std::optional<Bytes> P11Session::attribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
  CK_ATTRIBUTE a{type, nullptr, 0};
  CK_RV rv = fl_->C_GetAttributeValue(session_, object, &a, 1);
  if (rv == CKR_ATTRIBUTE_TYPE_INVALID || rv == CKR_ATTRIBUTE_SENSITIVE ||
      a.ulValueLen == static_cast<CK_ULONG>(CK_UNAVAILABLE_INFORMATION))
    return std::nullopt;
  check(rv, "C_GetAttributeValue");
  Bytes value(a.ulValueLen);
  a.pValue = value.empty() ? nullptr : value.data();
  if (!value.empty()) check(fl_->C_GetAttributeValue(session_, object, &a, 1), "C_GetAttributeValue");
  value.resize(a.ulValueLen);
  return value;
}

CK_RV P11Session::attributeStatus(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
  CK_ATTRIBUTE a{type, nullptr, 0};
  return fl_->C_GetAttributeValue(session_, object, &a, 1);
}

std::vector<TokenObject> P11Session::objects() {
  std::vector<TokenObject> out;
  for (CK_OBJECT_HANDLE h : findAll()) {
    TokenObject o;
    o.handle = h;
    if (auto v = attribute(h, CKA_CLASS); v && v->size() == sizeof(CK_OBJECT_CLASS))
      std::memcpy(&o.objectClass, v->data(), sizeof o.objectClass);
    if (auto v = attribute(h, CKA_LABEL)) o.label.assign(v->begin(), v->end());
    if (auto v = attribute(h, CKA_ID)) o.id = *v;
    if (auto v = attribute(h, CKA_SUBJECT)) o.subject = *v;
    if (o.objectClass == CKO_CERTIFICATE) {
      if (auto v = attribute(h, CKA_VALUE)) o.value = *v;
      if (auto v = attribute(h, CKA_ISSUER)) o.issuer = *v;
      if (auto v = attribute(h, CKA_SERIAL_NUMBER)) o.serialNumber = *v;
    }
    out.push_back(std::move(o));
  }
  return out;
}

CK_OBJECT_HANDLE P11Session::create(Template& attrs) {
  CK_OBJECT_HANDLE h = CK_INVALID_HANDLE;
  check(fl_->C_CreateObject(session_, attrs.data(), attrs.size(), &h), "C_CreateObject");
  return h;
}

void P11Session::destroy(CK_OBJECT_HANDLE object) { check(fl_->C_DestroyObject(session_, object), "C_DestroyObject"); }

namespace {
void applyExtra(Template& t, const Template* extra) {
  if (extra == nullptr) return;
  Template copy = *extra;
  CK_ATTRIBUTE* attrs = copy.data();
  for (CK_ULONG i = 0; i < copy.size(); ++i) {
    const auto* p = static_cast<const unsigned char*>(attrs[i].pValue);
    t.set(attrs[i].type, p != nullptr ? Bytes(p, p + attrs[i].ulValueLen) : Bytes{});
  }
}
}  // namespace

CK_OBJECT_HANDLE P11Session::createCertificate(const Bytes& der, const Bytes& id, const std::string& label,
                                               const Template* extra) {
  Certificate cert = Certificate::fromDer(der);
  Template t;
  t.addUlong(CKA_CLASS, CKO_CERTIFICATE)
      .addUlong(CKA_CERTIFICATE_TYPE, CKC_X_509)
      .addBool(CKA_TOKEN, true)
      .addBool(CKA_PRIVATE, false)
      .add(CKA_LABEL, label)
      .add(CKA_ID, id)
      .add(CKA_SUBJECT, cert.subjectDer())
      .add(CKA_ISSUER, cert.issuerDer())
      .add(CKA_SERIAL_NUMBER, cert.serialDer())
      .add(CKA_VALUE, der);
  applyExtra(t, extra);
  return create(t);
}

CK_OBJECT_HANDLE P11Session::createPrivateKey(EVP_PKEY* rsaKey, const Bytes& id, const std::string& label,
                                              const Bytes& subject, const Template* extra) {
  Template t;
  t.addUlong(CKA_CLASS, CKO_PRIVATE_KEY)
      .addUlong(CKA_KEY_TYPE, CKK_RSA)
      .addBool(CKA_TOKEN, true)
      .addBool(CKA_PRIVATE, true)
      .addBool(CKA_SENSITIVE, true)
      .addBool(CKA_SIGN, true)
      .addBool(CKA_DECRYPT, true)
      .add(CKA_LABEL, label)
      .add(CKA_ID, id)
      .add(CKA_MODULUS, bnParam(rsaKey, OSSL_PKEY_PARAM_RSA_N))
      .add(CKA_PUBLIC_EXPONENT, bnParam(rsaKey, OSSL_PKEY_PARAM_RSA_E))
      .add(CKA_PRIVATE_EXPONENT, bnParam(rsaKey, OSSL_PKEY_PARAM_RSA_D))
      .add(CKA_PRIME_1, bnParam(rsaKey, OSSL_PKEY_PARAM_RSA_FACTOR1))
      .add(CKA_PRIME_2, bnParam(rsaKey, OSSL_PKEY_PARAM_RSA_FACTOR2))
      .add(CKA_EXPONENT_1, bnParam(rsaKey, OSSL_PKEY_PARAM_RSA_EXPONENT1))
      .add(CKA_EXPONENT_2, bnParam(rsaKey, OSSL_PKEY_PARAM_RSA_EXPONENT2))
      .add(CKA_COEFFICIENT, bnParam(rsaKey, OSSL_PKEY_PARAM_RSA_COEFFICIENT1));
  if (!subject.empty()) t.add(CKA_SUBJECT, subject);
  applyExtra(t, extra);
  return create(t);
}

CK_OBJECT_HANDLE P11Session::createPublicKey(EVP_PKEY* rsaKey, const Bytes& id, const std::string& label,
                                             const Bytes& subject, const Template* extra) {
  Template t;
  t.addUlong(CKA_CLASS, CKO_PUBLIC_KEY)
      .addUlong(CKA_KEY_TYPE, CKK_RSA)
      .addBool(CKA_TOKEN, true)
      .addBool(CKA_PRIVATE, false)
      .addBool(CKA_VERIFY, true)
      .addBool(CKA_ENCRYPT, true)
      .add(CKA_LABEL, label)
      .add(CKA_ID, id)
      .add(CKA_MODULUS, bnParam(rsaKey, OSSL_PKEY_PARAM_RSA_N))
      .add(CKA_PUBLIC_EXPONENT, bnParam(rsaKey, OSSL_PKEY_PARAM_RSA_E));
  if (!subject.empty()) t.add(CKA_SUBJECT, subject);
  applyExtra(t, extra);
  return create(t);
}

CK_OBJECT_HANDLE P11Session::privateKeyOf(const Bytes& id) {
  Template match;
  match.addUlong(CKA_CLASS, CKO_PRIVATE_KEY).add(CKA_ID, id);
  auto keys = find(match);
  if (keys.size() != 1)
    throw Error("expected one private key with CKA_ID " + toHex(id) + ", found " + std::to_string(keys.size()));
  return keys[0];
}

Bytes P11Session::decrypt(const Bytes& id, const Bytes& ciphertext) {
  CK_OBJECT_HANDLE key = privateKeyOf(id);
  CK_MECHANISM mech{CKM_RSA_PKCS, nullptr, 0};
  check(fl_->C_DecryptInit(session_, &mech, key), "C_DecryptInit");
  Bytes input = ciphertext;
  CK_ULONG size = 0;
  check(fl_->C_Decrypt(session_, input.data(), static_cast<CK_ULONG>(input.size()), nullptr, &size), "C_Decrypt");
  Bytes plain(size);
  check(fl_->C_Decrypt(session_, input.data(), static_cast<CK_ULONG>(input.size()), plain.data(), &size),
        "C_Decrypt");
  plain.resize(size);
  return plain;
}

Bytes P11Session::sign(const Bytes& id, const Bytes& data, CK_MECHANISM_TYPE mechanism) {
  CK_MECHANISM mech{mechanism, nullptr, 0};
  check(fl_->C_SignInit(session_, &mech, privateKeyOf(id)), "C_SignInit");
  Bytes input = data;
  CK_ULONG size = 0;
  check(fl_->C_Sign(session_, input.empty() ? nullptr : input.data(), static_cast<CK_ULONG>(input.size()),
                    nullptr, &size),
        "C_Sign");
  Bytes signature(size);
  check(fl_->C_Sign(session_, input.empty() ? nullptr : input.data(), static_cast<CK_ULONG>(input.size()),
                    signature.data(), &size),
        "C_Sign");
  signature.resize(size);
  return signature;
}

}  // namespace testtoken
