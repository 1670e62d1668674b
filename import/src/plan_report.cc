#include "plan_report.h"

#include <openssl/bio.h>
#include <openssl/buffer.h>
#include <openssl/x509.h>

#include <cstdio>
#include <memory>
#include <span>
#include <vector>

#include "platform/text.h"

namespace velkor::report {

namespace {

using Bytes = std::vector<unsigned char>;

// The length of the well-formed UTF-8 sequence at the start of `s`
// (shortest form, no surrogates, at most U+10FFFF); 0 when there is none.
size_t Utf8SequenceLength(std::span<const unsigned char> s) {
  const unsigned char lead = s[0];
  if (lead < 0x80) return 1;
  size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (s.size() < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    const unsigned char lo = i == 1 ? low : 0x80;
    const unsigned char hi = i == 1 ? high : 0xBF;
    if (s[i] < lo || s[i] > hi) return 0;
  }
  return length;
}

// `bytes` as a JSON string literal: valid UTF-8 as it is, every invalid
// byte as U+FFFD, quotes, backslashes and control characters escaped.
std::string Quoted(std::span<const unsigned char> bytes) {
  std::string out = "\"";
  size_t i = 0;
  while (i < bytes.size()) {
    const size_t length = Utf8SequenceLength(bytes.subspan(i));
    if (length == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
      continue;
    }
    const unsigned char c = bytes[i];
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c < 0x20 || c == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out.append(reinterpret_cast<const char *>(&bytes[i]), length);
    }
    i += length;
  }
  return out + "\"";
}

std::string Quoted(std::string_view text) {
  return Quoted(std::span(reinterpret_cast<const unsigned char *>(text.data()), text.size()));
}

std::string Hex(const Bytes &bytes) { return platform::HexLower(bytes); }

// A DER name as RFC 4514 text (UTF-8, the most significant component
// first); empty when it does not decode.
std::string NameText(const Bytes &der) {
  const unsigned char *p = der.data();
  std::unique_ptr<X509_NAME, decltype(&X509_NAME_free)> name(
      d2i_X509_NAME(nullptr, &p, static_cast<long>(der.size())), X509_NAME_free);
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
  if (!name || !bio) return {};
  if (X509_NAME_print_ex(bio.get(), name.get(), 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) < 0) return {};
  BUF_MEM *text = nullptr;
  BIO_get_mem_ptr(bio.get(), &text);
  return text != nullptr ? std::string(text->data, text->length) : std::string();
}

// The type as RFC 7512 names it (JSON) and in words (the report).
struct TypeNames {
  const char *json;
  const char *words;
};
TypeNames NamesOf(PlannedObject::Type type) {
  if (type == PlannedObject::Type::kPrivateKey) return {"private", "private key"};
  if (type == PlannedObject::Type::kPublicKey) return {"public", "public key "};
  return {"cert", "certificate"};
}

std::string JsonList(const std::vector<PlannedObject> &objects) {
  std::string out = "[";
  for (const PlannedObject &o : objects) {
    if (out.size() > 1) out += ",";
    out += "{\"type\":\"" + std::string(NamesOf(o.type).json) + "\",\"id\":\"" + Hex(o.id) + "\",\"label\":" +
           Quoted(o.label);
    if (o.type == PlannedObject::Type::kCertificate) {
      out += ",\"subject\":" + Quoted(NameText(o.subject)) + ",\"serial\":\"" + Hex(o.serial) + "\"";
    }
    out += "}";
  }
  return out + "]";
}

std::string TextList(const char *heading, const std::vector<PlannedObject> &objects) {
  std::string out = std::string(heading) + " (" + std::to_string(objects.size()) + "):\n";
  if (objects.empty()) out += "  nothing\n";
  for (const PlannedObject &o : objects) {
    out += "  " + std::string(NamesOf(o.type).words) + "  id " + (o.id.empty() ? "(drawn when written)" : Hex(o.id)) +
           "  label " + Quoted(o.label) + "\n";
    if (o.type == PlannedObject::Type::kCertificate) {
      out += "      subject " + NameText(o.subject) + "\n      serial  " + Hex(o.serial) + "\n";
    }
  }
  return out;
}

}  // namespace

std::string Json(const Prediction &p) {
  static const PlannedChanges kNone;
  const PlannedChanges &c = p.changes != nullptr ? *p.changes : kNone;
  return "{\"result\":" + std::to_string(p.result) + ",\"message\":" + Quoted(p.message) +
         ",\"write\":" + JsonList(c.write) + ",\"delete\":" + JsonList(c.remove) + ",\"keep\":" + JsonList(c.keep) +
         "}\n";
}

std::string Text(const Prediction &p) {
  static const PlannedChanges kNone;
  const PlannedChanges &c = p.changes != nullptr ? *p.changes : kNone;
  std::string out = "PKCS#12 file: " + std::string(p.file) + " (read only, left in place)\n";
  out += "Token:        " + std::string(p.module) + " (read-only session)\n";
  out += "Checks:       " + std::string(p.switches) + "\n";
  out += "Result:       " + std::to_string(p.result);
  if (p.result != 0 && p.fileConsumed) {
    out += " (Velkor would delete the PKCS#12 file, then stop before writing to the token)\n";
  } else if (p.result != 0) {
    out += " (Velkor would stop before touching the PKCS#12 file or the token)\n";
  } else if (c.write.empty() && c.remove.empty()) {
    out += " (nothing to do: the token holds this certificate already)\n";
  } else {
    out += " (Velkor would go on to write, prove the new key, then delete)\n";
  }
  out += TextList("Would write", c.write) + TextList("Would delete", c.remove) + TextList("Would keep", c.keep);
  out += "Velkor's log message:";
  out += p.message.empty() ? std::string(" none (no log is written)\n") : "\n" + std::string(p.message) + "\n";
  return out;
}

}  // namespace velkor::report
