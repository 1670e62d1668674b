// PKCS#12 files as our users get them: made here by the producers' own
// tools (OpenSSL, GnuTLS, NSS, Python cryptography, Java's keytool) and by
// the harness's writer, each renewed end to end on the test token, the new
// key then signing there; and hostile files, refused before the work they
// ask for, with the token untouched.
#include <openssl/bio.h>
#include <openssl/pem.h>
#include <unistd.h>

#include <functional>
#include <ostream>
#include <string_view>

#include "velkor_fixture.h"

extern char **environ;

namespace velkor_test {
namespace {

namespace fs = std::filesystem;
using testtoken::RunResult;

constexpr char kPfxImportHead[] = "error:PKCS#12のインポートに失敗しました。\ncode=0x";
// The codes Velkor shows for a refused file.
constexpr char kTooManyIterations[] = "7F120001";
constexpr char kTooManyBags[] = "7F120002";
constexpr char kLegacyProviderMissing[] = "7F120003";
constexpr long kHostileIterations = 2147483647;  // 2^31 - 1
constexpr int kMaxNesting = 8;                   // safe contents in safe contents

// The renewal's key and certificates as files, the password, and a folder
// for whatever a recipe needs.
struct Inputs {
  const Pki *pki = nullptr;
  fs::path dir, key, cert, ca;
  std::string password;
};

using Recipe = std::function<Bytes(const Inputs &)>;

struct Row {
  Row(std::string rowName, Recipe recipe) : name(std::move(rowName)), make(std::move(recipe)) {}
  Row &Password(std::string p) {
    password = std::move(p);
    return *this;
  }
  Row &Env(const std::string &key, std::string value) {
    env[key] = std::move(value);
    return *this;
  }
  Row &Unset(std::string key) {
    unset.push_back(std::move(key));
    return *this;
  }
  // The password as Velkor is given it, when the locale's bytes differ from
  // the UTF-8 text the producer was given.
  Row &TypedAs(std::string bytes) {
    typed = std::move(bytes);
    return *this;
  }
  Row &Refused(std::string code) {
    refusedCode = std::move(code);
    return *this;
  }

  std::string name;
  Recipe make;
  std::string password;            // empty: the PKI's
  std::optional<std::string> typed;  // none: the password as it is
  testtoken::EnvMap env;           // for Velkor, beside the token's
  std::vector<std::string> unset;  // variables Velkor must not see
  std::string refusedCode;         // empty: the renewal succeeds
};

void PrintTo(const Row &row, std::ostream *out) { *out << row.name; }

// A program from the system's folders first (the distribution's python3,
// not one of a user's own), then from PATH.
std::string Program(const std::string &name) {
  std::vector<fs::path> dirs = {"/usr/bin", "/bin", "/usr/sbin"};
  if (const char *path = std::getenv("PATH")) {
    std::string_view rest(path);
    while (!rest.empty()) {
      size_t colon = rest.find(':');
      dirs.emplace_back(std::string(rest.substr(0, colon)));
      rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
    }
  }
  for (const fs::path &d : dirs) {
    if (!d.empty() && ::access((d / name).c_str(), X_OK) == 0) return (d / name).string();
  }
  throw testtoken::Error(name + " is not installed (scripts/install-deps installs it)");
}

void Run(const std::string &tool, const std::vector<std::string> &args, const testtoken::EnvMap &env = {},
         const std::string &stdinData = {}) {
  testtoken::RunOptions options;
  options.env = env;
  options.stdinData = stdinData;
  RunResult r = testtoken::runProcess(Program(tool), args, options);
  if (!r.exited || r.exitCode != 0) {
    std::string line = tool;
    for (const std::string &a : args) line += " " + a;
    throw testtoken::Error(line + " failed (" + std::to_string(r.exitCode) + "): " + r.out + r.err);
  }
}

void WritePem(const fs::path &path, const std::function<int(BIO *)> &write) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_file(path.c_str(), "w"), BIO_free);
  if (!bio || write(bio.get()) != 1) throw testtoken::Error("cannot write " + path.string());
}

