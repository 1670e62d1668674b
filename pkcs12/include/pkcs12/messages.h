// The message texts of reading a PKCS#12 file: not a PKCS#12 file, wrong
// password, a failed import, no certificate, a private key that cannot
// serve or cannot be exported.  The texts are kept as UTF-8 here; the log
// file receives them in cp932.
#ifndef PKCS12_MESSAGES_H_
#define PKCS12_MESSAGES_H_

namespace velkor::msg {

inline constexpr char kNotPfx[] = "error:指定されたファイルPKCS#12ファイルではありません。";
inline constexpr char kWrongPassword[] = "error:PKCS#12ファイルのパスワードが間違っています。";
inline constexpr char kPfxImport[] = "error:PKCS#12のインポートに失敗しました。\ncode=0x%08X";
inline constexpr char kNoCert[] = "error:PKCS#12内に証明書が存在しない。";
// A private key that cannot serve the user: not a two-prime RSA key, or one
// whose private parts do not hold together.
inline constexpr char kKeyNotRsa[] = "error:P12ファイルが不正である。秘密鍵が2素数のRSA鍵ではない。";
inline constexpr char kKeyDamaged[] = "error:P12ファイルが不正である。秘密鍵が壊れている。";
inline constexpr char kKeyExport[] = "error:秘密鍵のエクスポートに失敗しました。\ncode=0x%08X";
inline constexpr char kKeyExportMemory[] = "error:秘密鍵エクスポート用のメモリを確保できませんでした。";

}  // namespace velkor::msg

#endif  // PKCS12_MESSAGES_H_
