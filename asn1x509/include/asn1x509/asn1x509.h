/*
 * libasn1x509: ASN.1 / X.509 object library.
 *
 * Names, certificates, extensions, RSA keys (PKCS#1, PKCS#8) and generic
 * ASN.1 values driven by a type description, over a strict DER reader and
 * writer.  Every call takes a final `uint32_t *err` that is written only on
 * failure (never when it is null).
 *
 * Return conventions:
 *   X509...  calls: 0 on success, non-zero (-1) on failure.
 *   Asn..., PKCS1..., PKCS8... calls: 0 on success, -1 on failure.
 *
 * Ownership: handles come from ...ObjectCreate and are released by the
 * matching ...ObjectDestroy.  Every pointer that a call hands out (PDUs,
 * AVA records, arcs, parameter records' byte strings, the name handles and
 * extension handle inside X509CertParam) points into the object that handed
 * it out and stays valid until that object is destroyed or reloaded with
 * ...SetPduBER / AsnOpen... / AsnClose.  Input bytes passed to ...SetPduBER
 * are copied; AsnOpenFromMem keeps a reference to the caller's bytes (see
 * there).
 */
#ifndef ASN1X509_ASN1X509_H_
#define ASN1X509_ASN1X509_H_

#include <stdint.h>

#if defined(__GNUC__)
#define ASN1X509_API __attribute__((visibility("default")))
#else
#define ASN1X509_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------ */
/* Common records                                                      */
/* ------------------------------------------------------------------ */

/* A byte string {pointer, length}. */
typedef struct {
  const unsigned char *data;
  uint32_t length;
} Pdu;

/* An object identifier: {arcs, arc count}.  commonName is {(2,5,4,3), 4}. */
typedef struct {
  const int32_t *arcs;
  uint32_t count;
} AsnObjid;

/* A DirectoryString value: choice 1 teletexString, 2 printableString,
 * 3 bmpString, 4 universalString, 5 utf8String (6 ia5String where a value
 * of that type stands in a DirectoryString attribute); data/length are the
 * content octets (no tag or length). */
typedef struct {
  int32_t choice;
  const unsigned char *data;
  uint32_t length;
} DirectoryStringValue;

enum {
  DIRSTR_TELETEX = 1,
  DIRSTR_PRINTABLE = 2,
  DIRSTR_BMP = 3,
  DIRSTR_UNIVERSAL = 4,
  DIRSTR_UTF8 = 5,
  DIRSTR_IA5 = 6
};

/* ------------------------------------------------------------------ */
/* Error codes of this library                                         */
/* ------------------------------------------------------------------ */
#define ASN1X509_ERR_ARGUMENT      0x01460001u /* null handle / pointer argument */
#define ASN1X509_ERR_NOMEM         0x01460002u /* allocation failed */
#define ASN1X509_ERR_DER           0x01460003u /* malformed or non-DER encoding */
#define ASN1X509_ERR_STRUCTURE     0x01460004u /* well-formed DER, wrong structure for the type */
#define ASN1X509_ERR_INDEX         0x01460005u /* RDN / AVA index out of range */
#define ASN1X509_ERR_STATE         0x01460006u /* object not loaded / not opened / wrong state */
#define ASN1X509_ERR_PATH          0x01460007u /* unknown path for the type description */
#define ASN1X509_ERR_CHOICE        0x01460008u /* choice not present / not selected */
#define ASN1X509_ERR_BUFFER        0x01460009u /* caller buffer too small */
#define ASN1X509_ERR_UNSUPPORTED   0x0146000Au /* unsupported attribute type / key type / version */
#define ASN1X509_ERR_TOO_LARGE     0x0146000Bu /* length beyond the 32-bit range or a built-in bound */
#define ASN1X509_ERR_EXT_NOT_FOUND 0x0146F201u /* no extension with that identifier */
#define ASN1X509_ERR_NO_BASIC_CONSTRAINTS 0x0146F204u /* the set has no basicConstraints */

/* ------------------------------------------------------------------ */
/* Handles                                                             */
/* ------------------------------------------------------------------ */
typedef struct X509NameObject *X509NameHandle;
typedef struct X509CertObject *X509CertHandle;
typedef struct X509ExtObject *X509ExtHandle;
typedef struct AsnObject *AsnObjectHandle;
typedef struct PKCS1RSAPublicKeyObject *PKCS1RSAPublicKeyHandle;
typedef struct PKCS1RSAPrivateKeyObject *PKCS1RSAPrivateKeyHandle;
typedef struct PKCS8PrivateKeyInfoObject *PKCS8PrivateKeyInfoHandle;

