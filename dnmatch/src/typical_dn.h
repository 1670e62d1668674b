// Internal entry points behind the exported calls.
#ifndef MIRREL_SRC_TYPICAL_DN_H_
#define MIRREL_SRC_TYPICAL_DN_H_

#include <asn1x509/asn1x509.h>

#include "result.h"

namespace mirrel {

Status appendTypicalForm(X509NameHandle source, X509NameHandle destination);
Result<bool> sameTypicalForm(X509NameHandle name1, X509NameHandle name2);

}  // namespace mirrel

#endif  // MIRREL_SRC_TYPICAL_DN_H_
