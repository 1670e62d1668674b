// PARVOX_NameObjToStringLDAP (size query, allocation, write: the read
// program's pattern) against OpenSSL's X509_NAME_print_ex with
// XN_FLAG_RFC2253 into a memory BIO, on the same names.
#include <benchmark/benchmark.h>
#include <openssl/bio.h>
#include <openssl/x509.h>
#include <parvox/parvox.h>

#include <clocale>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Entry {
  const char *type;
  int stringType;
  std::string value;
};

std::string ucs2(std::u16string_view s) {
  std::string out;
  for (char16_t c : s) {
    out.push_back(static_cast<char>(c >> 8));
    out.push_back(static_cast<char>(c & 0xFF));
  }
  return out;
}

// Typical subjects: 5 to 8 RDNs, printable, UTF-8, BMP and IA5 values, one
// Japanese common name.
std::vector<std::vector<Entry>> benchNames() {
  return {
      {{"C", V_ASN1_PRINTABLESTRING, "JP"},
       {"ST", V_ASN1_UTF8STRING, "Tokyo"},
       {"L", V_ASN1_UTF8STRING, "Chiyoda-ku"},
       {"O", V_ASN1_PRINTABLESTRING, "Example Corporation"},
       {"OU", V_ASN1_UTF8STRING, "Security Engineering"},
       {"CN", V_ASN1_BMPSTRING, ucs2(u"\u5C71\u7530 \u592A\u90CE")}},
      {{"C", V_ASN1_PRINTABLESTRING, "US"},
       {"O", V_ASN1_PRINTABLESTRING, "Example Inc"},
       {"OU", V_ASN1_PRINTABLESTRING, "Engineering"},
       {"OU", V_ASN1_UTF8STRING, "Platform Team"},
       {"CN", V_ASN1_UTF8STRING, "www.example.com"},
       {"emailAddress", V_ASN1_IA5STRING, "admin@example.com"},
       {"title", V_ASN1_PRINTABLESTRING, "Administrator"}},
      {{"C", V_ASN1_PRINTABLESTRING, "DE"},
       {"ST", V_ASN1_PRINTABLESTRING, "Bayern"},
       {"L", V_ASN1_UTF8STRING, "Muenchen"},
       {"street", V_ASN1_UTF8STRING, "Hauptstrasse 1"},
       {"O", V_ASN1_UTF8STRING, "Beispiel GmbH"},
       {"OU", V_ASN1_BMPSTRING, ucs2(u"IT-Abteilung")},
       {"CN", V_ASN1_PRINTABLESTRING, "Max Mustermann"},
       {"emailAddress", V_ASN1_IA5STRING, "max@example.de"}},
  };
}

struct Fixture {
  std::vector<X509_NAME *> openssl;
  std::vector<X509NameHandle> ours;
  Fixture() {
    setenv("LC_ALL", "C.UTF-8", 1);
    for (const auto &entries : benchNames()) {
      X509_NAME *n = X509_NAME_new();
      for (const Entry &e : entries) {
        X509_NAME_add_entry_by_txt(n, e.type, e.stringType, reinterpret_cast<const unsigned char *>(e.value.data()),
                                   static_cast<int>(e.value.size()), -1, 0);
      }
      unsigned char *der = nullptr;
      int len = i2d_X509_NAME(n, &der);
      X509NameHandle h = nullptr;
      uint32_t err = 0;
      if (len <= 0 || X509NameObjectCreate(&h, &err) != 0) std::abort();
      const Pdu pdu{der, static_cast<uint32_t>(len)};
      if (X509NameObjectSetPduBER(h, &pdu, &err) != 0) std::abort();
      OPENSSL_free(der);
      openssl.push_back(n);
      ours.push_back(h);
    }
  }
  ~Fixture() {
    uint32_t err = 0;
    for (X509_NAME *n : openssl) X509_NAME_free(n);
    for (X509NameHandle h : ours) (void)X509NameObjectDestroy(h, &err);
  }
};

Fixture &fixture() {
  static Fixture f;
  return f;
}

void BM_ParvoxLdap(benchmark::State &state) {
  Fixture &f = fixture();
  for (auto _ : state) {
    for (X509NameHandle name : f.ours) {
      int32_t size = 0;
      uint32_t err = 0;
      if (PARVOX_NameObjToStringLDAP(name, nullptr, &size, &err) != 0) std::abort();
      std::vector<char> text(static_cast<size_t>(size) + 1);
      if (PARVOX_NameObjToStringLDAP(name, text.data(), &size, &err) != 0) std::abort();
      benchmark::DoNotOptimize(text.data());
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(f.ours.size()));
}
BENCHMARK(BM_ParvoxLdap);

void BM_OpenSslPrintEx(benchmark::State &state) {
  Fixture &f = fixture();
  for (auto _ : state) {
    for (X509_NAME *name : f.openssl) {
      BIO *bio = BIO_new(BIO_s_mem());
      X509_NAME_print_ex(bio, name, 0, XN_FLAG_RFC2253);
      char *data = nullptr;
      long len = BIO_get_mem_data(bio, &data);
      benchmark::DoNotOptimize(data);
      benchmark::DoNotOptimize(len);
      BIO_free(bio);
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(f.openssl.size()));
}
BENCHMARK(BM_OpenSslPrintEx);

}  // namespace

BENCHMARK_MAIN();
