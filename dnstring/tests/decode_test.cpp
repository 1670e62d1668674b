// PARVOX_dirstrtostring, PARVOX_DirectStringDecode and
// PARVOX_EmailAddrDecode: choice routing by mode, cursor movement, exact
// sizes and rejected input.  DER values come from OpenSSL.
#include <gtest/gtest.h>
#include <openssl/asn1.h>

#include "support.h"

namespace parvox_test {
namespace {

// DER of a string of the given V_ASN1_* type, encoded by OpenSSL.
Bytes der(int type, const Bytes &content) {
  ASN1_STRING *s = ASN1_STRING_type_new(type);
  ASN1_STRING_set(s, content.data(), static_cast<int>(content.size()));
  ASN1_TYPE *t = ASN1_TYPE_new();
  ASN1_TYPE_set(t, type, s);
  unsigned char *out = nullptr;
  int len = i2d_ASN1_TYPE(t, &out);
  Bytes result(out, out + len);
  OPENSSL_free(out);
  ASN1_TYPE_free(t);
  return result;
}

struct DecodeCase {
  const char *what;
  Bytes der;
  int32_t mode;
  Bytes expected;
};

class Decoders : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string loc = utf8Locale();
    if (loc.empty()) TESTTOKEN_LOCALE_MISSING("a UTF-8 locale");
    env_ = std::make_unique<LocaleEnv>(loc.c_str());
  }
  std::unique_ptr<LocaleEnv> env_;
};

TEST_F(Decoders, DirectoryStringTable) {
  const DecodeCase cases[] = {
      {"bmpString A,B escaped", der(V_ASN1_BMPSTRING, ucs2({'A', ',', 'B'})), 2, bytes("A\\,B")},
      {"bmpString mode 1 plain", der(V_ASN1_BMPSTRING, ucs2({'A', ',', 0x3042})), 1, bytes("A,\xE3\x81\x82")},
      {"bmpString mode 0 local", der(V_ASN1_BMPSTRING, ucs2({0x65E5})), 0, bytes("\xE6\x97\xA5")},
      {"bmpString mode 8 escaped like 2", der(V_ASN1_BMPSTRING, ucs2({'#', 'x'})), 8, bytes("\\#x")},
      {"universalString mode 1", der(V_ASN1_UNIVERSALSTRING, ucs4({0x1F600})), 1, {0xF0, 0x9F, 0x98, 0x80}},
      {"universalString mode 2", der(V_ASN1_UNIVERSALSTRING, ucs4({'a', '+'})), 2, bytes("a\\+")},
      {"utf8String space x space", der(V_ASN1_UTF8STRING, bytes(" x ")), 2, bytes("\\ x\\ ")},
      {"utf8String #1", der(V_ASN1_UTF8STRING, bytes("#1")), 2, bytes("\\#1")},
      {"utf8String single space", der(V_ASN1_UTF8STRING, bytes(" ")), 2, bytes("\\ ")},
      {"utf8String mode 1 copied", der(V_ASN1_UTF8STRING, bytes("a,b")), 1, bytes("a,b")},
      {"utf8String mode 0 local", der(V_ASN1_UTF8STRING, bytes("\xE3\x81\x82")), 0, bytes("\xE3\x81\x82")},
      {"utf8String mode 8 escaped", der(V_ASN1_UTF8STRING, bytes("Doe, John")), 8, bytes("Doe\\, John")},
      {"printableString mode 0 as is", der(V_ASN1_PRINTABLESTRING, bytes("a, b")), 0, bytes("a, b")},
      {"printableString mode 1 as is", der(V_ASN1_PRINTABLESTRING, bytes("a, b")), 1, bytes("a, b")},
      {"printableString mode 2 escaped", der(V_ASN1_PRINTABLESTRING, bytes("a, b")), 2, bytes("a\\, b")},
      {"printableString mode 8 copied", der(V_ASN1_PRINTABLESTRING, bytes("a, b")), 8, bytes("a, b")},
      {"teletexString bytes as is", der(V_ASN1_T61STRING, {0xE9, 'x'}), 1, {0xE9, 'x'}},
      {"empty utf8String", der(V_ASN1_UTF8STRING, {}), 2, {}},
  };
  for (const DecodeCase &c : cases) {
    Call r = decode(PARVOX_DirectStringDecode, c.der, c.mode);
    ASSERT_EQ(r.status, 0) << c.what << " " << hexCode(r.err);
    EXPECT_EQ(r.out, c.expected) << c.what;
    if (c.mode != 0) {
      EXPECT_EQ(r.size, static_cast<int32_t>(c.expected.size())) << c.what << ": exact size";
    } else {
      EXPECT_GE(r.size, static_cast<int32_t>(c.expected.size())) << c.what << ": upper bound";
    }
  }
}