/* ------------------------------------------------------------------ */
/* Names                                                               */
/* ------------------------------------------------------------------ */

/* One AttributeTypeAndValue: type identifier first, then the DER (whole
 * TLV) of the value. */
typedef struct {
  AsnObjid type;
  const unsigned char *value;
  uint32_t valueLength;
} X509AVA;

/* Typed AVA kinds (X509NameObjectSgetAVA). */
enum {
  X509_AVA_COUNTRY = 1,        /* 2.5.4.6,  PrintableString */
  X509_AVA_ORGANIZATION = 2,   /* 2.5.4.10 */
  X509_AVA_ORG_UNIT = 3,       /* 2.5.4.11 */
  X509_AVA_COMMON_NAME = 4,    /* 2.5.4.3 */
  X509_AVA_LOCALITY = 5,       /* 2.5.4.7 */
  X509_AVA_STATE = 6,          /* 2.5.4.8 */
  X509_AVA_SERIAL_NUMBER = 7,  /* 2.5.4.5 */
  X509_AVA_SURNAME = 8,        /* 2.5.4.4 */
  X509_AVA_GIVEN_NAME = 9,     /* 2.5.4.42 */
  X509_AVA_INITIALS = 10,      /* 2.5.4.43 */
  X509_AVA_GENERATION = 11,    /* 2.5.4.44 */
  X509_AVA_STREET = 12,        /* 2.5.4.9 */
  X509_AVA_TITLE = 13,         /* 2.5.4.12 */
  X509_AVA_DN_QUALIFIER = 14   /* 2.5.4.46 */
};

/* Country value: PrintableString content. */
typedef struct {
  const unsigned char *data;
  uint32_t length;
} X509CountryValue;

/* Typed AVA: `country` is filled for kind 1, `directoryString` for the
 * others (kinds 7 and 14, PrintableString types, come as choice 2). */
typedef struct {
  int32_t kind;
  X509CountryValue country;
  DirectoryStringValue directoryString;
} X509TypedAVA;

ASN1X509_API int32_t X509NameObjectCreate(X509NameHandle *out, uint32_t *err);
/* The issuer and subject handles inside X509CertParam belong to their
 * certificate: destroying one of them fails with ASN1X509_ERR_STATE. */
ASN1X509_API int32_t X509NameObjectDestroy(X509NameHandle name, uint32_t *err);
/* Decode a Name (SEQUENCE OF RDN) from DER; replaces the content.  The
 * bytes are kept so that GetPduDER returns them unchanged.  An empty
 * SEQUENCE (zero RDNs) and empty RDN SETs are accepted. */
ASN1X509_API int32_t X509NameObjectSetPduBER(X509NameHandle name, const Pdu *pdu, uint32_t *err);
/* DER of the whole name; for a decoded name exactly the bytes given to
 * SetPduBER, for a built name the DER encoding.  Points into the object. */
ASN1X509_API int32_t X509NameObjectGetPduDER(X509NameHandle name, Pdu *out, uint32_t *err);
ASN1X509_API int32_t X509NameObjectCalRDN(X509NameHandle name, uint32_t *count, uint32_t *err);
ASN1X509_API int32_t X509NameObjectCalAVA(X509NameHandle name, uint32_t rdnIndex, uint32_t *count, uint32_t *err);
/* Copy of the AVA record; its pointers point into the object. */
ASN1X509_API int32_t X509NameObjectGetAVA(X509NameHandle name, uint32_t rdnIndex, uint32_t avaIndex,
                                          X509AVA *record, uint32_t *err);
/* Pointer to the AVA record held in the object. */
ASN1X509_API int32_t X509NameObjectGetAVAp(X509NameHandle name, uint32_t rdnIndex, uint32_t avaIndex,
                                           const X509AVA **record, uint32_t *err);
/* Typed view of one AVA; ASN1X509_ERR_UNSUPPORTED for a type without a
 * kind, ASN1X509_ERR_STRUCTURE for a value of the wrong ASN.1 type. */
ASN1X509_API int32_t X509NameObjectSgetAVA(X509NameHandle name, uint32_t rdnIndex, uint32_t avaIndex,
                                           X509TypedAVA *record, uint32_t *err);
/* Building: AVAs keep the order in which they are added, also inside a
 * multi-valued RDN (the encoding does not re-sort the SET OF). */