// ---- Recipes ------------------------------------------------------------------------------

// openssl pkcs12 -export with the given options.
Recipe OpenSsl(std::vector<std::string> options) {
  return [options](const Inputs &in) {
    fs::path out = in.dir / "openssl.p12";
    std::vector<std::string> args = {"pkcs12", "-export", "-inkey", in.key, "-in", in.cert, "-certfile", in.ca,
                                     "-name", "velkor", "-passout", "env:VELKOR_P12_PASS", "-out", out};
    args.insert(args.end(), options.begin(), options.end());
    Run("openssl", args, {{"VELKOR_P12_PASS", in.password}});
    return testtoken::readFile(out);
  };
}

// certtool --to-p12, DER, with the given options.
Recipe CertTool(std::vector<std::string> options) {
  return [options](const Inputs &in) {
    fs::path out = in.dir / "certtool.p12";
    std::vector<std::string> args = {"--to-p12", "--load-privkey", in.key, "--load-certificate", in.cert,
                                     "--load-ca-certificate", in.ca, "--password", in.password, "--p12-name",
                                     "velkor", "--outder", "--outfile", out};
    args.insert(args.end(), options.begin(), options.end());
    Run("certtool", args);
    return testtoken::readFile(out);
  };
}

// pk12util -o from a temporary NSS database holding the CA (trusted) and
// the key with its certificate.
Recipe Pk12Util(std::vector<std::string> options) {
  return [options](const Inputs &in) {
    std::string db = "sql:" + (in.dir / "nssdb").string();
    fs::create_directory(in.dir / "nssdb");
    Run("certutil", {"-N", "-d", db, "--empty-password"});
    Run("certutil", {"-A", "-d", db, "-n", "ca", "-t", "CT,,", "-i", in.ca});
    fs::path keyOnly = in.dir / "key-and-cert.p12";
    Run("openssl", {"pkcs12", "-export", "-inkey", in.key, "-in", in.cert, "-name", "velkor", "-passout",
                    "env:VELKOR_P12_PASS", "-out", keyOnly},
        {{"VELKOR_P12_PASS", in.password}});
    Run("pk12util", {"-i", keyOnly, "-d", db, "-W", in.password, "-K", ""});
    fs::path out = in.dir / "pk12util.p12";
    std::vector<std::string> args = {"-o", out, "-n", "velkor", "-d", db, "-W", in.password, "-K", ""};
    args.insert(args.end(), options.begin(), options.end());
    Run("pk12util", args);
    return testtoken::readFile(out);
  };
}

// Python cryptography's serialize_key_and_certificates with the encryption
// the given Python expression makes (Debian 12 ships version 38, which
// offers BestAvailableEncryption and the builder with 3DES or AES, no RC2).
Recipe PythonCryptography(std::string encryption) {
  return [encryption](const Inputs &in) {
    fs::path out = in.dir / "python.p12";
    const std::string script =
        "import sys\n"
        "from cryptography import x509\n"
        "from cryptography.hazmat.primitives import hashes, serialization\n"
        "from cryptography.hazmat.primitives.serialization import pkcs12, BestAvailableEncryption, PrivateFormat\n"
        "key_path, cert_path, ca_path, out_path, password = sys.argv[1:6]\n"
        "password = password.encode()\n"
        "key = serialization.load_pem_private_key(open(key_path, 'rb').read(), None)\n"
        "cert = x509.load_pem_x509_certificate(open(cert_path, 'rb').read())\n"
        "ca = x509.load_pem_x509_certificate(open(ca_path, 'rb').read())\n"
        "encryption = " + encryption + "\n"
        "open(out_path, 'wb').write(pkcs12.serialize_key_and_certificates(b'velkor', key, cert, [ca], encryption))\n";
    Run("python3", {"-c", script, in.key, in.cert, in.ca, out, in.password});
    return testtoken::readFile(out);
  };
}