TEST_F(Decoders, DirectoryStringRejected) {
  struct Reject {
    const char *why;
    Bytes der;
    uint32_t code;
  };
  const Reject rejects[] = {
      {"bmpString of odd length", {0x1E, 0x03, 0x00, 0x41, 0x00}, PARVOX_ERR_UCS2TOUTF8DN_LENGTH},
      {"universalString of 6 bytes", {0x1C, 0x06, 0, 0, 0, 0x41, 0, 0}, PARVOX_ERR_UCS4TOUTF8DN_LENGTH},
      {"empty bmpString", {0x1E, 0x00}, PARVOX_ERR_UCS2TOUTF8DN_LENGTH},
      {"universalString with the top bit set", der(V_ASN1_UNIVERSALSTRING, ucs4({0x80000000})),
       PARVOX_ERR_UCS4TOUTF8DN_RANGE},
  };
  for (const Reject &c : rejects) {
    Call r = decode(PARVOX_DirectStringDecode, c.der, 2);
    EXPECT_EQ(r.status, -1) << c.why;
    EXPECT_EQ(r.err, c.code) << c.why << " got " << hexCode(r.err);
  }
  // Not a DirectoryString at all: the object library's own code comes back.
  struct Rejectlike {
    const char *why;
    Bytes der;
  };
  const Rejectlike notDirectoryString[] = {
      {"IA5String is no DirectoryString alternative", der(V_ASN1_IA5STRING, bytes("x"))},
      {"INTEGER", {0x02, 0x01, 0x05}},
      {"length past the end", {0x0C, 0x05, 'a'}},
      {"trailing byte", {0x0C, 0x01, 'a', 0x00}},
      {"empty input", {}},
  };
  for (const Rejectlike &c : notDirectoryString) {
    Call r = decode(PARVOX_DirectStringDecode, c.der, 1);
    EXPECT_EQ(r.status, -1) << c.why;
    EXPECT_EQ(r.err >> 16, 0x0146u) << c.why << " got " << hexCode(r.err);
  }
}

TEST_F(Decoders, CursorAndRoomMoveTogether) {
  const Bytes a = der(V_ASN1_UTF8STRING, bytes("ab"));
  const Bytes b = der(V_ASN1_BMPSTRING, ucs2({',', 'c'}));
  Bytes buf(16, 0);
  unsigned char *cursor = buf.data();
  int32_t room = 16;
  uint32_t err = 0;
  const Pdu pa{a.data(), static_cast<uint32_t>(a.size())};
  const Pdu pb{b.data(), static_cast<uint32_t>(b.size())};
  ASSERT_EQ(PARVOX_DirectStringDecode(&pa, &cursor, &room, 2, &err), 0);
  ASSERT_EQ(PARVOX_DirectStringDecode(&pb, &cursor, &room, 2, &err), 0);
  EXPECT_EQ(text(Bytes(buf.data(), cursor)), "ab\\,c");
  EXPECT_EQ(room, 11);
}

TEST_F(Decoders, CutAtTheCapacity) {
  const Bytes d = der(V_ASN1_PRINTABLESTRING, bytes("abcdef"));
  const Pdu pdu{d.data(), static_cast<uint32_t>(d.size())};
  Bytes buf(8, 0xEE);
  unsigned char *cursor = buf.data();
  int32_t room = 4;
  uint32_t err = 0;
  ASSERT_EQ(PARVOX_DirectStringDecode(&pdu, &cursor, &room, 1, &err), 0) << "running out of room is no error";
  EXPECT_EQ(room, 0);
  EXPECT_EQ(cursor - buf.data(), 4);
  EXPECT_EQ(buf[4], 0xEE);
}