/* Append an empty RDN at the end. */
ASN1X509_API int32_t X509NameObjectAddRDN(X509NameHandle name, uint32_t *err);
/* Add one AVA to the last RDN (type and value copied; the value must be
 * one DER TLV).  Fails with ASN1X509_ERR_STATE when the name has no RDN. */
ASN1X509_API int32_t X509NameObjectSetAVA(X509NameHandle name, const X509AVA *record, uint32_t *err);
/* Append a new RDN holding this one AVA (copied). */
ASN1X509_API int32_t X509NameObjectAddRDNSetAVA(X509NameHandle name, const X509AVA *record, uint32_t *err);
/* Each setter appends a new RDN with one AVA of its type.  The country is
 * encoded as a PrintableString; the DirectoryString setters encode the
 * value with the choice given (1..5) around the content bytes given.
 * Values of any length are accepted. */
ASN1X509_API int32_t X509NameObjectSsetCountryName(X509NameHandle name, const X509CountryValue *value, uint32_t *err);
ASN1X509_API int32_t X509NameObjectSsetCommonName(X509NameHandle name, const DirectoryStringValue *value, uint32_t *err);
ASN1X509_API int32_t X509NameObjectSsetLocalityName(X509NameHandle name, const DirectoryStringValue *value, uint32_t *err);
ASN1X509_API int32_t X509NameObjectSsetOrgName(X509NameHandle name, const DirectoryStringValue *value, uint32_t *err);
ASN1X509_API int32_t X509NameObjectSsetOUName(X509NameHandle name, const DirectoryStringValue *value, uint32_t *err);
ASN1X509_API int32_t X509NameObjectSsetStateProvinceName(X509NameHandle name, const DirectoryStringValue *value, uint32_t *err);

/* ------------------------------------------------------------------ */
/* Certificates and extensions                                         */
/* ------------------------------------------------------------------ */

/* Serial number: serialForm 0 = integer form (serialValue holds it),
 * otherwise byte-string form (serialBytes/serialLength: the INTEGER's
 * content octets, big-endian two's complement, exactly as encoded).
 * This library always fills the byte-string form (serialForm 1). */
typedef struct {
  int32_t serialForm;
  int32_t serialValue;
  const unsigned char *serialBytes;
  uint32_t serialLength;
} X509Serial;

/* Time: kind 1 UTCTime, 2 GeneralizedTime; the characters as encoded
 * (not NUL-terminated). */
typedef struct {
  int32_t kind;
  const char *chars;
  uint32_t count;
} X509Time;

enum { X509_TIME_UTC = 1, X509_TIME_GENERALIZED = 2 };

/* Bit string: bytes and length in bits (unused trailing bits excluded). */
typedef struct {
  const unsigned char *bits;
  uint32_t bitLength;
} X509BitString;

/* Certificate parameters; every pointer and handle points into the
 * certificate object. */
typedef struct {
  int32_t version;              /* 0 v1, 1 v2, 2 v3 */
  int32_t reserved;
  X509Serial serial;
  AsnObjid signatureAlgorithm;  /* tbsCertificate.signature */
  Pdu signatureParameters;      /* DER of the parameters, empty if absent */
  X509NameHandle issuer;
  X509Time notBefore;
  X509Time notAfter;
  X509NameHandle subject;
  AsnObjid publicKeyAlgorithm;
  Pdu publicKeyParameters;      /* DER of the parameters, empty if absent */
  X509BitString subjectPublicKey;
  X509BitString issuerUniqueId; /* empty if absent */
  X509BitString subjectUniqueId;
  X509ExtHandle extensions;     /* 0 when the certificate has none */
  uint32_t extensionCount;      /* number of extensions (0 when absent) */
  /* raw bytes, exactly as encoded in the certificate */
  Pdu tbsCertificateDer;
  Pdu issuerDer;
  Pdu subjectDer;
  Pdu subjectPublicKeyInfoDer;
} X509CertParam;

/* One extension; `value` is the content of extnValue (the DER of the
 * extension's own value). */
typedef struct {
  AsnObjid extnId;
  int32_t critical;
  Pdu value;
} X509Extension;

typedef struct {
  int32_t cAPresent;       /* 1 when the cA field is encoded (DER: only when TRUE) */
  int32_t cA;              /* 1 TRUE, 0 FALSE/absent */
  int32_t pathLenPresent;
  int32_t pathLen;
} X509BasicConstraints;

