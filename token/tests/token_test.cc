// The token access layer against a real SoftHSM2 token behind p11-kit's
// server, and against the fault module for what a real token will not do
// on demand.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/stat.h>

#include <clocale>
#include <map>
#include <string>

#include "testtoken/locales.h"
#include "testtoken/testtoken.h"
#include "token/smart_card_reader.h"

using namespace testtoken;

namespace {

// A reader bound to the p11-kit client of a served SoftHSM store.
struct ServedReader {
  SoftHsmToken token;
  ScopedEnv env;
  CSmartCardReader reader;
  explicit ServedReader(std::vector<TokenConfig> tokens = {TokenConfig{}},
                        std::optional<std::vector<std::string>> served = std::nullopt)
      : token(tokens, served), env(token.environment()) {}
  int32_t Load() { return reader.LoadPkcs11Module(token.modulePath()).code(); }
};

// A reader bound to the fault module in front of SoftHSM.
struct FaultReader {
  SoftHsm hsm;
  FaultSetup fault;
  ScopedEnv env;
  CSmartCardReader reader;
  explicit FaultReader(const std::string &rules, std::vector<TokenConfig> tokens = {TokenConfig{}})
      : hsm(tokens), fault(rules, softhsmModulePath(), hsm.environment()), env(fault.environment()) {}
  int32_t Load() { return reader.LoadPkcs11Module(fault.modulePath()).code(); }
  // The code of the first step that fails; the message stays in `last`.
  int32_t OpenAndLogin(const char *pin) {
    last = reader.LoadPkcs11Module(fault.modulePath());
    if (last.ok()) last = reader.OpenTokenSession();
    if (last.ok()) last = reader.LoginUser(pin);
    return last.code();
  }
  token::Outcome last;
};

// Sets the process locale for its lifetime (the loader translates its own
// messages by it) and restores the previous one.
class ScopedLocale {
 public:
  explicit ScopedLocale(const char *name) : saved_(std::setlocale(LC_ALL, nullptr)) {
    ok_ = std::setlocale(LC_ALL, name) != nullptr;
  }
  ~ScopedLocale() { std::setlocale(LC_ALL, saved_.c_str()); }
  ScopedLocale(const ScopedLocale &) = delete;
  ScopedLocale &operator=(const ScopedLocale &) = delete;
  bool ok() const { return ok_; }

