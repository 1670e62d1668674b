#include "text_convert.h"

#include <langinfo.h>

#include <clocale>
#include <cstring>
#include <cwchar>

namespace mirrel {

void appendUtf8(uint32_t value, std::string &out) {
  const auto byte = [&out](uint32_t b) { out.push_back(static_cast<char>(static_cast<unsigned char>(b))); };
  if (value < 0x80u) {
    byte(value);
  } else if (value < 0x800u) {
    byte(0xC0u | (value >> 6));
    byte(0x80u | (value & 0x3Fu));
  } else if (value < 0x10000u) {
    byte(0xE0u | (value >> 12));
    byte(0x80u | ((value >> 6) & 0x3Fu));
    byte(0x80u | (value & 0x3Fu));
  } else if (value < 0x200000u) {
    byte(0xF0u | (value >> 18));
    byte(0x80u | ((value >> 12) & 0x3Fu));
    byte(0x80u | ((value >> 6) & 0x3Fu));
    byte(0x80u | (value & 0x3Fu));
  } else if (value < 0x4000000u) {
    byte(0xF8u | (value >> 24));
    byte(0x80u | ((value >> 18) & 0x3Fu));
    byte(0x80u | ((value >> 12) & 0x3Fu));
    byte(0x80u | ((value >> 6) & 0x3Fu));
    byte(0x80u | (value & 0x3Fu));
  } else {
    byte(0xFCu | (value >> 30));
    byte(0x80u | ((value >> 24) & 0x3Fu));
    byte(0x80u | ((value >> 18) & 0x3Fu));
    byte(0x80u | ((value >> 12) & 0x3Fu));
    byte(0x80u | ((value >> 6) & 0x3Fu));
    byte(0x80u | (value & 0x3Fu));
  }
}

Status ucs2ToUtf8(ByteSpan in, std::string &out) {
  if (in.empty() || in.size() % 2 != 0) {
    return Code::kArgument;
  }
  out.clear();
  out.reserve(in.size() / 2 * 3);
  for (std::size_t i = 0; i < in.size(); i += 2) {
    appendUtf8(static_cast<uint32_t>(in[i]) << 8 | in[i + 1], out);
  }
  return Status::success();
}

Status ucs4ToUtf8(ByteSpan in, std::string &out) {
  if (in.empty() || in.size() % 4 != 0) {
    return Code::kArgument;
  }
  out.clear();
  out.reserve(in.size());
  for (std::size_t i = 0; i < in.size(); i += 4) {
    appendUtf8(static_cast<uint32_t>(in[i]) << 24 | static_cast<uint32_t>(in[i + 1]) << 16 |
                   static_cast<uint32_t>(in[i + 2]) << 8 | in[i + 3],
               out);
  }
  return Status::success();
}

Status LocaleText::toUtf8(ByteSpan in, std::string &out) {
  if (in.empty()) {
    return Code::kArgument;
  }
  if (!localeSet_) {
    // The character set of locale text is the system default's.  This
    // sets LC_CTYPE for the whole process, as callers of this library
    // have always seen it do.
    std::setlocale(LC_CTYPE, "");
    const char *codeset = nl_langinfo(CODESET);
    asciiTransparent_ = codeset != nullptr && (std::strcmp(codeset, "UTF-8") == 0 ||
                                               std::strcmp(codeset, "ANSI_X3.4-1968") == 0);
    localeSet_ = true;
  }
  out.clear();
  out.reserve(in.size());
  if (asciiTransparent_) {
    bool ascii = true;
    for (const unsigned char b : in) {
      ascii = ascii && b < 0x80u;
    }
    if (ascii) {
      out.assign(reinterpret_cast<const char *>(in.data()), in.size());
      return Status::success();
    }
  }
  std::mbstate_t state{};
  const char *p = reinterpret_cast<const char *>(in.data());
  std::size_t left = in.size();
  while (left > 0) {
    wchar_t wide = 0;
    std::size_t used = std::mbrtowc(&wide, p, left, &state);
    if (used == static_cast<std::size_t>(-1) || used == static_cast<std::size_t>(-2)) {
      return Code::kArgument;  // invalid or cut-off multibyte sequence
    }
    if (used == 0) {
      used = 1;  // the NUL byte: kept as U+0000, the text goes on
    }
    appendUtf8(static_cast<uint32_t>(wide), out);
    p += used;
    left -= used;
  }
  return Status::success();
}

void normaliseSpacesAndCase(std::string_view in, std::string &out) {
  out.clear();
  out.reserve(in.size());
  bool pendingSpace = false;
  for (const char c : in) {
    if (c == ' ') {
      pendingSpace = !out.empty();  // leading spaces are dropped
      continue;
    }
    if (pendingSpace) {
      out.push_back(' ');
      pendingSpace = false;
    }
    out.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c);
  }
}

}  // namespace mirrel
