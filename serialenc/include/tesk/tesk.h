/*
 * libTesk: DER encoding of a certificate's serial number as an ASN.1
 * INTEGER, the form a PKCS#11 certificate object keeps in
 * CKA_SERIAL_NUMBER.
 *
 * Tesk reads only record->serial.  The buffer it hands back is allocated
 * by this library and must be released with FreeASN1Memory.
 */
#ifndef TESK_TESK_H_
#define TESK_TESK_H_

#include <stdint.h>

#include <asn1x509/asn1x509.h>

#if defined(__GNUC__)
#define TESK_API __attribute__((visibility("default")))
#else
#define TESK_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Filled only when Tesk fails: the name of the failing step and its code. */
typedef struct {
  char stepName[64];
  int32_t stepCode;
} EncodeErrorInfo;

/* Step codes. */
#define TESK_OK 0
#define TESK_ERR_NOMEM 2
#define TESK_ERR_ARGUMENT 7
#define TESK_ERR_OUTPUT_SMALL 0x150

/* Encodes record->serial as a complete DER INTEGER.  Returns 0 on success
 * (then *encodedLength and *encodedBytes are set), else the code of the
 * failing step, which is also recorded in *info when info is not null; on
 * failure the outputs are left untouched. */
TESK_API int32_t Tesk(const X509CertParam *record, uint32_t *encodedLength, unsigned char **encodedBytes,
                      EncodeErrorInfo *info);

/* Releases a buffer returned by Tesk; a null buffer is ignored. */
TESK_API void FreeASN1Memory(void *buffer);

#ifdef __cplusplus
}
#endif

#endif /* TESK_TESK_H_ */