 private:
  std::string saved_;
  bool ok_ = false;
};

// The loader's message for a missing file in the current locale.
std::string LoaderMessageForMissingFile() {
  dlerror();
  void *h = dlopen("/nonexistent/folder/libnothing.so", RTLD_NOW);
  if (h != nullptr) dlclose(h);
  const char *text = dlerror();
  return text != nullptr ? text : "";
}

// The outcome comes from the file system, never from the loader's words:
// the same codes under the users' Japanese locale, where the loader's
// messages are Japanese, as under C.UTF-8.  A FIFO is never opened (the
// loader would wait for a writer forever).  Bare names here are found in
// the loader's default folders or nowhere; what the loader searches
// because of the environment a program starts with is tried on Sarnet.
TEST(ModuleBinding, LoaderFailuresKeepTheirCodes) {
  TempDir dir;
  writeFile(dir / "text.so", toBytes("not a module"));
  ASSERT_EQ(mkfifo((dir / "fifo.so").c_str(), 0600), 0);
  std::filesystem::create_symlink(faultModulePath(), dir / "module-link.so");
  std::string longPath = dir.path().string();
  while (longPath.size() < 120 * 1024) longPath += "/" + std::string(200, 'd');
  longPath += "/module.so";
  struct Case {
    std::string path;
    int32_t result;
    std::string message;
  } cases[] = {
      {(dir / "missing.so").string(), -8, "error:PKCS#11モジュールがロードに失敗しました。 code = 0x0000007E"},
      {"tkvault11.dll", -8, "error:PKCS#11モジュールがロードに失敗しました。 code = 0x0000007E"},
      {(dir / "text.so").string(), -1, "error:PKCS#11モジュールがロードに失敗しました。 code = 0x000000C1"},
      {"libc.so.6", -1, "error:無効なPKCS#11モジュールです。 code = 0x0000007F"},
      {(dir / "fifo.so").string(), -1, "error:PKCS#11モジュールがロードに失敗しました。 code = 0x000000C1"},
      {dir.path().string(), -1, "error:PKCS#11モジュールがロードに失敗しました。 code = 0x000000C1"},
      {longPath, -8, "error:PKCS#11モジュールがロードに失敗しました。 code = 0x0000007E"},
      {(dir / "module-link.so").string(), 0, ""},
  };
  const std::string english = LoaderMessageForMissingFile();
  for (const char *locale : {"C.UTF-8", "ja_JP.UTF-8"}) {
    SCOPED_TRACE(locale);
    ScopedLocale scoped(locale);
    if (!scoped.ok()) TESTTOKEN_LOCALE_MISSING(locale);
    if (std::string(locale) == "ja_JP.UTF-8") {
      // Without the translated loader messages this row would prove nothing.
      const std::string japanese = LoaderMessageForMissingFile();
      EXPECT_NE(japanese, english);
      EXPECT_NE(japanese.find("\xE3"), std::string::npos) << japanese;
    }
    for (const Case &c : cases) {
      SCOPED_TRACE(c.path.substr(0, 80));
      CSmartCardReader reader;
      const token::Outcome loaded = reader.LoadPkcs11Module(c.path);
      EXPECT_EQ(loaded.code(), c.result);
      EXPECT_EQ(loaded.message().c_str(), c.message);
      EXPECT_EQ(reader.GetFunctionListPtr(), nullptr);
    }
  }
}

TEST(Session, OneTokenOpensAndSecondCallsAreRefused) {
  ServedReader s;
  CSmartCardReader &r = s.reader;
  ASSERT_EQ(s.Load(), 0);
  EXPECT_EQ(s.Load(), 0);
  EXPECT_EQ(r.GetSessionHandle(), 0u);
  token::Outcome opened = r.OpenTokenSession();
  ASSERT_EQ(opened.code(), 0) << opened.message().c_str();
  EXPECT_NE(r.GetSessionHandle(), 0u);
  EXPECT_NE(r.GetFunctionListPtr(), nullptr);
  opened = r.OpenTokenSession();
  EXPECT_EQ(opened.code(), -1);
  EXPECT_STREQ(opened.message().c_str(), "");
  token::Outcome login = r.LoginUser("1234");
  ASSERT_EQ(login.code(), 0) << login.message().c_str();
  login = r.LoginUser("1234");
  EXPECT_EQ(login.code(), -1);
  EXPECT_STREQ(login.message().c_str(), "");
  r.CloseToken();
  EXPECT_EQ(r.GetSessionHandle(), 0u);
  EXPECT_EQ(r.GetFunctionListPtr(), nullptr);
  r.CloseToken();
}

// The count decides, and a listing that no longer finds the one token
// counted (pulled between the two calls) is "no token" too.
TEST(Session, NoTokenOrSeveralTokensAreRefusedAndFinalized) {
  struct Case {
    const char *what;
    std::vector<TokenConfig> tokens;
    const char *rules;
    int32_t result;
    const char *message;
    size_t slotListCalls;
  } cases[] = {
      {"no token counted", {}, "", -9, "error:USBトークンが挿入されていません。", 1},
      {"two tokens counted", {TokenConfig{"One"}, TokenConfig{"Two"}}, "", -10,
       "error:複数のUSBトークンが挿入されています。", 1},
      {"one token counted, none listed", {TokenConfig{"One"}}, "C_GetSlotList#2.count=0", -9,
       "error:USBトークンが挿入されていません。", 2},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    FaultReader f(c.rules, c.tokens);
    ASSERT_EQ(f.Load(), 0);
    const token::Outcome opened = f.reader.OpenTokenSession();
    EXPECT_EQ(opened.code(), c.result);
    EXPECT_STREQ(opened.message().c_str(), c.message);
    EXPECT_FALSE(f.reader.IsInitialized());
    EXPECT_EQ(f.fault.count("C_Finalize"), 1u);
    EXPECT_EQ(f.fault.count("C_OpenSession"), 0u);
    // Without one token counted the slots are never listed.
    EXPECT_EQ(f.fault.count("C_GetSlotList"), c.slotListCalls);
    // Closing afterwards owes the module nothing more.
    f.reader.CloseToken();
    f.reader.CloseToken();
    EXPECT_EQ(f.fault.count("C_Finalize"), 1u);
    EXPECT_EQ(f.fault.count("C_CloseSession"), 0u);
  }
}

TEST(Session, ServedTokensThroughP11Kit) {
  ServedReader none({TokenConfig{"One"}}, std::vector<std::string>{});
  ASSERT_EQ(none.Load(), 0);
  EXPECT_EQ(none.reader.OpenTokenSession().code(), -9);
  ServedReader two({TokenConfig{"One"}, TokenConfig{"Two"}});
  ASSERT_EQ(two.Load(), 0);
  EXPECT_EQ(two.reader.OpenTokenSession().code(), -10);
}

// The label of the token the open session is on.
std::string SessionTokenLabel(CSmartCardReader &reader) {
  CK_FUNCTION_LIST_PTR functions = reader.GetFunctionListPtr();
  CK_SESSION_INFO session{};
  CK_TOKEN_INFO info{};
  if (functions == nullptr || functions->C_GetSessionInfo(reader.GetSessionHandle(), &session) != CKR_OK ||
      functions->C_GetTokenInfo(session.slotID, &info) != CKR_OK) {
    return "?";
  }
  std::string label(reinterpret_cast<const char *>(info.label), sizeof info.label);
  return label.erase(label.find_last_not_of(' ') + 1);
}

// SoftHSM loaded directly shows its spare uninitialised token beside the
// two initialised ones: a module file name finds three tokens, a URI only
// those it matches.  The rows without module-path use the modules the
// system registers with p11-kit (the softhsm2 package registers SoftHSM as
// "softhsm2"; OpenSC without a reader and others are there as well).
TEST(TokenUri, ChoosesTheOneTokenItMatches) {
  const std::string japanese = "Taro's カード 1";
  SoftHsm hsm({TokenConfig{"Alpha"}, TokenConfig{japanese}});
  ScopedEnv env(hsm.environment());
  const std::string so = softhsmModulePath();
  std::string alphaSlot;
  std::string alphaSerial;
  {
    P11Client direct(so);
    const CK_SLOT_ID slot = direct.slotByLabel("Alpha");
    alphaSlot = std::to_string(slot);
    const CK_TOKEN_INFO info = direct.tokenInfo(slot);
    alphaSerial.assign(reinterpret_cast<const char *>(info.serialNumber), sizeof info.serialNumber);
    alphaSerial.erase(alphaSerial.find_last_not_of(' ') + 1);
  }
  const std::string at = "?module-path=" + so;
  struct Case {
    std::string argument;
    int32_t result;
    std::string label;
  } cases[] = {
      {so, -10, ""},
      {"pkcs11:token=Alpha" + at, 0, "Alpha"},
      {"pkcs11:token=Taro%27s%20%E3%82%AB%E3%83%BC%E3%83%89%201" + at, 0, japanese},
      {"pkcs11:serial=" + alphaSerial + at, 0, "Alpha"},
      {"pkcs11:slot-id=" + alphaSlot + at, 0, "Alpha"},
      {"pkcs11:token=Alpha;slot-manufacturer=SoftHSM%20project" + at, 0, "Alpha"},
      {"pkcs11:token=Alpha;slot-description=nothing%20like%20it" + at, -9, ""},
      {"pkcs11:token=Alpha;library-manufacturer=SoftHSM" + at, 0, "Alpha"},
      {"pkcs11:token=Alpha;library-manufacturer=Other" + at, -9, ""},
      {"pkcs11:token=Alph" + at, -9, ""},
      {"pkcs11:manufacturer=SoftHSM%20project" + at, -10, ""},
      {"pkcs11:token=Alpha?module-name=softhsm2", 0, "Alpha"},
      {"pkcs11:token=Alpha", 0, "Alpha"},
      {"pkcs11:model=SoftHSM%20v2", -10, ""},
      {"pkcs11:token=Alpha?module-name=no-such-module", -8, ""},
      {"pkcs11:token=Alpha?module-path=/nonexistent/module.so", -8, ""},
  };
  const std::map<int32_t, std::string> messages = {
      {0, ""},
      {-8, "error:PKCS#11モジュールがロードに失敗しました。 code = 0x0000007E"},
      {-9, "error:USBトークンが挿入されていません。"},
      {-10, "error:複数のUSBトークンが挿入されています。"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.argument);
    CSmartCardReader reader;
    token::Outcome outcome = reader.LoadPkcs11Module(c.argument);
    if (outcome.ok()) outcome = reader.OpenTokenSession();
    EXPECT_EQ(outcome.code(), c.result);
    EXPECT_EQ(outcome.message().c_str(), messages.at(c.result));
    if (outcome.ok()) {
      EXPECT_EQ(SessionTokenLabel(reader), c.label);
      EXPECT_TRUE(reader.LoginUser("1234").ok());
    }
    reader.CloseToken();
    EXPECT_EQ(reader.GetFunctionListPtr(), nullptr);
  }
}

// A URI that is malformed or asks for what a token choice cannot honour is
// refused with its own message before its module is loaded; a PIN in it
// never reaches the message.
TEST(TokenUri, UnusableUrisAreRefusedBeforeAnyModuleIsLoaded) {
  const std::string at = "module-path=" + faultModulePath();
  const std::string object = "error:PKCS#11 URIにオブジェクトの属性(object, type, id)は指定できません。";
  const std::string pin = "error:PKCS#11 URIにPIN(pin-value, pin-source)は指定できません。";
  struct Case {
    std::string argument;
    std::string message;
  } cases[] = {
      {"pkcs11:token=%ZZ?" + at, "error:PKCS#11 URIのパーセントエンコーディングが不正です。"},
      {"pkcs11:%ZZ?" + at, "error:PKCS#11 URIの形式が不正です。"},
      {"pkcs11:token?" + at, "error:PKCS#11 URIの形式が不正です。"},
      {"pkcs11:token=A;object=key?" + at, object},
      {"pkcs11:type=cert?" + at, object},
      {"pkcs11:id=%01?" + at, object},
      {"pkcs11:token=A?pin-value=2468&" + at, pin},
      {"pkcs11:token=A?" + at + "&pin-value=2468", pin},
      {"pkcs11:token=A?pin-source=file:/tmp/2468&" + at, pin},
      {"pkcs11:token=A;vendor-thing=1?" + at, "error:PKCS#11 URIにサポート外の属性が含まれています。"},
      {"pkcs11:token=" + std::string(token::kMaxUriLength, 'a') + "?" + at, "error:PKCS#11 URIが長すぎます。"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.argument.substr(0, 120));
    CSmartCardReader reader;
    const token::Outcome loaded = reader.LoadPkcs11Module(c.argument);
    EXPECT_EQ(loaded.code(), -1);
    EXPECT_EQ(loaded.message().c_str(), c.message);
    EXPECT_EQ(std::string(loaded.message().c_str()).find("2468"), std::string::npos);
    EXPECT_EQ(reader.GetFunctionListPtr(), nullptr);
    void *loadedModule = dlopen(faultModulePath().c_str(), RTLD_NOW | RTLD_NOLOAD);
    EXPECT_EQ(loadedModule, nullptr);
    if (loadedModule != nullptr) dlclose(loadedModule);
  }
}

TEST(Session, FailingModuleCallsReportTheirCodes) {
  struct Case {
    std::string rules;
    int32_t result;
    std::string message;
  } cases[] = {
      {"C_Initialize=0x6", -1, "error:PKCS#11モジュールの初期化に失敗しました。 code = 0x00000006"},
      {"C_GetSlotList#1=0x30", -1, "error:PKCS#11モジュールスロットのカウント取得に失敗しました。 code = 0x00000030"},
      {"C_GetSlotList#2=0x150", -1, "error:cardprobe : PKCS#11モジュールスロットIDの取得に失敗しました。 code = 0x00000150"},
      {"C_OpenSession=0xB3", -1, "error:PKCS#11のセッションをオープンすることに失敗しました。 code = 0x000000B3"},
  };
  for (const Case &c : cases) {
    FaultReader f(c.rules);
    ASSERT_EQ(f.Load(), 0);
    const token::Outcome opened = f.reader.OpenTokenSession();
    EXPECT_EQ(opened.code(), c.result) << c.rules;
    EXPECT_EQ(opened.message().c_str(), c.message) << c.rules;
    // Even a failed C_Initialize is followed by C_Finalize.
    EXPECT_EQ(f.fault.count("C_Finalize"), 1u) << c.rules;
    EXPECT_EQ(f.reader.GetFunctionListPtr(), nullptr);
  }
}

TEST(Login, PinOutcomes) {
  struct Case {
    std::string rules;
    int32_t result;
    std::string message;
  } cases[] = {
      {"C_Login=0xA0", -6, "error:PKCS#11トークンのログインに失敗しました。ユーザPINが間違っています。 code = 0x000000A0"},
      {"C_Login=0xA0;C_GetTokenInfo.flags|=0x20000", -7, "error:cardprobe : USBトークンのPINロックの最後のトライです。"},
      // The attempt that locked the PIN: locked wins over the final try a
      // card may still show beside it.
      {"C_Login=0xA0;C_GetTokenInfo.flags|=0x40000", -11,
       "error:PKCS#11トークンのログインに失敗しました。ユーザPINがロックされました。 code = 0x000000A0"},
      {"C_Login=0xA0;C_GetTokenInfo.flags|=0x60000", -11,
       "error:PKCS#11トークンのログインに失敗しました。ユーザPINがロックされました。 code = 0x000000A0"},
      {"C_Login=0xA0;C_GetTokenInfo=0x30", -6, "error:cardprobe : USBトークンの情報取得に失敗しました。 code = 0x00000030"},
      {"C_Login=0xA4", -11, "error:PKCS#11トークンのログインに失敗しました。 code = 0x000000A4"},
      {"C_Login=0x5", -1, "error:PKCS#11トークンのログインに失敗しました。 code = 0x00000005"},
  };
  for (const Case &c : cases) {
    FaultReader f(c.rules);
    EXPECT_EQ(f.OpenAndLogin("1234"), c.result) << c.rules;
    EXPECT_EQ(f.last.message().c_str(), c.message) << c.rules;
    EXPECT_FALSE(f.reader.IsLoggedIn());
    f.reader.CloseToken();
    EXPECT_EQ(f.fault.count("C_Logout"), 0u) << c.rules;
  }
}

TEST(Login, RealTokenRejectsAWrongPin) {
  ServedReader s;
  ASSERT_EQ(s.Load(), 0);
  ASSERT_TRUE(s.reader.OpenTokenSession().ok());
  const token::Outcome login = s.reader.LoginUser("9999");
  EXPECT_EQ(login.code(), -6);
  EXPECT_STREQ(login.message().c_str(),
               "error:PKCS#11トークンのログインに失敗しました。ユーザPINが間違っています。 code = 0x000000A0");
}

TEST(CloseToken, UndoesInReverseOrderOnce) {
  FaultReader f("");
  ASSERT_EQ(f.OpenAndLogin("1234"), 0);
  f.fault.clearLog();
  f.reader.CloseToken();
  f.reader.CloseToken();
  EXPECT_EQ(f.fault.functions(), (std::vector<std::string>{"C_Logout", "C_CloseSession", "C_Finalize"}));
}

TEST(FindAllObjects, ListsUpToTheCapacityAndAlwaysEndsTheSearch) {
  FaultReader f("");
  {
    P11Client client(softhsmModulePath());
    P11Session session = client.openSession(client.slotByLabel("TestToken"));
    session.login("1234");
    for (int i = 0; i < 5; ++i) {
      Template t;
      t.addUlong(CKA_CLASS, CKO_DATA).addBool(CKA_TOKEN, true).add(CKA_LABEL, "d" + std::to_string(i));
      session.create(t);
    }
  }
  CK_OBJECT_HANDLE list[8] = {};
  int32_t count = -1;
  CSmartCardReader &r = f.reader;
  token::Outcome listed = r.FindAllObjects(list, &count);
  EXPECT_EQ(listed.code(), -1);
  EXPECT_STREQ(listed.message().c_str(), "error:関数呼び出し順序が不正。関数ポインタリストまたはセッションハンドルが不正。");
  ASSERT_EQ(f.OpenAndLogin("1234"), 0);
  listed = r.FindAllObjects({}, &count);
  EXPECT_EQ(listed.code(), -1);
  EXPECT_STREQ(listed.message().c_str(), "error:パラメータが不正。ObjectHandle配列またはObjectHandle配列要素数が不正。");

  ASSERT_TRUE(r.FindAllObjects(list, &count).ok());
  EXPECT_EQ(count, 5);
  ASSERT_TRUE(r.FindAllObjects(std::span(list).first(3), &count).ok());
  EXPECT_EQ(count, 3);
  EXPECT_EQ(f.fault.count("C_FindObjectsInit"), f.fault.count("C_FindObjectsFinal"));
}

TEST(FindAllObjects, FailingSearchCalls) {
  CK_OBJECT_HANDLE list[4] = {};
  {
    FaultReader f("C_FindObjectsInit=0x30");
    ASSERT_EQ(f.OpenAndLogin("1234"), 0);
    int32_t count = 7;
    const token::Outcome listed = f.reader.FindAllObjects(list, &count);
    EXPECT_EQ(listed.code(), -1);
    EXPECT_STREQ(listed.message().c_str(), "error:検索オブジェクトの初期化に失敗。\ncode=0x00000030");
    EXPECT_EQ(f.fault.count("C_FindObjectsFinal"), 0u);
  }
  {
    FaultReader f("C_FindObjectsFinal=0x30");
    ASSERT_EQ(f.OpenAndLogin("1234"), 0);
    int32_t count = 7;
    const token::Outcome listed = f.reader.FindAllObjects(list, &count);
    EXPECT_EQ(listed.code(), -1);
    EXPECT_STREQ(listed.message().c_str(), "error:検索オブジェクトのファイナライズに失敗。\ncode=0x00000030");
    EXPECT_EQ(count, 7);  // not stored
  }
  {
    // A failing C_FindObjects ends the listing quietly; the search is
    // still closed.
    FaultReader f("C_FindObjects=0x30");
    ASSERT_EQ(f.OpenAndLogin("1234"), 0);
    int32_t count = 7;
    EXPECT_TRUE(f.reader.FindAllObjects(list, &count).ok());
    EXPECT_EQ(count, 0);
    EXPECT_EQ(f.fault.count("C_FindObjectsFinal"), 1u);
  }
}

// Keys seeded the way an enrolment writes them: subject and CKA_ID of
// their certificate.
struct KeyToken {
  FaultReader f{""};
  Bytes subject = nameDer(simpleName({{"CN", "Alice"}}));
  Bytes otherSubject = nameDer(simpleName({{"CN", "Bob"}}));
  Bytes id = toBytes("201611090054354711\n");
  CK_OBJECT_HANDLE pub = 0, priv = 0;