ASN1X509_API int32_t X509CertObjectCreate(X509CertHandle *out, uint32_t *err);
ASN1X509_API int32_t X509CertObjectDestroy(X509CertHandle cert, uint32_t *err);
/* Decode a Certificate; the bytes are copied and kept. */
ASN1X509_API int32_t X509CertObjectSetPduBER(X509CertHandle cert, const Pdu *pdu, uint32_t *err);
/* The whole certificate, exactly the bytes given to SetPduBER. */
ASN1X509_API int32_t X509CertObjectGetPduDER(X509CertHandle cert, Pdu *out, uint32_t *err);
ASN1X509_API int32_t X509CertObjectGetParamUCert(X509CertHandle cert, X509CertParam *record, uint32_t *err);

/* ASN1X509_ERR_EXT_NOT_FOUND when the set has no such extension. */
ASN1X509_API int32_t X509ExtObjectGetExtByObjid(X509ExtHandle extensions, const AsnObjid *id,
                                                X509Extension *record, uint32_t *err);
/* ASN1X509_ERR_NO_BASIC_CONSTRAINTS (0x0146F204) when absent. */
ASN1X509_API int32_t X509ExtObjectSgetBasicConstraints(X509ExtHandle extensions, X509BasicConstraints *record,
                                                       uint32_t *err);

ASN1X509_API extern const AsnObjid X509Objid_AuthorityKeyId;  /* 2.5.29.35 */
ASN1X509_API extern const AsnObjid X509Objid_SubjectKeyId;    /* 2.5.29.14 */
ASN1X509_API extern const AsnObjid X509Objid_BasicConstraints;/* 2.5.29.19 */

/* ------------------------------------------------------------------ */
/* Generic ASN.1 values                                                */
/* ------------------------------------------------------------------ */

/* Type description: a primitive universal type, or a CHOICE of
 * primitive alternatives.  Alternatives are numbered from 1 in order and
 * addressed by their `name` as a path ("utf8String" or "/utf8String");
 * "/" is the root. */
typedef struct AsnTypeDesc {
  int32_t kind;                           /* ASN_TYPE_PRIMITIVE or ASN_TYPE_CHOICE */
  uint32_t tag;                           /* universal tag number (primitive) */
  const char *name;                       /* path name of an alternative */
  const struct AsnTypeDesc *alternatives; /* CHOICE only */
  uint32_t alternativeCount;
} AsnTypeDesc;

enum { ASN_TYPE_PRIMITIVE = 1, ASN_TYPE_CHOICE = 2 };

ASN1X509_API int32_t AsnObjectCreate(AsnObjectHandle *out, uint32_t *err);
ASN1X509_API int32_t AsnObjectDestroy(AsnObjectHandle obj, uint32_t *err);
/* Open DER bytes under a type description.  The object keeps a reference
 * to the caller's bytes (no copy) until AsnClose; AsnCalAddressOfValFld
 * answers addresses inside them.  The type description is referenced too
 * (it is normally a static table) and must stay valid until AsnClose.
 * Opened bytes not yet decoded are decoded by the first query. */
ASN1X509_API int32_t AsnOpenFromMem(AsnObjectHandle obj, const AsnTypeDesc *type, const Pdu *pdu, uint32_t *err);
/* Open an empty value to be built with AsnSetOctDER. */
ASN1X509_API int32_t AsnOpenNew(AsnObjectHandle obj, const AsnTypeDesc *type, uint32_t *err);
ASN1X509_API int32_t AsnClose(AsnObjectHandle obj, uint32_t *err);
/* Decode the opened bytes at path (only "/" is meaningful): the whole
 * input must be exactly one DER value of the described type. */
ASN1X509_API int32_t AsnDecode(AsnObjectHandle obj, const char *path, uint32_t *err);
/* Choice number (1-based) of the CHOICE at path. */
ASN1X509_API int32_t AsnCalNumberOfChoice(AsnObjectHandle obj, const char *path, int32_t *choice, uint32_t *err);
/* Length of the content octets of the value at path (for a CHOICE root,
 * the selected alternative). */
ASN1X509_API int32_t AsnCalLengthOfValFld(AsnObjectHandle obj, const char *path, uint32_t *length, uint32_t *err);
/* Address and length of the content octets inside the opened bytes. */
ASN1X509_API int32_t AsnCalAddressOfValFld(AsnObjectHandle obj, const char *path, const unsigned char **address,
                                           uint32_t *length, uint32_t *err);
/* Copy the content octets at path into buffer (capacity bytes).  When
 * they do not fit: ASN1X509_ERR_BUFFER, and *length gets the size needed. */
