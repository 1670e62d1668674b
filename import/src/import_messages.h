// Every message text of the import procedure but those of reading the
// PKCS#12 file (pkcs12/messages.h).  The texts are kept as UTF-8 here; the
// log file receives them in cp932.
#ifndef IMPORT_IMPORT_MESSAGES_H_
#define IMPORT_IMPORT_MESSAGES_H_

namespace velkor::msg {

// The line that ends every log written by the import procedure.
inline constexpr char kResultLine[] = "\nツールの戻り値 = %d";

// PKCS#12 unpacking and key extraction.
inline constexpr char kPasswordToWide[] = "error:PKCS#12ファイルのパスワードをWCSに変換できませんでした。";
inline constexpr char kPasswordBuffer[] =
    "error:PKCS#12ファイルのパスワードをWCSに変換するためのバッファが取得できませんでした。";
inline constexpr char kSeveralCerts[] = "error:P12ファイルが不正である。P12ファイルに証明書が複数格納されている。";
inline constexpr char kSeveralKeyCerts[] =
    "error:P12ファイルが不正である。P12ファイルに秘密鍵を持つ証明書が複数格納されている。";
inline constexpr char kNoKeyCert[] = "error:P12ファイルが不正である。P12ファイルに秘密鍵を持つ証明書が存在しない。";
// A certificate larger than any token attribute the programs read back.
inline constexpr char kCertTooLarge[] = "error:P12ファイルが不正である。証明書のサイズが上限(16MiB)を超えている。";
inline constexpr char kCertObjectCreate[] = "error:証明書オブジェクトの作成に失敗しました。\ncode=0x%08X";
inline constexpr char kCertDecode[] = "error:証明書のデコードができませんでした。\ncode=0x%08X";
inline constexpr char kPkcs8Create[] = "error:PKCS8デコード用オブジェクトが作成できませんでした。\ncode=0x%08X";
inline constexpr char kPkcs8Decode[] = "error:PKCS8がデコードできませんでした。\ncode=0x%08X";
inline constexpr char kPkcs1Create[] = "error:PKCS1デコード用オブジェクトが作成できませんでした。\ncode=0x%08X";
inline constexpr char kPkcs8RsaKey[] = "error:PKCS8のデータからRSA鍵が取り出せませんでした。\ncode=0x%08X";

// Import sequence.
inline constexpr char kTooManyObjects[] = "error:USB内のオブジェクトが規定値よりも多い";
inline constexpr char kNoObjects[] = "error:USB内のオブジェクトが空";
inline constexpr char kNoCaCert[] = "error:PKCS#12内にCA証明書が存在しない。";
inline constexpr char kEeIdProduct[] = "\nerror:strCKA_ID_EEを引数としたProductCKA_IDでエラーが発生した";
inline constexpr char kRootIdProduct[] = "\nerror:strCKA_ID_ROOTを引数としたProductCKA_IDでエラーが発生した";
inline constexpr char kPublicKeyNoId[] = "error:公開鍵書き込み時にも関わらず、strCKA_ID_EEがNULLである。";
inline constexpr char kDeletePrivateKey[] = "error:Kivo内の秘密鍵データ削除に失敗。\ncode=0x%08X";
inline constexpr char kDeletePublicKey[] = "error:Kivo内の公開鍵データ削除に失敗。\ncode=0x%08X";
inline constexpr char kDeleteCert[] = "error:Kivo内のデータ削除に失敗。\ncode=0x%08X";
// Added after the message of a failed writing pass when an object that
// this run had already created cannot be destroyed again.
inline constexpr char kRollback[] = "\nerror:書き込み済みオブジェクトの削除に失敗。\ncode=0x%08X";
// A rollback after a refused write starts the module afresh first; when
// that fails the run's objects stay.
inline constexpr char kRollbackRestart[] =
    "\nerror:書き込み済みオブジェクトを削除するためのトークンへの再接続に失敗。";
// Objects listed at the start of the run that the token no longer holds
// after a rollback, each named by its kind and identifier.
inline constexpr char kOldSetDamaged[] = "\nerror:Kivo内の既存のオブジェクトが失われた。";
inline constexpr char kMissingObject[] = "\n%s CKA_ID=%s";
inline constexpr char kPrivateKeyName[] = "秘密鍵";
inline constexpr char kPublicKeyName[] = "公開鍵";
inline constexpr char kCertificateName[] = "証明書";
inline constexpr char kObjectName[] = "オブジェクト";
// The proof that the new private key works on the token.
inline constexpr char kProofPrepare[] = "error:書き込んだ秘密鍵の確認を準備できませんでした。\ncode=0x%08X";
inline constexpr char kProofSign[] = "error:書き込んだ秘密鍵で署名できませんでした。\ncode=0x%08X";
inline constexpr char kProofSignMismatch[] = "error:書き込んだ秘密鍵の署名を証明書の公開鍵で検証できませんでした。";
inline constexpr char kProofDecrypt[] = "error:書き込んだ秘密鍵で復号できませんでした。\ncode=0x%08X";
inline constexpr char kProofDecryptMismatch[] =
    "error:書き込んだ秘密鍵で復号した値が証明書の公開鍵で暗号化した値と一致しませんでした。";
// A certificate position beyond the capacity of the delete list.
inline constexpr char kCertDeleteListFull[] = "error:削除対象の証明書オブジェクトが規定数(512)を超えている";

// Subject and serial check.
inline constexpr char kCertParam[] = "error:証明書のパラメータが取得できませんでした。\ncode=0x%08X";
inline constexpr char kSerialEncode[] = "error:証明書シリアルのエンコードができませんでした。\ncode=0x%08X";
inline constexpr char kCertKind[] = "error:SubjectAndSerialCheckの証明書フラグの値が異常。";
inline constexpr char kAttrMemory[] = "error:attrTemplate[%d]の領域確保に失敗。";
inline constexpr char kNameCreate[] = "error:X509NameObjectを作成できませんでした。\ncode=0x%08X";
inline constexpr char kNameSet[] = "error:X509NameObjectにエンコードデータをセットできませんでした。\ncode=0x%08X";
inline constexpr char kNameDestroy[] = "error:X509NameObjectを破棄できませんでした。\ncode=0x%08X";
inline constexpr char kIssuerMismatch[] = "error:Kivo内の証明書とPKCS#12のイシュアが異なる。";
inline constexpr char kCompareDn[] = "error:CompareDNが異常終了いたしました。\ncode=0x%08X";
inline constexpr char kTypicalNameCreate[] = "error:X509NameObjectCreateが異常終了いたしました。\ncode=0x%08X";
inline constexpr char kTypicalDn[] = "error:GetTypicalDNが異常終了いたしました。\ncode=0x%08X";
inline constexpr char kSubjectMismatch[] = "error:Kivo内の証明書とPKCS#12の証明書のサブジェクトが異なる";
inline constexpr char kSubjectCnMismatch[] = "error:Kivo内の証明書とPKCS#12の証明書のサブジェクトCNが異なる";
inline constexpr char kBadIssuerArgs[] = "error:パラメータが不正。NameObjectまたはIssuerPduが不正。";

// Token object writing.
inline constexpr char kIdTime[] = "error:ProductCKA_IDのtimeでエラーが発生している";
inline constexpr char kIdLocalTime[] = "error:ProductCKA_IDのlocaltime_sでエラーが発生している\ncode=0x%08X";
// A drawn identifier that an object on the token already carries is drawn
// again: the search for it failed, or every draw was taken.
inline constexpr char kIdSearch[] = "error:ProductCKA_IDで作成したCKA_IDのトークン内検索に失敗。\ncode=0x%08X";
inline constexpr char kIdAllTaken[] = "error:ProductCKA_IDでトークン内に存在しないCKA_IDが作成できなかった";
inline constexpr char kCertSubject[] = "error:証明書のサブジェクトが取得できませんでした。\ncode=0x%08X";
inline constexpr char kCertIssuer[] = "error:証明書のイシュアが取得できませんでした。\ncode=0x%08X";
inline constexpr char kCertEncode[] = "error:証明書のエンコードができませんでした。\ncode=0x%08X";
inline constexpr char kPrivateKeyParam[] = "error:秘密鍵パラメータが取得できませんでした。\ncode=0x%08X";
inline constexpr char kPrivateKeyWrite[] = "error:秘密鍵の書き込みに失敗。\ncode=0x%08X";
inline constexpr char kPublicKeyCreate[] = "error:RSA公開鍵オブジェクトが作成できませんでした。\ncode=0x%08X";
inline constexpr char kPublicKeySet[] = "error:PKCS1RSAPublicKeyオブジェクトにセットできませんでした。\ncode=0x%08X";
inline constexpr char kPublicKeyParam[] = "error:公開鍵パラメータが取得できませんでした。\ncode=0x%08X";
inline constexpr char kPublicKeyWrite[] = "error:公開鍵の書き込みに失敗。\ncode=0x%08X";
inline constexpr char kCertWrite[] = "error:証明書の書き込みに失敗。\ncode=0x%08X";

// CA addition and trust anchor.
inline constexpr char kAddition[] = "error:Kivo内の証明書とPKCS#12の証明書のサブジェクトが異なる（追加処理）";
inline constexpr char kAdditionNoAnchorFile[] =
    "error:Kivo内の証明書とPKCS#12の証明書のサブジェクトが異なる（追加処理：信頼点ファイルが存在しません）";
inline constexpr char kAdditionCaTrust[] =
    "error:Kivo内の証明書とPKCS#12の証明書のサブジェクトが異なる（追加処理：Kivo内CA証明書信頼点確認エラー）";

}  // namespace velkor::msg

#endif  // IMPORT_IMPORT_MESSAGES_H_
