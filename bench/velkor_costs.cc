// velkor_costs <result.json> [--runs N] [--trace-before FILE] [--trace-after FILE]
//
// What parts of a renewal cost, measured in live runs of Velkor:
//  - on the emulated IsoApplet card behind OpenSC and pcscd, in both card
//    personalities (files with access rules and without):
//      * a renewal: wall time and APDUs of the whole run, and of the check
//        that the new private key works on the card (C_SignInit, C_Sign,
//        C_DecryptInit, C_Decrypt: from the end of the last C_CreateObject
//        to the end of the last call before the first C_DestroyObject),
//        split into signing and decrypting;
//      * a refused write: the card has room for the keys, not for the
//        certificate; wall time and APDUs of the whole run and of the
//        rollback (from the refused C_CreateObject to the run's end);
//  - on SoftHSM2 (behind p11-kit's server): the PKCS#11 calls of one
//    renewal with a renewed CA, and the lines of the given call traces.
// Every run goes through libfaultp11.so without rules, which logs each call
// with the time and the card's APDU counter when it returned
// (FAULTP11_LOG_STAMP); its own cost is an open, read and append per call,
// well below a millisecond per run.
// Renewals follow each other on one card: each renews the set the previous
// one wrote (two keys taken in turn, a new certificate each time), so every
// run starts from one certificate with its key pair plus the CA
// certificate. Results as JSON (runs, not medians; bench/table.py takes the
// medians); a line per run on standard output.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "testtoken/testtoken.h"

using namespace testtoken;
namespace fs = std::filesystem;

namespace {

const std::string kPassword = "bench-pw";

struct Pki {
  CertAuthority ca = CertAuthority::create(
      simpleName({{"C", "JP", StringType::Printable}, {"O", "Bench Corp"}, {"CN", "Bench CA"}}));
  Key keys[2] = {Key::pooledRsa(0), Key::pooledRsa(1)};

