// Decoding speed of names and certificates, beside OpenSSL's d2i of the
// same bytes as the yardstick.
#include <benchmark/benchmark.h>

#include "asn1x509/asn1x509.h"
#include "openssl_helper.h"

namespace asn1x509::testing {
namespace {

Bytes TypicalName() {
  auto text = [](const char *s) { return Bytes(s, s + std::char_traits<char>::length(s)); };
  return NameDer(MakeName({{"C", V_ASN1_PRINTABLESTRING, text("JP")},
                           {"ST", V_ASN1_UTF8STRING, text("Tokyo")},
                           {"O", V_ASN1_UTF8STRING, text("Example Corporation")},
                           {"OU", V_ASN1_UTF8STRING, text("Engineering")},
                           {"OU", V_ASN1_UTF8STRING, text("Tokens"), true},
                           {"CN", V_ASN1_UTF8STRING, text("Taro Yamada")}})
                     .get());
}

Bytes TypicalCert() {
  CertRecipe recipe;
  recipe.subject = {{"C", V_ASN1_PRINTABLESTRING, {'J', 'P'}}, {"O", V_ASN1_UTF8STRING, {'O', 'r', 'g'}},
                  {"CN", V_ASN1_UTF8STRING, {'T', 'a', 'r', 'o'}}};
  recipe.basicConstraints = "CA:FALSE";
  recipe.subjectKeyId = true;
  recipe.authorityKeyId = true;
  recipe.keyUsage = "critical,digitalSignature";
  return CertDer(MakeCert(recipe).get());
}

void BM_NameDecodeAndWalk(benchmark::State &state) {
  const Bytes der = TypicalName();
  X509NameHandle name = nullptr;
  uint32_t err = 0;
  if (X509NameObjectCreate(&name, &err) != 0) {
    state.SkipWithError("create");
    return;
  }
  Pdu pdu{der.data(), static_cast<uint32_t>(der.size())};
  for (auto _ : state) {
    if (X509NameObjectSetPduBER(name, &pdu, &err) != 0) {
      state.SkipWithError("decode");
      break;
    }
    uint32_t rdns = 0;
    benchmark::DoNotOptimize(X509NameObjectCalRDN(name, &rdns, &err));
    benchmark::DoNotOptimize(rdns);
  }
  X509NameObjectDestroy(name, &err);
}
BENCHMARK(BM_NameDecodeAndWalk);

void BM_OpenSslD2iName(benchmark::State &state) {
  const Bytes der = TypicalName();
  for (auto _ : state) {
    const unsigned char *p = der.data();
    X509_NAME *name = d2i_X509_NAME(nullptr, &p, static_cast<long>(der.size()));
    benchmark::DoNotOptimize(name);
    X509_NAME_free(name);
  }
}
BENCHMARK(BM_OpenSslD2iName);

void BM_CertDecode(benchmark::State &state) {
  const Bytes der = TypicalCert();
  X509CertHandle cert = nullptr;
  uint32_t err = 0;
  if (X509CertObjectCreate(&cert, &err) != 0) {
    state.SkipWithError("create");
    return;
  }
  Pdu pdu{der.data(), static_cast<uint32_t>(der.size())};
  for (auto _ : state) {
    if (X509CertObjectSetPduBER(cert, &pdu, &err) != 0) {
      state.SkipWithError("decode");
      break;
    }
  }
  X509CertObjectDestroy(cert, &err);
}
BENCHMARK(BM_CertDecode);

void BM_OpenSslD2iCert(benchmark::State &state) {
  const Bytes der = TypicalCert();
  for (auto _ : state) {
    const unsigned char *p = der.data();
    X509 *cert = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
    benchmark::DoNotOptimize(cert);
    X509_free(cert);
  }
}
BENCHMARK(BM_OpenSslD2iCert);

}  // namespace
}  // namespace asn1x509::testing

BENCHMARK_MAIN();
