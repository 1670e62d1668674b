// What one import run writes to the token and deletes from it: the checks
// note their findings here, the writing and deleting passes act on them.
#ifndef IMPORT_REPLACEMENT_PLAN_H_
#define IMPORT_REPLACEMENT_PLAN_H_

#include <p11-kit/pkcs11.h>

#include <cstdint>
#include <string_view>

namespace velkor {

// The built-in module name; a module given by exactly this text is of the
// first kind, every other text (a full path to it included) of the second.
// A PKCS#11 URI is never the built-in name, so it is always of the second
// kind, even when its module-path names tkvault11.dll: the kind follows the
// argument as given, not the file it leads to.
inline constexpr char kDefaultModuleName[] = "tkvault11.dll";

struct ReplacementPlan {
  static constexpr int kListCapacity = 512;

  int caCertDeletePlanned = 0;
  int eeCertDeletePlanned = 0;
  int writeCaCert = 1;
  int writeEeCert = 1;
  int certDeleteIndex[kListCapacity] = {};
  int certDeleteCount = 0;
  CK_OBJECT_HANDLE publicKeyDelete[kListCapacity] = {};
  int publicKeyDeleteCount = 0;
  int writePublicKey = 1;
  CK_OBJECT_HANDLE privateKeyDelete[kListCapacity] = {};
  int privateKeyDeleteCount = 0;
  int writePrivateKey = 1;
  int moduleKind = 1;

  // Start values for a run that uses the module named `modulePath`.
  void Reset(std::string_view modulePath) {
    *this = ReplacementPlan{};
    moduleKind = modulePath == kDefaultModuleName ? 1 : 2;
  }

  // The appenders never store a handle or position twice and refuse an
  // entry beyond the capacity (false); a duplicate is success.
  [[nodiscard]] bool AddCertDelete(int position) { return Append(certDeleteIndex, certDeleteCount, position); }
  [[nodiscard]] bool AddPublicKeyDelete(CK_OBJECT_HANDLE h) {
    return Append(publicKeyDelete, publicKeyDeleteCount, h);
  }
  [[nodiscard]] bool AddPrivateKeyDelete(CK_OBJECT_HANDLE h) {
    return Append(privateKeyDelete, privateKeyDeleteCount, h);
  }

  // Nothing to write and nothing to delete (keys left by an interrupted
  // import go even when everything else is in place).
  bool NothingToDo() const {
    return caCertDeletePlanned == 0 && eeCertDeletePlanned == 0 && writeEeCert == 0 && writeCaCert == 0 &&
           writePublicKey == 0 && writePrivateKey == 0 && certDeleteCount == 0 && publicKeyDeleteCount == 0 &&
           privateKeyDeleteCount == 0;
  }

 private:
  template <typename T>
  static bool Append(T (&list)[kListCapacity], int &count, T value) {
    for (int i = 0; i < count; ++i) {
      if (list[i] == value) return true;
    }
    if (count >= kListCapacity) return false;
    list[count++] = value;
    return true;
  }
};

}  // namespace velkor

#endif  // IMPORT_REPLACEMENT_PLAN_H_
