// Every message text of the token access layer, in one place.  The texts
// are kept as UTF-8 here and written out in cp932.
#ifndef TOKEN_MESSAGES_H_
#define TOKEN_MESSAGES_H_

namespace token::msg {

// Module binding, session and login.
inline constexpr char kModuleLoad[] = "error:PKCS#11モジュールがロードに失敗しました。 code = 0x%08X";
inline constexpr char kNoGetFunctionList[] = "error:無効なPKCS#11モジュールです。 code = 0x%08X";
inline constexpr char kGetFunctionList[] = "error:関数表の取得に失敗しました。 code = 0x%08X";
inline constexpr char kInitialize[] = "error:PKCS#11モジュールの初期化に失敗しました。 code = 0x%08X";
inline constexpr char kSlotCount[] = "error:PKCS#11モジュールスロットのカウント取得に失敗しました。 code = 0x%08X";
inline constexpr char kNoToken[] = "error:USBトークンが挿入されていません。";
inline constexpr char kSeveralTokens[] = "error:複数のUSBトークンが挿入されています。";
inline constexpr char kSlotListMemory[] = "error:PKCS#11スロットIDバッファ領域が確保できません。";
inline constexpr char kSlotList[] = "error:cardprobe : PKCS#11モジュールスロットIDの取得に失敗しました。 code = 0x%08X";
inline constexpr char kOpenSession[] = "error:PKCS#11のセッションをオープンすることに失敗しました。 code = 0x%08X";
inline constexpr char kPinIncorrect[] =
    "error:PKCS#11トークンのログインに失敗しました。ユーザPINが間違っています。 code = 0x%08X";
inline constexpr char kTokenInfoMemory[] = "error:PKCS#11スロットトークン情報バッファ領域が確保できません。";
inline constexpr char kTokenInfo[] = "error:cardprobe : USBトークンの情報取得に失敗しました。 code = 0x%08X";
inline constexpr char kPinFinalTry[] = "error:cardprobe : USBトークンのPINロックの最後のトライです。";
inline constexpr char kLoginFailed[] = "error:PKCS#11トークンのログインに失敗しました。 code = 0x%08X";
// A wrong PIN after which the token shows the PIN locked: this attempt
// locked it, and a retry can only fail.
inline constexpr char kPinLockedByAttempt[] =
    "error:PKCS#11トークンのログインに失敗しました。ユーザPINがロックされました。 code = 0x%08X";

// A module argument given as a PKCS#11 URI that cannot be used: each text
// names the problem and never repeats the URI (it may hold a PIN).
inline constexpr char kUriMalformed[] = "error:PKCS#11 URIの形式が不正です。";
inline constexpr char kUriBadEncoding[] = "error:PKCS#11 URIのパーセントエンコーディングが不正です。";
inline constexpr char kUriTooLong[] = "error:PKCS#11 URIが長すぎます。";
inline constexpr char kUriObjectAttribute[] =
    "error:PKCS#11 URIにオブジェクトの属性(object, type, id)は指定できません。";
inline constexpr char kUriPin[] = "error:PKCS#11 URIにPIN(pin-value, pin-source)は指定できません。";
inline constexpr char kUriUnknownAttribute[] = "error:PKCS#11 URIにサポート外の属性が含まれています。";

// Object search and name attributes.
inline constexpr char kCallOrder[] =
    "error:関数呼び出し順序が不正。関数ポインタリストまたはセッションハンドルが不正。";
inline constexpr char kBadHandleList[] =
    "error:パラメータが不正。ObjectHandle配列またはObjectHandle配列要素数が不正。";
inline constexpr char kFindInit[] = "error:検索オブジェクトの初期化に失敗。\ncode=0x%08X";
inline constexpr char kFindFinal[] = "error:検索オブジェクトのファイナライズに失敗。\ncode=0x%08X";
inline constexpr char kWriteCheckFinal[] =
    "error:PublicKeyAndPrivateKeyWriteCheckのC_FindObjectsFinalでエラーが発生している";
inline constexpr char kDeleteFinal[] = "error:PublicKeyAndPrivateKeyDeleteのC_FindObjectsFinalでエラーが発生している";
inline constexpr char kKeyDeleteListFull[] =
    "error:削除対象の鍵オブジェクトが規定数(512)を超えている";
inline constexpr char kBadNameArgs[] = "error:パラメータが不正。NameObjectまたはX509AVAが不正。";
inline constexpr char kCalRdn[] = "error:X509NameObjectCalRDNに失敗しました。\ncode=0x%08X";
inline constexpr char kCalAva[] = "error:X509NameObjectCalAVAに失敗しました。\ncode=0x%08X";
inline constexpr char kGetAvap[] = "error:X509NameObjectGetAVApに失敗しました。\ncode=0x%08X";

// The one console line of a program that has none otherwise: its log file
// could not be written.
inline constexpr char kLogFileWrite[] = "error:ログファイルへの書き込みに失敗しました。";

}  // namespace token::msg

#endif  // TOKEN_MESSAGES_H_