  Certificate userCert(const Key &key, std::uint64_t serial, const CertAuthority &issuer) const {
    CertParams p;
    p.subject = simpleName({{"C", "JP", StringType::Printable}, {"O", "Bench Corp"}, {"CN", "Taro Yamada"}});
    p.serial = serialFromNumber(serial);
    p.basicConstraints = BasicConstraints::CaFalse;
    return issuer.issue(p, key);
  }
  Bytes pkcs12(const Key &key, const Certificate &cert, const Certificate &caCert) const {
    Pkcs12Params q;
    q.password = kPassword;
    q.key = &key;
    q.certs = {&cert, &caCert};
    return makePkcs12(q);
  }
};

// The set a renewal finds: a certificate and its key pair under 01, the CA
// certificate under 02.
void SeedOld(P11Session &s, const Pki &pki) {
  Certificate old = pki.userCert(pki.keys[0], 2000, pki.ca);
  s.createCertificate(old.der(), {0x01}, "old certificate");
  s.createPrivateKey(pki.keys[0].get(), {0x01}, "old key", old.subjectDer());
  s.createPublicKey(pki.keys[0].get(), {0x01}, "old key", old.subjectDer());
  s.createCertificate(pki.ca.cert.der(), {0x02}, "ca");
}

template <typename F>
void WithSession(const ServedToken &token, F f) {
  ScopedEnv env(token.environment());
  P11Client client(token.modulePath());
  P11Session s = client.openSession(client.onlySlot());
  s.login(token.token().userPin);
  f(s);
}

// Velkor copied into a private folder (its files are written beside it).
class VelkorCopy {
 public:
  VelkorCopy() : dir_("velkor-costs") {
    fs::create_directory(dir_.path() / "bin");
    fs::copy_file(VELKOR_PATH, program());
    fs::create_directory_symlink(VELKOR_LIBDIR, dir_.path() / "lib");
  }
  fs::path program() const { return dir_.path() / "bin" / "Velkor"; }
  fs::path p12() const { return dir_.path() / "renewal.p12"; }
  std::string log() const {
    std::ifstream in(dir_.path() / "bin" / "Tamrin.txt", std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  struct Run {
    RunResult result;
    double ms = 0;
    std::vector<FaultCall> calls;
  };
  Run run(const ServedToken &token, const Bytes &contents, const std::optional<fs::path> &stamp) const {
    writeFile(p12(), contents);
    fs::remove(dir_.path() / "bin" / "Tamrin.txt");
    FaultSetup fault("", token.modulePath(), token.environment());
    if (stamp) fault.setStampFile(*stamp);
    RunOptions o;
    o.env = fault.environment();
    o.env["LC_ALL"] = "C.UTF-8";
    Run r;
    auto start = std::chrono::steady_clock::now();
    r.result = runProcess(program().string(),
                          {p12().string(), token.token().userPin, kPassword, fault.modulePath(), "SUBDN",
                           "ISCHKOFF", "ADDOFF"},
                          o);
    r.ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    r.calls = fault.calls();
    return r;
  }

 private:
  TempDir dir_;
};

long long StampOf(const FaultCall &c) { return c.stamp.empty() || c.stamp == "-" ? -1 : std::stoll(c.stamp); }

// APDUs and milliseconds between the ends of calls a and b of the log.
std::string Span(const std::vector<FaultCall> &calls, std::size_t a, std::size_t b) {
  char text[96];
  std::snprintf(text, sizeof text, "{\"apdus\": %lld, \"ms\": %.3f}", StampOf(calls[b]) - StampOf(calls[a]),
                static_cast<double>(calls[b].ns - calls[a].ns) / 1e6);
  return text;
}

std::optional<std::size_t> Last(const std::vector<FaultCall> &calls, const std::string &function,
                                std::size_t end) {
  for (std::size_t i = std::min(end, calls.size()); i-- > 0;)
    if (calls[i].function == function) return i;
  return std::nullopt;
}
std::optional<std::size_t> First(const std::vector<FaultCall> &calls, const std::string &function,
                                 std::size_t from = 0) {
  for (std::size_t i = from; i < calls.size(); ++i)
    if (calls[i].function == function) return i;
  return std::nullopt;
}

std::string Fixed(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", v);
  return text;
}

// One card personality: refused writes first (the card stays as it was),
// then renewals one after the other.
std::string CardRuns(CardPersonality personality, const Pki &pki, int runs) {
  const std::string name = personality == CardPersonality::AccessRules ? "AccessRules" : "NoAccessRules";
  OpenScCardToken card(personality);
  WithSession(card, [&](P11Session &s) { SeedOld(s, pki); });
  VelkorCopy velkor;
  std::string json = "{\"refused\": [";

  const Certificate refusedCert = pki.userCert(pki.keys[1], 2999, pki.ca);
  const Bytes refusedP12 = pki.pkcs12(pki.keys[1], refusedCert, pki.ca.cert);
  for (int i = 0; i < runs; ++i) {
    // Room for the run's keys, not for its certificate. The applet never
    // frees a key slot: from the second run on the run's private key goes
    // into the slot the first one left, and takes no new memory.
    CardMemory m = card.memory();
    bool spareSlot = m.keySlots > 1;
    card.setFreeMemory((spareSlot ? 0 : kCardKeySlotBytes) + refusedCert.der().size() - 1);
    std::size_t before = card.apdus();
    VelkorCopy::Run r = velkor.run(card, refusedP12, card.apduCounterPath());
    std::size_t apdus = card.apdus() - before;
    card.setCapacity(std::nullopt);
    if (r.result.signedExitCode() != -12)
      throw Error(name + ": the refused write ended with " + std::to_string(r.result.signedExitCode()) +
                  ", not -12: " + velkor.log());
    std::optional<std::size_t> refused;
    for (std::size_t k = 0; k < r.calls.size(); ++k)
      if (r.calls[k].function == "C_CreateObject" && r.calls[k].rv != CKR_OK) refused = k;
    if (!refused) throw Error(name + ": no refused C_CreateObject in the log");
    std::string rollback = Span(r.calls, *refused, r.calls.size() - 1);
    json += std::string(i ? ", " : "") + "{\"ms\": " + Fixed(r.ms) + ", \"apdus\": " + std::to_string(apdus) +
            ", \"calls\": " + std::to_string(r.calls.size()) + ", \"rollback\": " + rollback + "}";
    std::cout << "card " << name << " refused write " << i + 1 << ": " << Fixed(r.ms) << " ms, " << apdus
              << " APDUs, " << r.calls.size() << " calls; rollback " << rollback << std::endl;
  }

  json += "], \"renewal\": [";
  for (int i = 0; i < runs; ++i) {
    const Key &key = pki.keys[(i + 1) % 2];
    Certificate cert = pki.userCert(key, 3000 + static_cast<std::uint64_t>(i), pki.ca);
    std::size_t before = card.apdus();
    VelkorCopy::Run r = velkor.run(card, pki.pkcs12(key, cert, pki.ca.cert), card.apduCounterPath());
    std::size_t apdus = card.apdus() - before;
    if (r.result.signedExitCode() != 0)
      throw Error(name + ": renewal " + std::to_string(i + 1) + " ended with " +
                  std::to_string(r.result.signedExitCode()) + ": " + velkor.log());
    std::optional<std::size_t> destroy = First(r.calls, "C_DestroyObject");
    std::optional<std::size_t> create = destroy ? Last(r.calls, "C_CreateObject", *destroy) : std::nullopt;
    std::optional<std::size_t> sign = create ? First(r.calls, "C_Sign", *create) : std::nullopt;
    std::optional<std::size_t> decrypt = create ? First(r.calls, "C_Decrypt", *create) : std::nullopt;
    if (!destroy || !create || !sign || !decrypt || *sign > *destroy || *decrypt > *destroy)
      throw Error(name + ": no C_Sign and C_Decrypt between the last write and the first deletion");
    std::string proof = Span(r.calls, *create, *destroy - 1);
    std::string signing = Span(r.calls, *create, *sign);
    std::string decrypting = Span(r.calls, *sign, *decrypt);
    json += std::string(i ? ", " : "") + "{\"ms\": " + Fixed(r.ms) + ", \"apdus\": " + std::to_string(apdus) +
            ", \"calls\": " + std::to_string(r.calls.size()) + ", \"proof\": " + proof + ", \"sign\": " + signing +
            ", \"decrypt\": " + decrypting + "}";
    std::cout << "card " << name << " renewal " << i + 1 << ": " << Fixed(r.ms) << " ms, " << apdus << " APDUs, "
              << r.calls.size() << " calls; key check " << proof << " (sign " << signing << ", decrypt "
              << decrypting << ")" << std::endl;
  }
  return json + "]}";
}

// PKCS#11 calls of one renewal with a renewed CA (same name, new key) on
// SoftHSM2.
std::size_t SoftHsmCalls(const Pki &pki) {
  SoftHsmToken token;
  class Served : public ServedToken {
   public:
    explicit Served(const SoftHsmToken &t) : t_(t) {}
    std::string modulePath() const override { return t_.modulePath(); }
    EnvMap environment() const override { return t_.environment(); }
    const TokenConfig &token() const override { return t_.token(); }

   private:
    const SoftHsmToken &t_;
  } served(token);
  WithSession(served, [&](P11Session &s) { SeedOld(s, pki); });
  CertParams p;
  p.subject = simpleName({{"C", "JP", StringType::Printable}, {"O", "Bench Corp"}, {"CN", "Bench CA"}});
  p.serial = serialFromNumber(2);
  p.basicConstraints = BasicConstraints::CaTrue;
  p.keyUsage = "critical,keyCertSign,cRLSign";
  Key caKey = Key::pooledRsa(2);
  Certificate caCert = issueCertificate(p, caKey, caKey, nullptr);
  CertAuthority renewedCa{std::move(caKey), std::move(caCert)};
  Certificate user = pki.userCert(pki.keys[1], 2004, renewedCa);
  VelkorCopy velkor;
  VelkorCopy::Run r = velkor.run(served, pki.pkcs12(pki.keys[1], user, renewedCa.cert), std::nullopt);
  if (r.result.signedExitCode() != 0)
    throw Error("SoftHSM renewal ended with " + std::to_string(r.result.signedExitCode()) + ": " + velkor.log());
  std::cout << "SoftHSM renewal with a renewed CA: " << r.calls.size() << " PKCS#11 calls" << std::endl;
  return r.calls.size();
}

std::string LineCount(const std::string &path) {
  std::ifstream in(path);
  if (!in) return "null";
  std::size_t n = 0;
  std::string line;
  while (std::getline(in, line)) ++n;
  return std::to_string(n);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    std::cerr << "usage: velkor_costs <result.json> [--runs N] [--trace-before FILE] [--trace-after FILE]\n";
    return 2;
  }
  std::string out = argv[1], before, after;
  int runs = 5;
  for (int i = 2; i + 1 < argc; i += 2) {
    std::string a = argv[i];
    if (a == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));
    else if (a == "--trace-before") before = argv[i + 1];
    else if (a == "--trace-after") after = argv[i + 1];
    else {
      std::cerr << "velkor_costs: unknown option " << a << "\n";
      return 2;
    }
  }
  try {
    Pki pki;
    std::string json = "{\"runs\": " + std::to_string(runs) + ", \"softhsm\": {\"live\": " +
                       std::to_string(SoftHsmCalls(pki)) + ", \"trace_before\": " +
                       (before.empty() ? "null" : LineCount(before)) +
                       ", \"trace_after\": " + (after.empty() ? "null" : LineCount(after)) + "}, \"card\": {";
    json += "\"AccessRules\": " + CardRuns(CardPersonality::AccessRules, pki, runs);
    json += ", \"NoAccessRules\": " + CardRuns(CardPersonality::NoAccessRules, pki, runs) + "}}\n";
    std::ofstream(out) << json;
  } catch (const std::exception &e) {
    std::cerr << "velkor_costs: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