// keytool: the key entry imported from an OpenSSL file (its chain holds the
// CA), then the CA again as a trusted entry, the way a Java keystore is
// usually kept: the CA's certificate is in the file twice.
Recipe KeyTool(std::vector<std::string> options) {
  return [options](const Inputs &in) {
    fs::path source = in.dir / "source.p12";
    fs::path out = in.dir / "keytool.p12";
    Run("openssl", {"pkcs12", "-export", "-inkey", in.key, "-in", in.cert, "-certfile", in.ca, "-name", "velkor",
                    "-passout", "env:VELKOR_P12_PASS", "-out", source},
        {{"VELKOR_P12_PASS", in.password}});
    std::vector<std::string> import = options;
    import.insert(import.end(), {"-importkeystore", "-noprompt", "-srcstoretype", "PKCS12", "-deststoretype",
                                 "PKCS12", "-srckeystore", source.string(), "-srcstorepass", in.password,
                                 "-destkeystore", out.string(), "-deststorepass", in.password});
    Run("keytool", import);
    std::vector<std::string> trust = options;
    trust.insert(trust.end(), {"-importcert", "-noprompt", "-alias", "ca", "-file", in.ca.string(), "-keystore",
                               out.string(), "-storepass", in.password});
    Run("keytool", trust);
    return testtoken::readFile(out);
  };
}

// The harness's own writer.
Recipe Writer(std::function<void(const Pki &, testtoken::Pkcs12Params *)> shape) {
  return [shape](const Inputs &in) {
    testtoken::Pkcs12Params params;
    params.password = in.password;
    params.key = &in.pki->newKey;
    params.certs = {&in.pki->newCert, &in.pki->ca.cert};
    shape(*in.pki, &params);
    return testtoken::makePkcs12(params);
  };
}

Recipe WithTrailingNewline(Recipe recipe) {
  return [recipe](const Inputs &in) {
    Bytes p12 = recipe(in);
    p12.push_back('\n');
    return p12;
  };
}

const char kPbes1TripleDes[] =
    "PrivateFormat.PKCS12.encryption_builder().kdf_rounds(50000)"
    ".key_cert_algorithm(pkcs12.PBES.PBESv1SHA1And3KeyTripleDESCBC).hmac_hash(hashes.SHA1()).build(password)";
const char kPbes2Aes[] =
    "PrivateFormat.PKCS12.encryption_builder().kdf_rounds(50000)"
    ".key_cert_algorithm(pkcs12.PBES.PBESv2SHA256AndAES256CBC).hmac_hash(hashes.SHA256()).build(password)";