  void Seed(bool withPublic, bool withPrivate, const Bytes &keySubject) {
    P11Client client(softhsmModulePath());
    P11Session session = client.openSession(client.slotByLabel("TestToken"));
    session.login("1234");
    Key key = Key::pooledRsa(0, 1024);
    if (withPublic) pub = session.createPublicKey(key.get(), id, "", keySubject);
    if (withPrivate) priv = session.createPrivateKey(key.get(), id, "", keySubject);
  }
  CK_ATTRIBUTE Attr(CK_ATTRIBUTE_TYPE type, Bytes &value) { return {type, value.data(), value.size()}; }
};

// Each class is searched on its own; the subject counts only when asked
// for (the default module), and a search that stops at its limit is still
// ended.
TEST(KeySearch, FindsTheKeysOfOneClassUnderTheIdentifier) {
  KeyToken k;
  k.Seed(true, true, k.otherSubject);
  ASSERT_EQ(k.f.OpenAndLogin("1234"), 0);
  const CK_ATTRIBUTE subject = k.Attr(CKA_SUBJECT, k.subject), id = k.Attr(CKA_ID, k.id);
  struct Case {
    CK_OBJECT_CLASS keyClass;
    bool withSubject;
    size_t limit;
    std::vector<CK_OBJECT_HANDLE> found;
  } cases[] = {
      {CKO_PUBLIC_KEY, true, 8, {}},
      {CKO_PRIVATE_KEY, true, 8, {}},
      {CKO_PUBLIC_KEY, false, 8, {k.pub}},
      {CKO_PRIVATE_KEY, false, 8, {k.priv}},
      {CKO_PRIVATE_KEY, false, 0, {}},
  };
  for (const Case &c : cases) {
    std::vector<CK_OBJECT_HANDLE> found;
    EXPECT_EQ(k.f.reader.FindKeys(c.keyClass, subject, id, c.withSubject, c.limit, &found), CKR_OK);
    EXPECT_EQ(found, c.found) << c.keyClass << " " << c.withSubject;
  }
  EXPECT_EQ(k.f.fault.count("C_FindObjectsInit"), k.f.fault.count("C_FindObjectsFinal"));
}

TEST(KeySearch, FailingSearchEndIsHandedBack) {
  FaultReader f("C_FindObjectsFinal=0x30");
  ASSERT_EQ(f.OpenAndLogin("1234"), 0);
  Bytes subject = toBytes("s"), id = toBytes("i");
  CK_ATTRIBUTE s{CKA_SUBJECT, subject.data(), 1}, i{CKA_ID, id.data(), 1};
  std::vector<CK_OBJECT_HANDLE> found;
  EXPECT_EQ(f.reader.FindKeys(CKO_PUBLIC_KEY, s, i, true, 8, &found), CKR_DEVICE_ERROR);
}

TEST(CommonName, FirstCommonNameInRdnOrder) {
  struct Case {
    Name name;
    const char *expected;  // DER value of the first CN, as text; null: none
  } cases[] = {
      {simpleName({{"C", "JP", StringType::Printable}, {"O", "Org"}}), nullptr},
      {simpleName({{"O", "Org"}, {"CN", "first"}, {"CN", "second"}}), "first"},
      {Name{{{"O", "Org"}, {"CN", "inside"}}, {{"CN", "later"}}}, "inside"},
      {Name{}, nullptr},
  };
  for (const Case &c : cases) {
    Bytes der = nameDer(c.name);
    X509NameHandle name = nullptr;
    uint32_t err = 0;
    ASSERT_EQ(X509NameObjectCreate(&name, &err), 0);
    Pdu pdu{der.data(), static_cast<uint32_t>(der.size())};
    ASSERT_EQ(X509NameObjectSetPduBER(name, &pdu, &err), 0);
    const X509AVA *ava = reinterpret_cast<const X509AVA *>(1);
    ASSERT_TRUE(token::GetCommonNameAVA(name, &ava).ok());
    if (c.expected == nullptr) {
      EXPECT_EQ(ava, nullptr);
    } else {
      ASSERT_NE(ava, nullptr);
      std::string value(reinterpret_cast<const char *>(ava->value) + 2, ava->valueLength - 2);
      EXPECT_EQ(value, c.expected);
    }
    X509NameObjectDestroy(name, &err);
  }
  const X509AVA *ava = nullptr;
  const token::Outcome found = token::GetCommonNameAVA(nullptr, &ava);
  EXPECT_EQ(found.code(), -1);
  EXPECT_STREQ(found.message().c_str(), "error:パラメータが不正。NameObjectまたはX509AVAが不正。");
}

}  // namespace
