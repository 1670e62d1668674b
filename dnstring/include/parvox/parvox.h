/*
 * libParvox: distinguished names and directory strings to text and back.
 *
 * Converters turn big-endian UCS-2, big-endian UCS-4 and UTF-8 into the
 * process's local multibyte text or UTF-8 (plain or escaped for use as a
 * value inside an LDAP-style DN string).  Decoders take a DirectoryString or
 * e-mail address value and append its text at a moving cursor.  Formatters
 * render a name object as slash-form or LDAP-form text; parsers build a name
 * object from such text.
 *
 * Every call returns 0 on success and -1 on failure and writes *errorCode
 * only on failure.  No byte count includes a terminating NUL.
 *
 * Output modes of the decoders:
 *   0  local multibyte text (LC_CTYPE is set from the environment first;
 *      size queries answer an upper bound),
 *   1  UTF-8,
 *   2  UTF-8 escaped as a DN value (",+\"\\<>;" get a backslash, and so do a
 *      leading '#' or space and a trailing space).
 *   Any other mode escapes bmpString, universalString and utf8String values
 *   and copies the other string types plainly.
 */
#ifndef PARVOX_PARVOX_H_
#define PARVOX_PARVOX_H_

#include <stdint.h>

#include <asn1x509/asn1x509.h>

#if defined(__GNUC__)
#define PARVOX_API __attribute__((visibility("default")))
#else
#define PARVOX_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Error codes: 0x1E000000 + operation * 256 + kind. */
#define PARVOX_ERR_SLASHPARSE_NOMEM        0x1E000101u /* encoding an e-mail or street value */
#define PARVOX_ERR_SLASHPARSE_KEYWORD      0x1E000111u /* text starts with no keyword */
#define PARVOX_ERR_SLASHFMT_KIND           0x1E000211u /* typed AVA of an unlisted kind */
#define PARVOX_ERR_LDAPPARSE_NOMEM         0x1E000301u
#define PARVOX_ERR_LDAPPARSE_QUOTE         0x1E000352u /* double quote without its partner */
#define PARVOX_ERR_LDAPPARSE_NO_EQUALS     0x1E000353u /* component without '=' */
#define PARVOX_ERR_LDAPPARSE_NO_KEYWORD    0x1E000354u /* no keyword letter before '=' */
#define PARVOX_ERR_LDAPPARSE_BAD_KEYWORD   0x1E000355u /* keyword not known, or junk before '=' */
#define PARVOX_ERR_LDAPPARSE_EMPTY_VALUE   0x1E000356u
#define PARVOX_ERR_LDAPPARSE_BAD_HEXVALUE  0x1E000357u /* '#' value that is not one DER value in hex */
#define PARVOX_ERR_LDAPPARSE_LIST          0x1E0003F0u /* component list inconsistent */
#define PARVOX_ERR_LDAPPARSE_NODE_TYPE     0x1E0003FFu
#define PARVOX_ERR_LDAPFMT_KIND            0x1E000411u
#define PARVOX_ERR_UCS4TOMBS_NOMEM         0x1E000501u
#define PARVOX_ERR_UCS4TOMBS_CONVERT       0x1E000560u
#define PARVOX_ERR_UCS4TOMBS_LENGTH        0x1E000561u
#define PARVOX_ERR_DECODE_CHOICE           0x1E000633u
#define PARVOX_ERR_UCS4TOUTF8_LENGTH       0x1E000761u
#define PARVOX_ERR_UCS4TOUTF8_RANGE        0x1E000762u
#define PARVOX_ERR_UCS2TOMBS_NOMEM         0x1E000801u
#define PARVOX_ERR_UCS2TOMBS_CONVERT       0x1E000860u
#define PARVOX_ERR_UCS2TOMBS_LENGTH        0x1E000863u
#define PARVOX_ERR_UCS2TOUTF8_LENGTH       0x1E000963u
#define PARVOX_ERR_UTF8TOMBS_NOMEM         0x1E000A01u
#define PARVOX_ERR_UTF8TOMBS_CONVERT       0x1E000A60u
#define PARVOX_ERR_UTF8TOMBS_LENGTH        0x1E000A65u
#define PARVOX_ERR_UTF8TOMBS_SEQUENCE      0x1E000A66u /* cut short, or bad continuation byte */
#define PARVOX_ERR_UTF8TOMBS_RANGE         0x1E000A67u /* U+FFFF or beyond U+10FFFF */
#define PARVOX_ERR_UTF8SCAN_LEAD           0x1E000B66u /* byte that cannot begin a sequence */
#define PARVOX_ERR_UCS2TOUTF8DN_LENGTH     0x1E000C63u
#define PARVOX_ERR_UCS4TOUTF8DN_LENGTH     0x1E000D61u
#define PARVOX_ERR_UCS4TOUTF8DN_RANGE      0x1E000D62u
#define PARVOX_ERR_LDAPSIZE_KIND           0x1E000E11u
#define PARVOX_ERR_LDAPUTF8FMT_KIND        0x1E000F11u
/* Codes of this library's own beyond the operation tables. */
#define PARVOX_ERR_NOMEM                   0x1E0000FDu /* out of memory where the operation has no code */
#define PARVOX_ERR_TOO_LARGE               0x1E0000FEu /* text would exceed 2^31-1 bytes */
#define PARVOX_ERR_ARGUMENT                0x1E0000FFu /* null pointer where one is needed */