std::vector<Row> Rows() {
  auto hostile = [](testtoken::Pkcs12Spot spot, testtoken::Pkcs12Encryption encryption) {
    return Writer([spot, encryption](const Pki &, testtoken::Pkcs12Params *p) {
      p->encryption = encryption;
      p->declaredIterationsAt = spot;
      p->declaredIterations = kHostileIterations;
    });
  };
  std::vector<Row> rows = {
      Row("OpenSslDefaults", OpenSsl({})),
      Row("OpenSslLegacy", OpenSsl({"-legacy"})),
      Row("OpenSslRc240CertificatesTripleDesKey",
          OpenSsl({"-certpbe", "PBE-SHA1-RC2-40", "-keypbe", "PBE-SHA1-3DES", "-provider", "legacy", "-provider",
                   "default"})),
      Row("OpenSslNoMac", OpenSsl({"-nomac"})),
      Row("OpenSslMacSha512", OpenSsl({"-macalg", "sha512"})),
      Row("OpenSslMillionIterations", OpenSsl({"-iter", "1000000"})),
      Row("OpenSslTrailingNewline", WithTrailingNewline(OpenSsl({}))),
      Row("OpenSslNonAsciiPassword", OpenSsl({})).Password("パスワード\xF0\x9F\x94\x91").Env("LC_ALL", "ja_JP.UTF-8"),
      // Backslash and tilde typed in Shift_JIS are cp932's, beside a
      // character whose second byte is 0x5C; in UTF-8 they are themselves.
      Row("OpenSslShiftJisBackslashTilde", OpenSsl({}))
          .Password("表\\ソ~")
          .TypedAs("\x95\x5C\x5C\x83\x5C\x7E")
          .Env("LC_ALL", "ja_JP.SJIS"),
      // So under every Shift-JIS codeset that reads them as yen and overline.
      Row("OpenSslShiftJisX0213BackslashTilde", OpenSsl({}))
          .Password("表\\ソ~")
          .TypedAs("\x95\x5C\x5C\x83\x5C\x7E")
          .Env("LC_ALL", "ja_JP.SHIFT_JISX0213"),
      Row("OpenSslUtf8BackslashTilde", OpenSsl({})).Password("p\\w~d").Env("LC_ALL", "ja_JP.UTF-8"),
      Row("CertToolDefaults", CertTool({})),
      Row("CertTool3DesPkcs12", CertTool({"--pkcs-cipher", "3des-pkcs12"})),
      Row("CertToolRc240", CertTool({"--pkcs-cipher", "rc2-40"})),
      Row("CertToolArcfour", CertTool({"--pkcs-cipher", "arcfour"})),
      Row("Pk12UtilDefaults", Pk12Util({})),
      Row("Pk12UtilRc240Certificates", Pk12Util({"-C", "PKCS #12 V2 PBE With SHA-1 And 40 Bit RC2 CBC"})),
      Row("PythonBestAvailable", PythonCryptography("BestAvailableEncryption(password)")),
      Row("PythonLegacyTripleDes", PythonCryptography(kPbes1TripleDes)),
      Row("PythonBuilderAes", PythonCryptography(kPbes2Aes)),
      Row("KeyToolDefaults", KeyTool({})),
      Row("KeyToolLegacy", KeyTool({"-J-Dkeystore.pkcs12.legacy"})),
      Row("WriterCaBagTwice", Writer([](const Pki &pki, testtoken::Pkcs12Params *p) {
            p->certs = {&pki.newCert, &pki.ca.cert, &pki.ca.cert};
          })),
      Row("WriterCaBagFirst", Writer([](const Pki &pki, testtoken::Pkcs12Params *p) {
            p->certs = {&pki.ca.cert, &pki.newCert};
          })),
      Row("WriterNestedSafeContents",
          Writer([](const Pki &, testtoken::Pkcs12Params *p) { p->nestingDepth = kMaxNesting; })),
      // RC2 without any help from the machine's OpenSSL configuration.
      Row("OpenSslLegacyWithoutOpenSslConf", OpenSsl({"-legacy"})).Unset("OPENSSL_CONF"),
      Row("OpenSslLegacyWithConfWithoutLegacy", OpenSsl({"-legacy"})).Env("OPENSSL_CONF", "@default-only.cnf"),
      // Refused before the work they ask for.
      Row("LegacyProviderMissing", OpenSsl({"-legacy"}))
          .Env("OPENSSL_MODULES", "@empty")
          .Refused(kLegacyProviderMissing),
      Row("HostileMacIterations", hostile(testtoken::Pkcs12Spot::Mac, testtoken::Pkcs12Encryption::Aes256))
          .Refused(kTooManyIterations),
      Row("HostileKeyBagPbkdf2Iterations",
          hostile(testtoken::Pkcs12Spot::KeyBag, testtoken::Pkcs12Encryption::Aes256))
          .Refused(kTooManyIterations),
      Row("HostileEncryptedSafeIterations",
          hostile(testtoken::Pkcs12Spot::CertSafe, testtoken::Pkcs12Encryption::Legacy3Des))
          .Refused(kTooManyIterations),
      Row("HostileHundredThousandBags",
          Writer([](const Pki &, testtoken::Pkcs12Params *p) { p->fillerBags = 100000; }))
          .Refused(kTooManyBags),
      Row("HostileHundredThousandSafes",
          Writer([](const Pki &, testtoken::Pkcs12Params *p) { p->fillerSafes = 100000; }))
          .Refused(kTooManyBags),
      // The work of the key derivations counts, not their iteration count:
      // two million iterations of an expensive digest, and a file whose
      // derivations are each within bounds but too much together (a real
      // million-iteration MAC, then seven million declared for the
      // certificate safe).
      Row("HostileKeyBagSha512_224",
          Writer([](const Pki &, testtoken::Pkcs12Params *p) {
            p->declaredIterationsAt = testtoken::Pkcs12Spot::KeyBag;
            p->declaredIterations = 2000000;
            p->declaredPrf = NID_hmacWithSHA512_224;
          }))
          .Refused(kTooManyIterations),
      // A PKCS#12 PBE derives its key and its IV, each over all its
      // iterations: openssl's legacy file at three million iterations asks
      // for more than all the work allowed (its two PBEs twice, and the MAC).
      Row("HostileOpenSslLegacyThreeMillionIterations", OpenSsl({"-legacy", "-iter", "3000000"}))
          .Refused(kTooManyIterations),
      // A MAC made without any password, tried with the empty password and
      // then with none: both computations count.
      Row("HostileMacWithoutPasswordFourMillionIterations",
          Writer([](const Pki &, testtoken::Pkcs12Params *p) {
            p->absentPassword = true;
            p->macIterations = 4000000;
          }))
          .TypedAs("")
          .Refused(kTooManyIterations),
      // scrypt costs N·r·p blocks: 16384·8·40 is more than all the work
      // allowed (N·p alone would not be).
      Row("HostileScryptKeyBag",
          Writer([](const Pki &, testtoken::Pkcs12Params *p) { p->keyScrypt = {16384, 8, 40}; }))
          .Refused(kTooManyIterations),
      Row("HostileWorkOverTheWholeFile",
          Writer([](const Pki &, testtoken::Pkcs12Params *p) {
            p->iterations = 1000000;
            p->declaredIterationsAt = testtoken::Pkcs12Spot::CertSafe;
            p->declaredIterations = 7000000;
          }))
          .Refused(kTooManyIterations),
      // Nesting deeper than the count follows hides what comes after it.
      Row("HostileNestedBagBeforeTooManyBags",
          Writer([](const Pki &, testtoken::Pkcs12Params *p) {
            p->indefiniteNestingInBag = 70;
            p->fillerBags = 104;
          }))
          .Refused(kTooManyBags),
      Row("HostileNestedFirstSafeBeforeTooManySafes",
          Writer([](const Pki &, testtoken::Pkcs12Params *p) {
            p->indefiniteNestingInFirstSafe = 70;
            p->fillerSafes = 100002;
          }))
          .Refused(kTooManyBags),
      Row("HostileNestingTooDeep",
          Writer([](const Pki &, testtoken::Pkcs12Params *p) { p->nestingDepth = kMaxNesting + 1; }))
          .Refused(kTooManyBags),
  };
  return rows;
}

