// A module argument that is a PKCS#11 URI (RFC 7512) instead of a module
// file name: which module to bind and which of its tokens to use.  Parsing
// and matching are p11-kit's; this unit decides what a URI may ask for here
// (a token, never an object or a PIN) and turns it into a choice of slot.
#ifndef TOKEN_TOKEN_URI_H_
#define TOKEN_TOKEN_URI_H_

#include <p11-kit/pkcs11.h>

#include <memory>
#include <string>
#include <string_view>

#include "token/outcome.h"

struct p11_kit_uri;

namespace token {

// Only an argument that starts with exactly this is a URI; anything else is
// a module file name or path, as always.
inline constexpr std::string_view kUriScheme = "pkcs11:";

// Longest URI text accepted: every attribute of a slot, a token and a
// module, each fully percent-encoded, fits many times over.
inline constexpr size_t kMaxUriLength = 4096;

bool IsPkcs11Uri(std::string_view argument);

class TokenUri {
 public:
  // Where the module comes from.
  enum class ModuleSource {
    kPath,           // module-path: this file, through the program's own loader
    kRegisteredName, // module-name: the module p11-kit registers under that name
    kAllRegistered,  // neither: every module p11-kit registers, through its proxy
  };

  // Parses `text`.  A URI that is malformed, longer than kMaxUriLength, or
  // asks for something a token choice cannot honour (object attributes, a
  // PIN, attributes p11-kit does not know) is refused with -1 and a message
  // naming the problem; the message never repeats the URI's text.
  static Outcome Parse(std::string_view text, std::unique_ptr<TokenUri> *parsed);

  ~TokenUri();
  TokenUri(const TokenUri &) = delete;
  TokenUri &operator=(const TokenUri &) = delete;

  ModuleSource Source() const { return source_; }
  // module-path or module-name, as the URI gives it (decoded).
  const std::string &Module() const { return module_; }
  // Whether the URI names library attributes (library-manufacturer,
  // library-description, library-version) that the module's C_GetInfo must
  // match.
  bool NamesLibrary() const { return namesLibrary_; }
  bool MatchesLibrary(const CK_INFO &info) const;
  // Whether the slot and its token are the ones the URI names (slot-id,
  // slot-description, slot-manufacturer; token, manufacturer, serial,
  // model).  Blank-padded fields compare as RFC 7512 says.
  bool MatchesToken(CK_SLOT_ID slot, const CK_SLOT_INFO &slotInfo, const CK_TOKEN_INFO &tokenInfo) const;

 private:
  TokenUri();

  struct Free {
    void operator()(p11_kit_uri *uri) const;
  };
  std::unique_ptr<p11_kit_uri, Free> uri_;
  ModuleSource source_ = ModuleSource::kAllRegistered;
  std::string module_;
  bool namesLibrary_ = false;
};

// One module that p11-kit loaded from its registration (managed by p11-kit:
// its C_Initialize and C_Finalize are counted there).  Released when it
// goes.
class RegisteredModule {
 public:
  RegisteredModule() = default;
  ~RegisteredModule() { Reset(); }
  RegisteredModule(const RegisteredModule &) = delete;
  RegisteredModule &operator=(const RegisteredModule &) = delete;

  // Loads the registered module called `name`: -8 when none is registered
  // under that name (with the loader's "not found" code).
  Outcome Load(const std::string &name);
  CK_FUNCTION_LIST_PTR Functions() const { return functions_; }
  bool IsLoaded() const { return functions_ != nullptr; }
  void Reset();

 private:
  CK_FUNCTION_LIST_PTR functions_ = nullptr;
};

// The file of p11-kit's proxy module, which shows the tokens of every
// registered module as its own.
const char *P11KitProxyModulePath();

}  // namespace token

#endif  // TOKEN_TOKEN_URI_H_
