#include "name_builder.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace mirrel_test {
namespace {

// UTF-8 to code points (test texts are well-formed).
std::vector<uint32_t> codePoints(const std::string &utf8) {
  std::vector<uint32_t> out;
  for (std::size_t i = 0; i < utf8.size();) {
    const auto b = static_cast<unsigned char>(utf8[i]);
    int extra = b < 0x80 ? 0 : b < 0xE0 ? 1 : b < 0xF0 ? 2 : 3;
    uint32_t cp = extra == 0 ? b : extra == 1 ? (b & 0x1Fu) : extra == 2 ? (b & 0x0Fu) : (b & 0x07u);
    ++i;
    for (; extra > 0 && i < utf8.size(); --extra, ++i) {
      cp = cp << 6 | (static_cast<unsigned char>(utf8[i]) & 0x3Fu);
    }
    out.push_back(cp);
  }
  return out;
}

}  // namespace

const char *typeName(StringType type) {
  switch (type) {
    case StringType::printable: return "printable";
    case StringType::utf8: return "utf8";
    case StringType::bmp: return "bmp";
    case StringType::teletex: return "teletex";
    case StringType::universal: return "universal";
    case StringType::ia5: return "ia5";
    case StringType::numeric: return "numeric";
  }
  return "?";
}

Bytes contentOf(StringType type, const std::string &utf8) {
  Bytes out;
  if (type == StringType::bmp || type == StringType::universal) {
    for (uint32_t cp : codePoints(utf8)) {
      if (type == StringType::universal) {
        out.push_back(static_cast<unsigned char>(cp >> 24));
        out.push_back(static_cast<unsigned char>(cp >> 16));
      }
      out.push_back(static_cast<unsigned char>(cp >> 8));
      out.push_back(static_cast<unsigned char>(cp));
    }
    return out;
  }
  return Bytes(utf8.begin(), utf8.end());
}

OsslName opensslName(const NameSpec &spec) {
  OsslName name(X509_NAME_new());
  for (const Rdn &rdn : spec) {
    bool first = true;
    for (const Ava &ava : rdn) {
      const Bytes content = ava.raw ? Bytes(ava.text.begin(), ava.text.end()) : contentOf(ava.type, ava.text);
      // set 0 starts a new RDN at the end, -1 joins the previous one.
      const int rc = X509_NAME_add_entry_by_NID(name.get(), ava.nid, static_cast<int>(ava.type),
                                                content.data(), static_cast<int>(content.size()), -1,
                                                first ? 0 : -1);
      EXPECT_EQ(rc, 1) << "OpenSSL could not add " << ava.text;
      first = false;
    }
  }
  return name;
}

Bytes derOf(const X509_NAME *name) {
  unsigned char *der = nullptr;
  const int n = i2d_X509_NAME(name, &der);
  EXPECT_GT(n, 0);
  Bytes out(der, der + (n > 0 ? n : 0));
  OPENSSL_free(der);
  return out;
}

Name::Name() {
  uint32_t err = 0;
  EXPECT_EQ(X509NameObjectCreate(&handle_, &err), 0) << std::hex << err;
}

Name::Name(const Bytes &der) : Name() {
  uint32_t err = 0;
  const Pdu pdu{der.data(), static_cast<uint32_t>(der.size())};
  EXPECT_EQ(X509NameObjectSetPduBER(handle_, &pdu, &err), 0) << std::hex << err;
}

Name::~Name() {
  uint32_t err = 0;
  if (handle_ != nullptr) {
    EXPECT_EQ(X509NameObjectDestroy(handle_, &err), 0);
  }
}

Bytes Name::der() const {
  Pdu pdu{};
  uint32_t err = 0;
  EXPECT_EQ(X509NameObjectGetPduDER(handle_, &pdu, &err), 0) << std::hex << err;
  return Bytes(pdu.data, pdu.data + pdu.length);
}

Bytes avaValue(const Name &name, uint32_t rdn, uint32_t ava) {
  X509AVA record{};
  uint32_t err = 0;
  EXPECT_EQ(X509NameObjectGetAVA(name.get(), rdn, ava, &record, &err), 0) << std::hex << err;
  return Bytes(record.value, record.value + record.valueLength);
}