class VelkorProducers : public ::testing::TestWithParam<Row> {
 protected:
  const Pki &pki_ = SharedPki();
  testtoken::SoftHsmToken token_;
  VelkorApp app_;
  testtoken::TempDir work_{"producer"};

  Inputs MakeInputs(const std::string &password) const {
    Inputs in;
    in.pki = &pki_;
    in.dir = work_.path();
    in.password = password;
    in.key = work_ / "key.pem";
    in.cert = work_ / "cert.pem";
    in.ca = work_ / "ca.pem";
    WritePem(in.key, [&](BIO *b) {
      return PEM_write_bio_PrivateKey(b, pki_.newKey.get(), nullptr, nullptr, 0, nullptr, nullptr);
    });
    WritePem(in.cert, [&](BIO *b) { return PEM_write_bio_X509(b, pki_.newCert.get()); });
    WritePem(in.ca, [&](BIO *b) { return PEM_write_bio_X509(b, pki_.ca.cert.get()); });
    return in;
  }

  // Velkor's environment: this process's, less `unset`, with the token's
  // and the row's variables; "@name" values name files made here.
  testtoken::RunOptions VelkorOptions(const Row &row) {
    testtoken::RunOptions options;
    options.inheritEnv = false;
    for (char **e = environ; *e != nullptr; ++e) {
      std::string entry(*e);
      size_t eq = entry.find('=');
      if (eq == std::string::npos) continue;
      options.env[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    for (const auto &[k, v] : token_.environment()) options.env[k] = v;
    for (const auto &[k, v] : row.env) {
      std::string value = v;
      if (v == "@empty") {
        fs::create_directory(work_ / "empty");
        value = (work_ / "empty").string();
      } else if (v == "@default-only.cnf") {
        // A configuration that activates the default provider only.
        value = (work_ / "default-only.cnf").string();
        testtoken::writeFile(value, testtoken::toBytes("openssl_conf = openssl_init\n"
                                                       "[openssl_init]\nproviders = provider_sect\n"
                                                       "[provider_sect]\ndefault = default_sect\n"
                                                       "[default_sect]\nactivate = 1\n"));
      }
      options.env[k] = value;
    }
    for (const std::string &k : row.unset) options.env.erase(k);
    return options;
  }
};

TEST_P(VelkorProducers, RenewsOnTheTokenOrRefusesBeforeTouchingIt) {
  const Row &row = GetParam();
  const std::string password = row.password.empty() ? pki_.password : row.password;
  Bytes p12 = row.make(MakeInputs(password));
  std::vector<std::vector<Bytes>> before;
  {
    TokenView view(token_);
    SeedOldSet(view.session, pki_);
    before = Snapshot(view.session);
  }
  testtoken::writeFile(app_.p12Path(), p12);
  RunResult r = testtoken::runProcess(
      (app_.binFolder() / "Velkor").string(),
      {app_.p12Path().string(), token_.token().userPin, row.typed.value_or(password), token_.modulePath(),
       "SUBDN", "ISCHKOFF", "ADDOFF"},
      VelkorOptions(row));
  EXPECT_FALSE(fs::exists(app_.p12Path()));
  TokenView view(token_);
  if (!row.refusedCode.empty()) {
    EXPECT_EQ(r.signedExitCode(), -1);
    EXPECT_EQ(app_.Log(), Cp932(LogText(kPfxImportHead + row.refusedCode, -1)));
    EXPECT_EQ(Snapshot(view.session), before);
    return;
  }
  ASSERT_EQ(r.signedExitCode(), 0) << app_.Log().value_or("");
  EXPECT_FALSE(app_.Log().has_value());
  SetCheck sets = CheckSets(view.session, pki_);
  EXPECT_EQ(sets.completeSets, 1);
  EXPECT_FALSE(sets.oldCertPresent);
  EXPECT_FALSE(sets.anyIncompleteNewObject);
  EXPECT_TRUE(sets.caPresent);
  EXPECT_EQ(view.session.findAll().size(), 4u);  // one CA certificate, however often the file holds it
  ASSERT_EQ(sets.completeIds.size(), 1u);
  Bytes data = testtoken::toBytes("the renewed key signs this");
  EXPECT_TRUE(signatureVerifies(pki_.newCert, data, view.session.sign(sets.completeIds[0], data)));
}

INSTANTIATE_TEST_SUITE_P(Pkcs12, VelkorProducers, ::testing::ValuesIn(Rows()),
                         [](const ::testing::TestParamInfo<Row> &row) { return row.param.name; });

}  // namespace
}  // namespace velkor_test
