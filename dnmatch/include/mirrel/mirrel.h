/*
 * libMirrel: typical form of a distinguished name and comparison of two
 * names.
 *
 * The typical form keeps the RDNs in their order and re-encodes every
 * attribute value as a UTF8String with leading and trailing spaces
 * removed, inner runs of spaces reduced to one and ASCII letters in upper
 * case; the AVAs inside each RDN are put into one fixed order.  Two names
 * that differ only in string types, ASCII case, surplus spaces or the
 * order of AVAs inside an RDN have typical forms with identical DER.
 *
 * Both calls return 0 on success and -1 on failure; *errorCode is written
 * only on failure (nothing is written when errorCode is null).
 */
#ifndef MIRREL_MIRREL_H_
#define MIRREL_MIRREL_H_

#include <stdint.h>

#include <asn1x509/asn1x509.h>

#if defined(__GNUC__)
#define MIRREL_API __attribute__((visibility("default")))
#else
#define MIRREL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* A name handle is missing, a value has an unsupported string type or
 * cannot be converted to UTF-8, or a non-UTF-8 value is empty. */
#define MIRREL_ERR_ARGUMENT 0x0DD00001u
/* CompareDN: the result pointer is missing. */
#define MIRREL_ERR_NO_RESULT 0x0DD00002u

/* Appends the typical form of `source` to `destination`, an empty name
 * object the caller created (and destroys).  Codes of failing object
 * library calls are passed on unchanged.  On failure RDNs already
 * appended stay in `destination`. */
MIRREL_API int32_t GetTypicalDN(X509NameHandle source, X509NameHandle destination, uint32_t *errorCode);

/* Compares the typical forms of two names: *result is 0 when they match
 * and -1 when they differ; it is written only when the call returns 0. */
MIRREL_API int32_t CompareDN(X509NameHandle name1, X509NameHandle name2, int32_t *result, uint32_t *errorCode);

#ifdef __cplusplus
}
#endif

#endif /* MIRREL_MIRREL_H_ */
