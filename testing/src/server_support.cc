// Pieces shared by the harness's server fixtures.
#include "server_support.h"

#include <sys/file.h>

#include <fstream>
#include <sstream>

namespace testtoken {

std::string uriEncode(std::string_view text) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '.' || c == '_' || c == '~') {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(digits[c >> 4]);
      out.push_back(digits[c & 0x0F]);
    }
  }
  return out;
}

bool socketListening(const std::string& path) {
  std::ifstream in("/proc/net/unix");
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    if (line.size() <= path.size() || line.compare(line.size() - path.size(), path.size(), path) != 0 ||
        line[line.size() - path.size() - 1] != ' ')
      continue;
    std::istringstream fields(line);
    std::string num, refCount, protocol, flags;
    fields >> num >> refCount >> protocol >> flags;
    unsigned long value = std::strtoul(flags.c_str(), nullptr, 16);
    if ((value & 0x10000UL) != 0) return true;  // __SO_ACCEPTCON
  }
  return false;
}

std::string readOrEmpty(const std::filesystem::path& path) {
  try {
    return readTextFile(path);
  } catch (const Error&) {
    return {};
  }
}

std::unique_ptr<FileFd> takeExclusiveLock(const std::filesystem::path& path, std::chrono::milliseconds limit,
                                          const std::string& what) {
  auto lock = std::make_unique<FileFd>(path);
  waitUntil([&] { return ::flock(lock->get(), LOCK_EX | LOCK_NB) == 0; }, limit, what + " (held by another test)");
  return lock;
}

}  // namespace testtoken
