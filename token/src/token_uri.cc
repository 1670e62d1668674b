#include "token/token_uri.h"

#include <p11-kit/p11-kit.h>
#include <p11-kit/uri.h>

#include <cstdlib>
#include <new>

#include "platform/module.h"
#include "token/messages.h"

#ifndef TOKENENROL_P11KIT_PROXY
#error "TOKENENROL_P11KIT_PROXY must name p11-kit's proxy module"
#endif

namespace token {

namespace {

// A text p11-kit allocated with malloc.
struct FreeText {
  void operator()(char *text) const { std::free(text); }
};
using OwnedText = std::unique_ptr<char, FreeText>;

// p11-kit's "no slot id given".
constexpr CK_SLOT_ID kNoSlotId = static_cast<CK_SLOT_ID>(-1);

// Whether the URI has any of the library attributes: formatted with only
// them, it is more than the bare scheme.
bool HasLibraryAttributes(p11_kit_uri *uri) {
  char *formatted = nullptr;
  if (p11_kit_uri_format(uri, P11_KIT_URI_FOR_MODULE_WITH_VERSION, &formatted) != P11_KIT_URI_OK) {
    throw std::bad_alloc();
  }
  const OwnedText owner(formatted);
  std::string_view text(formatted);
  // Query attributes (the module) are not library attributes.
  text = text.substr(0, text.find('?'));
  return text.size() > kUriScheme.size();
}

}  // namespace

bool IsPkcs11Uri(std::string_view argument) { return argument.substr(0, kUriScheme.size()) == kUriScheme; }

void TokenUri::Free::operator()(p11_kit_uri *uri) const { p11_kit_uri_free(uri); }

TokenUri::TokenUri() = default;
TokenUri::~TokenUri() = default;

Outcome TokenUri::Parse(std::string_view text, std::unique_ptr<TokenUri> *parsed) {
  parsed->reset();
  if (text.size() > kMaxUriLength) return Outcome::FailureText(kFailure, msg::kUriTooLong);
  // An embedded zero would end the text p11-kit sees before its end.
  if (text.find('\0') != std::string_view::npos) return Outcome::FailureText(kFailure, msg::kUriMalformed);

  std::unique_ptr<TokenUri> uri(new TokenUri());
  uri->uri_.reset(p11_kit_uri_new());
  if (!uri->uri_) throw std::bad_alloc();
  p11_kit_uri *raw = uri->uri_.get();
  const std::string terminated(text);
  const int parsedCode = p11_kit_uri_parse(terminated.c_str(), P11_KIT_URI_FOR_ANY, raw);
  // A PIN must not stay in memory longer than needed, whatever else is
  // wrong with the URI.
  const bool hasPin = p11_kit_uri_get_pin_value(raw) != nullptr || p11_kit_uri_get_pin_source(raw) != nullptr;
  p11_kit_uri_set_pin_value(raw, nullptr);
  p11_kit_uri_set_pin_source(raw, nullptr);
  switch (parsedCode) {
    case P11_KIT_URI_OK:
      break;
    case P11_KIT_URI_UNEXPECTED:  // p11-kit's "no memory"
      // Reported as every allocation failure is: the entry point catches it.
      throw std::bad_alloc();
    case P11_KIT_URI_BAD_ENCODING:
      return Outcome::FailureText(kFailure, msg::kUriBadEncoding);
    default:
      return Outcome::FailureText(kFailure, msg::kUriMalformed);
  }
  // The PIN comes from the command line; a second one in the URI would be
  // ambiguous, and reading it from elsewhere is not this program's job.
  if (hasPin) return Outcome::FailureText(kFailure, msg::kUriPin);
  // The URI chooses a token; the objects on it are the program's business.
  CK_ULONG objectAttributes = 0;
  (void)p11_kit_uri_get_attributes(raw, &objectAttributes);
  if (objectAttributes != 0) return Outcome::FailureText(kFailure, msg::kUriObjectAttribute);
  // p11-kit matches nothing when it met an attribute it does not know:
  // say so instead of "no token".
  if (p11_kit_uri_any_unrecognized(raw)) return Outcome::FailureText(kFailure, msg::kUriUnknownAttribute);

  // RFC 7512: module-path, when given, says more than module-name.
  if (const char *path = p11_kit_uri_get_module_path(raw); path != nullptr && *path != '\0') {
    uri->source_ = ModuleSource::kPath;
    uri->module_ = path;
  } else if (const char *name = p11_kit_uri_get_module_name(raw); name != nullptr && *name != '\0') {
    uri->source_ = ModuleSource::kRegisteredName;
    uri->module_ = name;
  } else {
    uri->source_ = ModuleSource::kAllRegistered;
  }
  uri->namesLibrary_ = HasLibraryAttributes(raw);
  *parsed = std::move(uri);
  return {};
}

bool TokenUri::MatchesLibrary(const CK_INFO &info) const {
  return p11_kit_uri_match_module_info(uri_.get(), &info) == 1;
}

bool TokenUri::MatchesToken(CK_SLOT_ID slot, const CK_SLOT_INFO &slotInfo, const CK_TOKEN_INFO &tokenInfo) const {
  const CK_SLOT_ID wanted = p11_kit_uri_get_slot_id(uri_.get());
  if (wanted != kNoSlotId && wanted != slot) return false;
  return p11_kit_uri_match_slot_info(uri_.get(), &slotInfo) == 1 &&
         p11_kit_uri_match_token_info(uri_.get(), &tokenInfo) == 1;
}

Outcome RegisteredModule::Load(const std::string &name) {
  Reset();
  // Every enabled registered module is loaded (not initialised); the one of
  // that name is kept, the others are released at once.
  CK_FUNCTION_LIST **modules = p11_kit_modules_load(nullptr, 0);
  if (modules == nullptr) return Outcome::Failure(kFailure, msg::kModuleLoad, platform::kErrorBadExeFormat);
  for (CK_FUNCTION_LIST **each = modules; *each != nullptr; ++each) {
    const OwnedText moduleName(p11_kit_module_get_name(*each));
    if (functions_ == nullptr && moduleName && name == moduleName.get()) {
      functions_ = *each;
    } else {
      p11_kit_module_release(*each);
    }
  }
  std::free(modules);
  if (functions_ == nullptr) return Outcome::Failure(-8, msg::kModuleLoad, platform::kErrorModNotFound);
  return {};
}

void RegisteredModule::Reset() {
  if (functions_ != nullptr) {
    p11_kit_module_release(functions_);
    functions_ = nullptr;
  }
}

const char *P11KitProxyModulePath() { return TOKENENROL_P11KIT_PROXY; }

}  // namespace token