TEST_F(Decoders, SizeQueryOfBmpStringInMode1IsExact) {
  const Bytes d = der(V_ASN1_BMPSTRING, ucs2({'a', 0xE9, 0x3042}));
  Call r = decode(PARVOX_DirectStringDecode, d, 1);
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.size, 6);
  EXPECT_EQ(r.out.size(), 6u);
}

TEST_F(Decoders, EmailAddress) {
  const DecodeCase cases[] = {
      {"mode 0 copied", der(V_ASN1_IA5STRING, bytes("taro@example.jp")), 0, bytes("taro@example.jp")},
      {"mode 1 copied", der(V_ASN1_IA5STRING, bytes("a+b@x")), 1, bytes("a+b@x")},
      {"mode 2 escaped", der(V_ASN1_IA5STRING, bytes("a+b@x")), 2, bytes("a\\+b@x")},
      {"mode 8 copied", der(V_ASN1_IA5STRING, bytes("a+b@x")), 8, bytes("a+b@x")},
  };
  for (const DecodeCase &c : cases) {
    Call r = decode(PARVOX_EmailAddrDecode, c.der, c.mode);
    ASSERT_EQ(r.status, 0) << c.what << " " << hexCode(r.err);
    EXPECT_EQ(r.out, c.expected) << c.what;
    EXPECT_EQ(r.size, static_cast<int32_t>(c.expected.size())) << c.what;
  }
  Call bad = decode(PARVOX_EmailAddrDecode, der(V_ASN1_UTF8STRING, bytes("a@b")), 1);
  EXPECT_EQ(bad.status, -1) << "a UTF8String is no IA5String";
  EXPECT_EQ(bad.err >> 16, 0x0146u) << hexCode(bad.err);
}

TEST_F(Decoders, TypedRecordRouting) {
  struct RecordCase {
    const char *what;
    int32_t choice;
    Bytes content;
    int32_t mode;
    Bytes expected;
  };
  const RecordCase cases[] = {
      {"bmp A,B mode 2", DIRSTR_BMP, ucs2({'A', ',', 'B'}), 2, bytes("A\\,B")},
      {"universal mode 1", DIRSTR_UNIVERSAL, ucs4({'x'}), 1, bytes("x")},
      {"utf8 mode 2", DIRSTR_UTF8, bytes(";"), 2, bytes("\\;")},
      {"teletex mode 2 escaped", DIRSTR_TELETEX, bytes("<a>"), 2, bytes("\\<a\\>")},
      {"ia5 (choice 6) copied", DIRSTR_IA5, bytes("a,b"), 1, bytes("a,b")},
      {"unknown choice 9 copied", 9, bytes("q"), 0, bytes("q")},
  };
  for (const RecordCase &c : cases) {
    const DirectoryStringValue v{c.choice, c.content.data(), static_cast<uint32_t>(c.content.size())};
    int32_t size = 0;
    uint32_t err = 0;
    ASSERT_EQ(PARVOX_dirstrtostring(&v, nullptr, &size, c.mode, &err), 0) << c.what;
    Bytes buf(static_cast<size_t>(size) + 1, 0);
    unsigned char *cursor = buf.data();
    int32_t room = size;
    ASSERT_EQ(PARVOX_dirstrtostring(&v, &cursor, &room, c.mode, &err), 0) << c.what;
    EXPECT_EQ(Bytes(buf.data(), cursor), c.expected) << c.what;
  }
  const Bytes a = ucs2({'a'});
  const DirectoryStringValue odd{DIRSTR_BMP, a.data(), 1};
  int32_t size = 0;
  uint32_t err = 0;
  EXPECT_EQ(PARVOX_dirstrtostring(&odd, nullptr, &size, 0, &err), -1);
  EXPECT_EQ(err, PARVOX_ERR_UCS2TOMBS_LENGTH);
  EXPECT_EQ(PARVOX_dirstrtostring(nullptr, nullptr, &size, 0, &err), -1);
  EXPECT_EQ(err, PARVOX_ERR_ARGUMENT);
}

}  // namespace
}  // namespace parvox_test
