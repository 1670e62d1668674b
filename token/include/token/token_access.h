// The two ways a program reaches the objects of a token: a reader, which
// lists, searches and reads attributes, and a writer, which creates and
// destroys objects and puts a private key to work.  Whatever decides from
// the token's contents is handed a reader only; whatever changes the token
// is handed a writer.  The live token (CSmartCardReader) is both; a
// recording of a reader's answers can stand in for the reader.
#ifndef TOKEN_TOKEN_ACCESS_H_
#define TOKEN_TOKEN_ACCESS_H_

#include <p11-kit/pkcs11.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "token/outcome.h"

namespace token {

class TokenReader {
 public:
  virtual ~TokenReader() = default;

  // Lists every object the session sees into `list`, at most its size
  // handles; *count is how many were stored.
  virtual Outcome FindAllObjects(std::span<CK_OBJECT_HANDLE> list, int32_t *count) = 0;
  // The module's answer to asking for the attributes of `tmpl` of
  // `object`: their lengths where no buffer is given, else their values.
  // Read through AttributeValues, which checks every length it is given.
  virtual CK_RV GetAttributeValue(CK_OBJECT_HANDLE object, std::span<CK_ATTRIBUTE> tmpl) = 0;
  // The keys of one class under an identifier (and, for the default
  // module, a subject): appends at most `limit` handles to *found and
  // returns the result of ending the search.  A search that cannot start
  // finds nothing and counts as ended.
  virtual CK_RV FindKeys(CK_OBJECT_CLASS keyClass, const CK_ATTRIBUTE &subject, const CK_ATTRIBUTE &identifier,
                         bool withSubject, size_t limit, std::vector<CK_OBJECT_HANDLE> *found) = 0;
  // The objects of `objectClass` under `identifier`: appends at most
  // `limit` handles to *found and returns the result of ending the search,
  // or of starting it when it cannot start.
  virtual CK_RV FindByClassAndId(CK_OBJECT_CLASS objectClass, std::string_view identifier, size_t limit,
                                 std::vector<CK_OBJECT_HANDLE> *found) = 0;
  // Whether any object the session sees carries `identifier` as its CKA_ID
  // (one search, asking for one handle).  Not CKR_OK: the module's answer
  // to the call that failed, and *inUse is false.
  virtual CK_RV IdentifierInUse(std::span<const unsigned char> identifier, bool *inUse) = 0;

 protected:
  TokenReader() = default;
  TokenReader(const TokenReader &) = default;
  TokenReader &operator=(const TokenReader &) = default;
};

class TokenWriter {
 public:
  virtual ~TokenWriter() = default;

  // The module's answers to creating and destroying one object on the
  // session.
  virtual CK_RV CreateObject(std::span<CK_ATTRIBUTE> tmpl, CK_OBJECT_HANDLE *created) = 0;
  virtual CK_RV DestroyObject(CK_OBJECT_HANDLE object) = 0;
  // The private key `key` at work: a signature (CKM_RSA_PKCS) of `data` as
  // given, or the decryption (CKM_RSA_PKCS) of `cryptogram`, each into at
  // most `room` bytes of *out.  The module's answer to the first call that
  // failed, or CKR_OK.
  virtual CK_RV SignRsaPkcs(CK_OBJECT_HANDLE key, std::span<const unsigned char> data, size_t room,
                            std::vector<unsigned char> *out) = 0;
  virtual CK_RV DecryptRsaPkcs(CK_OBJECT_HANDLE key, std::span<const unsigned char> cryptogram, size_t room,
                               std::vector<unsigned char> *out) = 0;

 protected:
  TokenWriter() = default;
  TokenWriter(const TokenWriter &) = default;
  TokenWriter &operator=(const TokenWriter &) = default;
};

}  // namespace token

#endif  // TOKEN_TOKEN_ACCESS_H_
