// Tesk against OpenSSL's i2d_ASN1_INTEGER on the same serial numbers: a
// small integer-form value, a typical 16-byte and a 20-byte serial (the
// largest RFC 5280 allows), and a 64-byte one that needs a large block.
// Both sides allocate the result and release it again.
#include <benchmark/benchmark.h>
#include <openssl/asn1.h>
#include <openssl/bn.h>

#include <cstdint>
#include <vector>

#include "tesk/tesk.h"

namespace {

std::vector<unsigned char> serialOf(std::size_t length) {
  std::vector<unsigned char> serial(length);
  uint32_t x = 0x12345678u;
  for (auto &b : serial) {
    x = x * 214013u + 2531011u;
    b = static_cast<unsigned char>(x >> 16);
  }
  serial[0] = 0x5C;  // positive, no padding needed
  return serial;
}

void BM_TeskBytes(benchmark::State &state) {
  const auto serial = serialOf(static_cast<std::size_t>(state.range(0)));
  X509CertParam record{};
  record.serial.serialForm = 1;
  record.serial.serialBytes = serial.data();
  record.serial.serialLength = static_cast<uint32_t>(serial.size());
  EncodeErrorInfo info{};
  for (auto _ : state) {
    uint32_t length = 0;
    unsigned char *der = nullptr;
    if (Tesk(&record, &length, &der, &info) != 0) state.SkipWithError("Tesk failed");
    benchmark::DoNotOptimize(der);
    FreeASN1Memory(der);
  }
}

void BM_OpenSslBytes(benchmark::State &state) {
  const auto serial = serialOf(static_cast<std::size_t>(state.range(0)));
  BIGNUM *bn = BN_bin2bn(serial.data(), static_cast<int>(serial.size()), nullptr);
  ASN1_INTEGER *integer = BN_to_ASN1_INTEGER(bn, nullptr);
  for (auto _ : state) {
    unsigned char *der = nullptr;
    if (i2d_ASN1_INTEGER(integer, &der) <= 0) state.SkipWithError("i2d failed");
    benchmark::DoNotOptimize(der);
    OPENSSL_free(der);
  }
  ASN1_INTEGER_free(integer);
  BN_free(bn);
}

void BM_TeskInteger(benchmark::State &state) {
  X509CertParam record{};
  record.serial.serialValue = 0x01A2B3C4;
  EncodeErrorInfo info{};
  for (auto _ : state) {
    uint32_t length = 0;
    unsigned char *der = nullptr;
    if (Tesk(&record, &length, &der, &info) != 0) state.SkipWithError("Tesk failed");
    benchmark::DoNotOptimize(der);
    FreeASN1Memory(der);
  }
}

void BM_OpenSslInteger(benchmark::State &state) {
  ASN1_INTEGER *integer = ASN1_INTEGER_new();
  ASN1_INTEGER_set_int64(integer, 0x01A2B3C4);
  for (auto _ : state) {
    unsigned char *der = nullptr;
    if (i2d_ASN1_INTEGER(integer, &der) <= 0) state.SkipWithError("i2d failed");
    benchmark::DoNotOptimize(der);
    OPENSSL_free(der);
  }
  ASN1_INTEGER_free(integer);
}

}  // namespace

BENCHMARK(BM_TeskBytes)->Arg(16)->Arg(20)->Arg(64);
BENCHMARK(BM_OpenSslBytes)->Arg(16)->Arg(20)->Arg(64);
BENCHMARK(BM_TeskInteger);
BENCHMARK(BM_OpenSslInteger);

BENCHMARK_MAIN();