/* ---- converters: (src, dst, srcLen, room, errorCode) -------------------
 * dst: address of the output pointer, or null for a size query.
 * *room: capacity on entry (write) and bytes written on return; in a size
 * query the bytes needed.  The output pointer is not moved.  The *tombs
 * converters store a NUL after the text when it still fits. */
PARVOX_API int32_t PARVOX_ucs2tombs(const unsigned char *src, unsigned char **dst, int32_t srcLen, int32_t *room,
                                    uint32_t *errorCode);
PARVOX_API int32_t PARVOX_ucs4tombs(const unsigned char *src, unsigned char **dst, int32_t srcLen, int32_t *room,
                                    uint32_t *errorCode);
PARVOX_API int32_t PARVOX_utf8tombs(const unsigned char *src, unsigned char **dst, int32_t srcLen, int32_t *room,
                                    uint32_t *errorCode);
PARVOX_API int32_t PARVOX_ucs2toutf8(const unsigned char *src, unsigned char **dst, int32_t srcLen, int32_t *room,
                                     uint32_t *errorCode);
PARVOX_API int32_t PARVOX_ucs4toutf8(const unsigned char *src, unsigned char **dst, int32_t srcLen, int32_t *room,
                                     uint32_t *errorCode);
PARVOX_API int32_t PARVOX_ucs2toutf8DnString(const unsigned char *src, unsigned char **dst, int32_t srcLen,
                                             int32_t *room, uint32_t *errorCode);
PARVOX_API int32_t PARVOX_ucs4toutf8DnString(const unsigned char *src, unsigned char **dst, int32_t srcLen,
                                             int32_t *room, uint32_t *errorCode);

/* ---- decoders: (input, cursor, room, mode, errorCode) ------------------
 * cursor: address of the output pointer, or null for a size query.  In
 * write mode *room is the remaining capacity; both are moved by the bytes
 * written.  A size query stores the bytes needed in *room (mode 0: an upper
 * bound; other modes: exact). */
PARVOX_API int32_t PARVOX_dirstrtostring(const DirectoryStringValue *value, unsigned char **cursor, int32_t *room,
                                         int32_t mode, uint32_t *errorCode);
PARVOX_API int32_t PARVOX_DirectStringDecode(const Pdu *pdu, unsigned char **cursor, int32_t *room, int32_t mode,
                                             uint32_t *errorCode);
PARVOX_API int32_t PARVOX_EmailAddrDecode(const Pdu *pdu, unsigned char **cursor, int32_t *room, int32_t mode,
                                          uint32_t *errorCode);

/* ---- formatters ---------------------------------------------------------
 * Slash form: "/C=JP/O=Org/CN=Taro", local multibyte text.
 * LDAP form:  "CN=Taro,O=Org,C=JP"; ...LDAP local text without escaping,
 *             ...LDAPUTF8 UTF-8 with DN escaping.
 * NameObjToString: buffer of `capacity` bytes, always NUL-terminated.
 * NameObjToStringTXT: buffer null -> *length = bytes needed (no NUL);
 *   otherwise *length is the capacity and receives the bytes written.
 * NameObjToStringLDAP / LDAPUTF8: buffer null -> *length = bytes needed
 *   including the NUL; otherwise *length is the buffer size (unchanged). */
PARVOX_API int32_t PARVOX_NameObjToString(X509NameHandle name, char *buffer, int32_t capacity, uint32_t *errorCode);
PARVOX_API int32_t PARVOX_NameObjToStringTXT(X509NameHandle name, char *buffer, int32_t *length,
                                             uint32_t *errorCode);
PARVOX_API int32_t PARVOX_NameObjToStringLDAP(X509NameHandle name, char *buffer, int32_t *length,
                                              uint32_t *errorCode);
PARVOX_API int32_t PARVOX_NameObjToStringLDAPUTF8(X509NameHandle name, char *buffer, int32_t *length,
                                                  uint32_t *errorCode);

/* ---- parsers: append the attributes to a name object the caller made ---- */
PARVOX_API int32_t PARVOX_NameStringToObj(const char *text, int32_t textLength, X509NameHandle name,
                                          uint32_t *errorCode);
PARVOX_API int32_t PARVOX_NameStringToObjLDAP(const char *text, void *reserved, X509NameHandle name,
                                              uint32_t *errorCode);

#ifdef __cplusplus
}
#endif

#endif /* PARVOX_PARVOX_H_ */