std::vector<int32_t> avaArcs(const Name &name, uint32_t rdn, uint32_t ava) {
  X509AVA record{};
  uint32_t err = 0;
  EXPECT_EQ(X509NameObjectGetAVA(name.get(), rdn, ava, &record, &err), 0) << std::hex << err;
  return std::vector<int32_t>(record.type.arcs, record.type.arcs + record.type.count);
}

uint32_t rdnCount(const Name &name) {
  uint32_t count = 0;
  uint32_t err = 0;
  EXPECT_EQ(X509NameObjectCalRDN(name.get(), &count, &err), 0);
  return count;
}

uint32_t avaCount(const Name &name, uint32_t rdn) {
  uint32_t count = 0;
  uint32_t err = 0;
  EXPECT_EQ(X509NameObjectCalAVA(name.get(), rdn, &count, &err), 0);
  return count;
}

Bytes utf8StringDer(const std::string &content) {
  Bytes out{0x0C};
  if (content.size() < 0x80) {
    out.push_back(static_cast<unsigned char>(content.size()));
  } else if (content.size() < 0x100) {
    out.push_back(0x81);
    out.push_back(static_cast<unsigned char>(content.size()));
  } else {
    out.push_back(0x82);
    out.push_back(static_cast<unsigned char>(content.size() >> 8));
    out.push_back(static_cast<unsigned char>(content.size()));
  }
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

namespace {

Bytes tlv(unsigned char tag, const Bytes &content) {
  Bytes out{tag};
  const std::size_t n = content.size();
  if (n < 0x80) {
    out.push_back(static_cast<unsigned char>(n));
  } else if (n < 0x100) {
    out.push_back(0x81);
    out.push_back(static_cast<unsigned char>(n));
  } else {
    out.push_back(0x82);
    out.push_back(static_cast<unsigned char>(n >> 8));
    out.push_back(static_cast<unsigned char>(n));
  }
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

Bytes oidDer(int nid) {
  unsigned char *oid = nullptr;
  const int length = i2d_ASN1_OBJECT(OBJ_nid2obj(nid), &oid);
  EXPECT_GT(length, 0);
  Bytes out(oid, oid + (length > 0 ? length : 0));
  OPENSSL_free(oid);
  return out;
}

}  // namespace

Bytes unsortedDerOf(const NameSpec &spec) {
  Bytes rdns;
  for (const Rdn &rdn : spec) {
    Bytes set;
    for (const Ava &ava : rdn) {
      Bytes seq = oidDer(ava.nid);
      const Bytes content = ava.raw ? Bytes(ava.text.begin(), ava.text.end()) : contentOf(ava.type, ava.text);
      const Bytes value = tlv(static_cast<unsigned char>(ava.type), content);
      seq.insert(seq.end(), value.begin(), value.end());
      const Bytes avaDer = tlv(0x30, seq);
      set.insert(set.end(), avaDer.begin(), avaDer.end());
    }
    const Bytes setDer = tlv(0x31, set);
    rdns.insert(rdns.end(), setDer.begin(), setDer.end());
  }
  return tlv(0x30, rdns);
}

Bytes rawValueNameDer(int nid, unsigned char tag, const std::string &content) {
  unsigned char *oid = nullptr;
  const int oidLength = i2d_ASN1_OBJECT(OBJ_nid2obj(nid), &oid);
  EXPECT_GT(oidLength, 0);
  Bytes ava(oid, oid + (oidLength > 0 ? oidLength : 0));
  OPENSSL_free(oid);
  ava.push_back(tag);
  ava.push_back(static_cast<unsigned char>(content.size()));
  ava.insert(ava.end(), content.begin(), content.end());
  const auto wrap = [](unsigned char outerTag, const Bytes &inner) {
    Bytes out(inner.size() + 2);
    out[0] = outerTag;
    out[1] = static_cast<unsigned char>(inner.size());
    std::copy(inner.begin(), inner.end(), out.begin() + 2);
    return out;
  };
  return wrap(0x30, wrap(0x31, wrap(0x30, ava)));
}

}  // namespace mirrel_test
