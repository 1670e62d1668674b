/* A program outside the project that uses the installed libraries through
 * pkg-config: builds two names from DER, compares them (libMirrel), prints
 * one in LDAP form (libParvox) and encodes a serial number (libTesk).
 * Exit status 0 when every answer is the expected one. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <asn1x509/asn1x509.h>
#include <mirrel/mirrel.h>
#include <parvox/parvox.h>
#include <tesk/tesk.h>

static const unsigned char kAbc[] = {/* CN=abc, printableString */
                                     0x30, 0x0E, 0x31, 0x0C, 0x30, 0x0A, 0x06, 0x03, 0x55, 0x04,
                                     0x03, 0x13, 0x03, 'a',  'b',  'c'};
static const unsigned char kAbcUtf8[] = {/* CN="ABC ", utf8String */
                                         0x30, 0x0F, 0x31, 0x0D, 0x30, 0x0B, 0x06, 0x03, 0x55, 0x04,
                                         0x03, 0x0C, 0x04, 'A',  'B',  'C',  ' '};
static const unsigned char kAbd[] = {/* CN=abd, printableString */
                                     0x30, 0x0E, 0x31, 0x0C, 0x30, 0x0A, 0x06, 0x03, 0x55, 0x04,
                                     0x03, 0x13, 0x03, 'a',  'b',  'd'};

static X509NameHandle load(const unsigned char *der, uint32_t length) {
  X509NameHandle name = 0;
  uint32_t err = 0;
  Pdu pdu = {der, length};
  if (X509NameObjectCreate(&name, &err) != 0) return 0;
  if (X509NameObjectSetPduBER(name, &pdu, &err) != 0) {
    X509NameObjectDestroy(name, &err);
    return 0;
  }
  return name;
}

int main(void) {
  int failures = 0;
  uint32_t err = 0;
  X509NameHandle abc = load(kAbc, sizeof kAbc);
  X509NameHandle abcUtf8 = load(kAbcUtf8, sizeof kAbcUtf8);
  X509NameHandle abd = load(kAbd, sizeof kAbd);
  if (abc == 0 || abcUtf8 == 0 || abd == 0) {
    fprintf(stderr, "names could not be loaded\n");
    return 2;
  }

  int32_t result = 5;
  if (CompareDN(abc, abcUtf8, &result, &err) != 0 || result != 0) {
    fprintf(stderr, "CompareDN(abc, \"ABC \"): expected a match, got %d (0x%08X)\n", (int)result,
            (unsigned)err);
    ++failures;
  }
  result = 5;
  if (CompareDN(abc, abd, &result, &err) != 0 || result != -1) {
    fprintf(stderr, "CompareDN(abc, abd): expected a difference, got %d (0x%08X)\n", (int)result,
            (unsigned)err);
    ++failures;
  }

  int32_t size = 0;
  if (PARVOX_NameObjToStringLDAP(abc, NULL, &size, &err) != 0 || size <= 0) {
    fprintf(stderr, "PARVOX_NameObjToStringLDAP size query failed (0x%08X)\n", (unsigned)err);
    ++failures;
  } else {
    char *text = calloc((size_t)size, 1);
    if (text == NULL || PARVOX_NameObjToStringLDAP(abc, text, &size, &err) != 0 ||
        strcmp(text, "CN=abc") != 0) {
      fprintf(stderr, "PARVOX_NameObjToStringLDAP: \"%s\"\n", text ? text : "(no memory)");
      ++failures;
    }
    free(text);
  }

  uint32_t length = 0;
  unsigned char *bytes = NULL;
  EncodeErrorInfo info;
  memset(&info, 0, sizeof info);
  if (Tesk(NULL, &length, &bytes, &info) == 0 || bytes != NULL) {
    fprintf(stderr, "Tesk accepted a missing record\n");
    ++failures;
  }
  FreeASN1Memory(bytes);
  FreeASN1Memory(NULL);

  X509NameObjectDestroy(abd, &err);
  X509NameObjectDestroy(abcUtf8, &err);
  X509NameObjectDestroy(abc, &err);
  if (failures == 0) puts("library user: all answers as expected");
  return failures == 0 ? 0 : 1;
}
