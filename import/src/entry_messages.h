// Messages of the import program's entry point; each ends with the result
// line, formatted with the result -1.
#ifndef IMPORT_ENTRY_MESSAGES_H_
#define IMPORT_ENTRY_MESSAGES_H_

namespace velkor::msg {

inline constexpr char kArgCount[] = "error:コマンドライン引数が8以外である。\nツールの戻り値 = %d";
inline constexpr char kArg5[] = "error:コマンドライン引数5番目のオプション文字列がサポート外である。\nツールの戻り値 = %d";
inline constexpr char kArg6[] = "error:コマンドライン引数6番目のオプション文字列がサポート外である。\nツールの戻り値 = %d";
inline constexpr char kArg7[] = "error:コマンドライン引数7番目のオプション文字列がサポート外である。\nツールの戻り値 = %d";
inline constexpr char kOpenP12[] = "error:PKCS#12ファイル\n%s\nを開けませんでした。\nツールの戻り値 = %d";
inline constexpr char kStatP12[] = "error:PKCS#12ファイルのステータスが取得できませんでした。\nツールの戻り値 = %d";
inline constexpr char kAllocP12[] = "error:PKCS#12ファイルの読込バッファが確保できませんでした。\nツールの戻り値 = %d";
inline constexpr char kReadP12[] = "error:PKCS#12ファイルの読み込みに失敗しました。\nツールの戻り値 = %d";
inline constexpr char kDeleteP12[] = "error:PKCS#12ファイルの削除に失敗しました。\nツールの戻り値 = %d";
// Our additions: another file put in place of the one read, between the
// read and the overwrite; memory that cannot be had anywhere in the run;
// any other failure that ended the run unexpectedly.
inline constexpr char kChangedP12[] = "error:PKCS#12ファイル\n%s\nが読み込み中に変更されました。\nツールの戻り値 = %d";
inline constexpr char kOutOfMemory[] = "error:メモリの確保に失敗しました。\nツールの戻り値 = %d";
inline constexpr char kUnexpectedFailure[] = "error:予期しない内部エラーが発生しました。\nツールの戻り値 = %d";

// The keywords of arguments 5 to 7.
inline constexpr char kSubDn[] = "SUBDN";
inline constexpr char kSubCn[] = "SUBCN";
inline constexpr char kIsChkOn[] = "ISCHKON";
inline constexpr char kIsChkOff[] = "ISCHKOFF";
inline constexpr char kAddOn[] = "ADDON";
inline constexpr char kAddOff[] = "ADDOFF";

}  // namespace velkor::msg

#endif  // IMPORT_ENTRY_MESSAGES_H_