ASN1X509_API int32_t AsnGetOctDER(AsnObjectHandle obj, const char *path, unsigned char *buffer, uint32_t capacity,
                                  uint32_t *length, uint32_t *err);
/* Set the content octets at path (copied); for a CHOICE this selects the
 * alternative.  No character-set check is made. */
ASN1X509_API int32_t AsnSetOctDER(AsnObjectHandle obj, const char *path, const unsigned char *bytes, uint32_t length,
                                  uint32_t *err);
/* Length of the DER encoding (tag, length, content) at path. */
ASN1X509_API int32_t AsnCalLengthOfEnc(AsnObjectHandle obj, const char *path, uint32_t *length, uint32_t *err);
/* Encode the value at path as DER into buffer. */
ASN1X509_API int32_t AsnEncodeToMemDER(AsnObjectHandle obj, const char *path, unsigned char *buffer,
                                       uint32_t capacity, uint32_t *written, uint32_t *err);
/* 0 when both identifiers have the same arcs, 1 otherwise (-1 with err
 * set for a null argument). */
ASN1X509_API int32_t AsnCompareObjid(const AsnObjid *a, const AsnObjid *b, uint32_t *err);

/* ------------------------------------------------------------------ */
/* RSA keys                                                            */
/* ------------------------------------------------------------------ */

/* Integers are unsigned big-endian magnitudes: the DER content with
 * leading zero bytes removed (at least one byte).  They point into the
 * key object, which wipes its memory when destroyed or reloaded. */
typedef struct {
  Pdu modulus;
  Pdu publicExponent;
} PKCS1RSAPublicKeyParam;

typedef struct {
  int32_t version;
  Pdu modulus;
  Pdu publicExponent;
  Pdu privateExponent;
  Pdu prime1;
  Pdu prime2;
  Pdu exponent1;
  Pdu exponent2;
  Pdu coefficient;
} PKCS1RSAPrivateKeyParam;

ASN1X509_API int32_t PKCS1RSAPublicKeyObjectCreate(PKCS1RSAPublicKeyHandle *out, uint32_t *err);
ASN1X509_API int32_t PKCS1RSAPublicKeyObjectDestroy(PKCS1RSAPublicKeyHandle key, uint32_t *err);
/* DER RSAPublicKey (SEQUENCE { modulus, publicExponent }). */
ASN1X509_API int32_t PKCS1RSAPublicKeyObjectSetPduBER(PKCS1RSAPublicKeyHandle key, const Pdu *pdu, uint32_t *err);
ASN1X509_API int32_t PKCS1RSAPublicKeyObjectGetParam(PKCS1RSAPublicKeyHandle key, PKCS1RSAPublicKeyParam *record,
                                                     uint32_t *err);

ASN1X509_API int32_t PKCS1RSAPrivateKeyObjectCreate(PKCS1RSAPrivateKeyHandle *out, uint32_t *err);
ASN1X509_API int32_t PKCS1RSAPrivateKeyObjectDestroy(PKCS1RSAPrivateKeyHandle key, uint32_t *err);
/* DER RSAPrivateKey (two-prime, version 0). */
ASN1X509_API int32_t PKCS1RSAPrivateKeyObjectSetPduBER(PKCS1RSAPrivateKeyHandle key, const Pdu *pdu, uint32_t *err);
ASN1X509_API int32_t PKCS1RSAPrivateKeyObjectGetParam(PKCS1RSAPrivateKeyHandle key, PKCS1RSAPrivateKeyParam *record,
                                                      uint32_t *err);

ASN1X509_API int32_t PKCS8PrivateKeyInfoObjectCreate(PKCS8PrivateKeyInfoHandle *out, uint32_t *err);
ASN1X509_API int32_t PKCS8PrivateKeyInfoObjectDestroy(PKCS8PrivateKeyInfoHandle info, uint32_t *err);
/* DER PrivateKeyInfo; the bytes are copied (and wiped on release). */
ASN1X509_API int32_t PKCS8PrivateKeyInfoObjectSetPduBER(PKCS8PrivateKeyInfoHandle info, const Pdu *pdu, uint32_t *err);
/* Load the RSA private key of the PrivateKeyInfo (algorithm rsaEncryption)
 * into the PKCS#1 object *key, which the caller created. */
ASN1X509_API int32_t PKCS8PrivateKeyInfoObjectGetParamRSAKey(PKCS8PrivateKeyInfoHandle info,
                                                             PKCS1RSAPrivateKeyHandle *key, uint32_t *err);

#ifdef __cplusplus
}
#endif

#endif /* ASN1X509_ASN1X509_H_ */
