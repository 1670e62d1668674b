// Decoding two subject names and comparing them: ours (the object
// library's X509NameObjectSetPduBER + CompareDN) against OpenSSL's
// d2i_X509_NAME + X509_NAME_cmp, on the same DER.  The pairs are the same
// subject written twice with different string types, case and spacing,
// as a renewed certificate may carry it.
#include <asn1x509/asn1x509.h>
#include <benchmark/benchmark.h>
#include <openssl/x509.h>

#include <string>
#include <vector>

#include "mirrel/mirrel.h"

namespace {

using Bytes = std::vector<unsigned char>;

struct Entry {
  int nid;
  int type;
  std::string content;  // content bytes in that type
  bool joinPrevious = false;
};

std::string bmp(const std::string &ascii) {
  std::string out;
  for (char c : ascii) {
    out += '\0';
    out += c;
  }
  return out;
}

Bytes der(const std::vector<Entry> &entries) {
  X509_NAME *name = X509_NAME_new();
  for (const Entry &e : entries) {
    X509_NAME_add_entry_by_NID(name, e.nid, e.type, reinterpret_cast<const unsigned char *>(e.content.data()),
                               static_cast<int>(e.content.size()), -1, e.joinPrevious ? -1 : 0);
  }
  unsigned char *out = nullptr;
  const int n = i2d_X509_NAME(name, &out);
  Bytes bytes(out, out + n);
  OPENSSL_free(out);
  X509_NAME_free(name);
  return bytes;
}

struct Pair {
  Bytes a;
  Bytes b;
};

// 0: 6 RDNs, Latin; 1: 5 RDNs, Japanese; 2: 8 RDNs with a multi-valued one.
Pair pairOf(int which) {
  const int P = V_ASN1_PRINTABLESTRING, U = V_ASN1_UTF8STRING, B = V_ASN1_BMPSTRING, I = V_ASN1_IA5STRING;
  switch (which) {
    case 0:
      return {der({{NID_countryName, P, "US"}, {NID_stateOrProvinceName, P, "California"},
                   {NID_localityName, P, "San Francisco"}, {NID_organizationName, P, "Acme Widgets Inc"},
                   {NID_organizationalUnitName, P, "Engineering"}, {NID_commonName, P, "Alice Q Jones"}}),
              der({{NID_countryName, P, "US"}, {NID_stateOrProvinceName, U, "CALIFORNIA"},
                   {NID_localityName, U, "San  Francisco"}, {NID_organizationName, B, bmp("Acme Widgets Inc")},
                   {NID_organizationalUnitName, U, "engineering"}, {NID_commonName, U, "Alice Q Jones "}})};
    case 1:
      return {der({{NID_countryName, P, "JP"}, {NID_stateOrProvinceName, U, "\xE6\x9D\xB1\xE4\xBA\xAC\xE9\x83\xBD"},
                   {NID_organizationName, U, "\xE5\xB1\xB1\xE7\x94\xB0\xE5\x95\x86\xE4\xBA\x8B"},
                   {NID_organizationalUnitName, P, "Sales"},
                   {NID_commonName, U, "\xE5\xB1\xB1\xE7\x94\xB0 \xE5\xA4\xAA\xE9\x83\x8E"}}),
              der({{NID_countryName, P, "JP"}, {NID_stateOrProvinceName, B, "\x67\x71\x4E\xAC\x90\xFD"},
                   {NID_organizationName, B, "\x5C\x71\x75\x30\x55\x46\x4E\x8B"},
                   {NID_organizationalUnitName, U, "SALES"},
                   {NID_commonName, U, "\xE5\xB1\xB1\xE7\x94\xB0  \xE5\xA4\xAA\xE9\x83\x8E"}})};
    default:
      return {der({{NID_domainComponent, I, "com"}, {NID_domainComponent, I, "example"},
                   {NID_countryName, P, "DE"}, {NID_localityName, U, "Berlin"},
                   {NID_organizationName, U, "Example GmbH"}, {NID_organizationalUnitName, U, "IT"},
                   {NID_organizationalUnitName, U, "Operations"}, {NID_commonName, U, "Max Mustermann"},
                   {NID_userId, U, "mmustermann", true}}),
              der({{NID_domainComponent, I, "COM"}, {NID_domainComponent, I, "Example"},
                   {NID_countryName, P, "DE"}, {NID_localityName, P, "BERLIN"},
                   {NID_organizationName, P, "Example  GmbH"}, {NID_organizationalUnitName, P, "it"},
                   {NID_organizationalUnitName, B, bmp("Operations")}, {NID_userId, P, "MMUSTERMANN"},
                   {NID_commonName, P, "max mustermann", true}})};
  }
}

void BM_Ours(benchmark::State &state) {
  const Pair pair = pairOf(static_cast<int>(state.range(0)));
  uint32_t err = 0;
  for (auto _ : state) {
    X509NameHandle a = nullptr;
    X509NameHandle b = nullptr;
    X509NameObjectCreate(&a, &err);
    X509NameObjectCreate(&b, &err);
    const Pdu pa{pair.a.data(), static_cast<uint32_t>(pair.a.size())};
    const Pdu pb{pair.b.data(), static_cast<uint32_t>(pair.b.size())};
    int32_t result = 1;
    if (X509NameObjectSetPduBER(a, &pa, &err) != 0 || X509NameObjectSetPduBER(b, &pb, &err) != 0 ||
        CompareDN(a, b, &result, &err) != 0 || result != 0) {
      state.SkipWithError("not equal");
    }
    X509NameObjectDestroy(a, &err);
    X509NameObjectDestroy(b, &err);
  }
}

void BM_OpenSsl(benchmark::State &state) {
  const Pair pair = pairOf(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    const unsigned char *pa = pair.a.data();
    const unsigned char *pb = pair.b.data();
    X509_NAME *a = d2i_X509_NAME(nullptr, &pa, static_cast<long>(pair.a.size()));
    X509_NAME *b = d2i_X509_NAME(nullptr, &pb, static_cast<long>(pair.b.size()));
    if (a == nullptr || b == nullptr || X509_NAME_cmp(a, b) != 0) state.SkipWithError("not equal");
    X509_NAME_free(a);
    X509_NAME_free(b);
  }
}

}  // namespace

BENCHMARK(BM_Ours)->DenseRange(0, 2);
BENCHMARK(BM_OpenSsl)->DenseRange(0, 2);

BENCHMARK_MAIN();
