// Every text the read program writes: messages for the error file, the
// console lines and the file names.  The texts are kept as UTF-8 here; the
// error file gets them in cp932 and the console in the locale's character
// set.
#ifndef SARNET_MESSAGES_H_
#define SARNET_MESSAGES_H_

namespace sarnet::msg {

// File names beside the program.
inline constexpr char kErrorFileName[] = "Morva.txt";
inline constexpr char kCertInfoFileName[] = "certRead.txt";

// Entry point.
inline constexpr char kLogPath[] = "error:ログファイルパスが構築できない。";
inline constexpr char kArgCount[] = "error:コマンドライン引数が2以外である。";
inline constexpr char kErrorFileWrite[] = "error: エラー情報ファイルへの書き込みに失敗しました。\n";
inline constexpr char kResultLine[] = "\nツールの戻り値 = %d";
// Our additions: memory that cannot be had anywhere in the run, and any
// other failure that ended the run unexpectedly.
inline constexpr char kOutOfMemory[] = "error:メモリの確保に失敗しました。";
inline constexpr char kUnexpectedFailure[] = "error:予期しない内部エラーが発生しました。";

// Certificate listing.
inline constexpr char kNoObjects[] = "error:USB内のオブジェクトが空";
inline constexpr char kNameCreate[] = "error:X509NameObjectを作成できませんでした。code=0x%08X";
inline constexpr char kCertCreate[] = "error:X509CertObjectを作成できませんでした。code=0x%08X";
inline constexpr char kCertFileOpen[] = "error:証明書情報ファイルのオープンに失敗しました。\nerrNo=0x%08X";
inline constexpr char kSubjectMemory[] = "error:attrTemplate[0]の領域確保に失敗。";
inline constexpr char kValueMemory[] = "error:attrTemplate[1]の領域確保に失敗。";
inline constexpr char kNameSet[] = "error:X509NameObjectをセットできませんでした。code=0x%08X";
inline constexpr char kCertSet[] = "error:X509CertObjectをセットできませんでした。code=0x%08X";
inline constexpr char kCertParam[] = "error:証明書のパラメータが取得できませんでした。code=0x%08X";
inline constexpr char kBasicConstraints[] = "error:basicConstraintsの取得に失敗しました。code=0x%08X";
inline constexpr char kSubjectText[] = "error:Subjectの文字列変換に失敗しました。code=0x%08X";
inline constexpr char kCommonNameDecode[] = "error:PARVOX_DirectStringDecodeに失敗しました。code=0x%08X";
inline constexpr char kNoCertificates[] = "error:USBトークンに証明書が格納されていませんでした。\n";

// Our additions: a text buffer that cannot be had, and a certificate
// information file whose entries did not reach the disk.
inline constexpr char kSubjectTextMemory[] = "error:Subject文字列の領域確保に失敗。";
inline constexpr char kCommonNameMemory[] = "error:commonName文字列の領域確保に失敗。";
inline constexpr char kCertFileWrite[] = "error:証明書情報ファイルの書き込みに失敗しました。\nerrNo=0x%08X";

}  // namespace sarnet::msg

#endif  // SARNET_MESSAGES_H_
