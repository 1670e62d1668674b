#include "testtoken/recorded_reader.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <tuple>
#include <utility>

#include "platform/text.h"
#include "testtoken/testtoken.h"
#include "token/attribute_values.h"
#include "token/messages.h"

namespace testtoken {
namespace {

constexpr std::string_view kFormatLine = "token-reader-recording 1";

using Handles = std::vector<CK_OBJECT_HANDLE>;
using Types = std::vector<CK_ATTRIBUTE_TYPE>;

// A listing's outcome and the handles it stored.
struct Listing {
  int32_t code = 0;
  std::string message;
  Handles handles;
};

// A search's result and the handles it found.
struct Search {
  CK_RV rv = CKR_OK;
  Handles handles;
};

// C_GetAttributeValue's answer and what it wrote for each attribute;
// nothing when the answer left the template as it was given.
template <class Entry>
struct Filled {
  CK_RV rv = CKR_OK;
  std::optional<std::vector<Entry>> entries;
};
// An attribute's value; none: CK_UNAVAILABLE_INFORMATION.
using Value = std::optional<Bytes>;

// The length query and the value query of one template on one object.
struct TemplateAnswers {
  std::optional<Filled<CK_ULONG>> lengths;
  std::optional<Filled<Value>> values;
};

struct InUse {
  CK_RV rv = CKR_OK;
  bool inUse = false;
};

using TemplateKey = std::pair<CK_OBJECT_HANDLE, Types>;
// Class, subject (none: a search without one) and identifier.
using KeysKey = std::tuple<CK_OBJECT_CLASS, std::optional<Bytes>, Bytes>;
using ClassIdKey = std::pair<CK_OBJECT_CLASS, Bytes>;

// Whether C_GetAttributeValue writes into the template with this answer:
// the answers about single attributes, as opposed to a failing call.
bool FillsTemplate(CK_RV rv) {
  return rv == CKR_OK || rv == CKR_ATTRIBUTE_SENSITIVE || rv == CKR_ATTRIBUTE_TYPE_INVALID ||
         rv == CKR_BUFFER_TOO_SMALL;
}

bool LengthQuery(std::span<const CK_ATTRIBUTE> tmpl) {
  return std::all_of(tmpl.begin(), tmpl.end(), [](const CK_ATTRIBUTE& a) { return a.pValue == nullptr; });
}

Types TypesOf(std::span<const CK_ATTRIBUTE> tmpl) {
  Types types;
  for (const CK_ATTRIBUTE& a : tmpl) types.push_back(a.type);
  return types;
}

Bytes BytesOf(const void* data, size_t size) {
  if (data == nullptr || size == 0) return {};
  const auto* bytes = static_cast<const unsigned char*>(data);
  return Bytes(bytes, bytes + size);
}

// The subject counts only in a search that asks for it.
KeysKey KeysKeyOf(CK_OBJECT_CLASS keyClass, const CK_ATTRIBUTE& subject, const CK_ATTRIBUTE& identifier,
                  bool withSubject) {
  return {keyClass, withSubject ? std::optional<Bytes>(BytesOf(subject.pValue, subject.ulValueLen)) : std::nullopt,
          BytesOf(identifier.pValue, identifier.ulValueLen)};
}

template <class Key, class Answer>
const Answer* Find(const std::map<Key, Answer>& answers, const Key& key) {
  const auto it = answers.find(key);
  return it == answers.end() ? nullptr : &it->second;
}

// The recorded answer for room for `asked` handles: the one recorded with
// that room, else one that `serves` it.
template <class Answer, class Usable>
const Answer* Serving(const std::map<size_t, Answer>* byRoom, size_t asked, Usable serves) {
  if (byRoom == nullptr) return nullptr;
  if (const Answer* exact = Find(*byRoom, asked)) return exact;
  for (const auto& [room, answer] : *byRoom) {
    if (serves(room, answer)) return &answer;
  }
  return nullptr;
}

// A search answers another room when it found every handle there is (fewer
// than its room) or had at least as much room.
bool ServesRoom(size_t room, const Handles& handles, size_t asked) { return handles.size() < room || room >= asked; }

// ---- writing ---------------------------------------------------------------------

std::string Decimal(uint64_t n) { return std::to_string(n); }

std::string HexNumber(CK_ULONG n) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%lx", n);
  return text;
}

std::string Data(std::span<const unsigned char> bytes) { return "x" + platform::HexLower(bytes); }

std::string TypesText(const Types& types) {
  if (types.empty()) return "none";
  std::string text;
  for (CK_ATTRIBUTE_TYPE type : types) text += (text.empty() ? "" : ",") + HexNumber(type);
  return text;
}

std::string HandlesText(const Handles& handles) {
  std::string text = Decimal(handles.size());
  for (CK_OBJECT_HANDLE h : handles) text += " " + Decimal(h);
  return text;
}

std::string ObjectsCall(size_t room) { return "objects " + Decimal(room); }

std::string TemplateCall(std::string_view kind, const TemplateKey& key) {
  return std::string(kind) + " " + Decimal(key.first) + " " + TypesText(key.second);
}

std::string KeysCall(const KeysKey& key, size_t limit) {
  const auto& [keyClass, subject, identifier] = key;
  return "keys " + HexNumber(keyClass) + " " + (subject ? Data(*subject) : "-") + " " + Data(identifier) + " " +
         Decimal(limit);
}

std::string ClassIdCall(const ClassIdKey& key, size_t limit) {
  return "class-id " + HexNumber(key.first) + " " + Data(key.second) + " " + Decimal(limit);
}

std::string InUseCall(const Bytes& identifier) { return "in-use " + Data(identifier); }

std::string SearchText(const Search& search) { return HexNumber(search.rv) + " " + HandlesText(search.handles); }

template <class Entry, class Format>
std::string FilledText(const Filled<Entry>& filled, Format format) {
  std::string text = HexNumber(filled.rv);
  if (filled.entries) {
    for (const Entry& entry : *filled.entries) text += " " + format(entry);
  }
  return text;
}

// ---- reading ---------------------------------------------------------------------

// The space-separated fields of one line, each read and checked in turn;
// whatever is wrong is thrown as an Error naming the line.
class Fields {
 public:
  Fields(std::string_view line, size_t number) : rest_(line), number_(number) {}

  [[noreturn]] void Fail(const std::string& what) const {
    throw Error("recording line " + std::to_string(number_) + ": " + what);
  }

  bool AtEnd() const { return done_; }
  void End() const {
    if (!done_) Fail(rest_.empty() ? "a space at the end" : "more fields than its kind has: \"" + Cut(rest_) + "\"");
  }

  std::string_view Word(const std::string& what) {
    if (done_) Fail("no " + what + " (the line ends early)");
    const size_t space = rest_.find(' ');
    const std::string_view word = rest_.substr(0, space);
    if (space == std::string_view::npos) {
      done_ = true;
      rest_ = {};
    } else {
      rest_.remove_prefix(space + 1);
    }
    if (word.empty()) Fail("empty " + what + " (two spaces, or a space at the end)");
    return word;
  }

  template <class T>
  T Number(std::string_view word, const std::string& what, int base) const {
    std::string_view digits = word;
    if (base == 16 && !digits.starts_with("0x")) Fail(what + " is not 0x-prefixed hexadecimal: \"" + Cut(word) + "\"");
    if (base == 16) digits.remove_prefix(2);
    T value{};
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) {
      Fail(what + " is not a " + (base == 16 ? "hexadecimal" : "decimal") + " number within range: \"" + Cut(word) +
           "\"");
    }
    return value;
  }
  template <class T>
  T Number(const std::string& what, int base) {
    return Number<T>(Word(what), what, base);
  }

  Bytes Data(std::string_view word, const std::string& what) const {
    if (!word.starts_with('x')) Fail(what + " does not start with x: \"" + Cut(word) + "\"");
    word.remove_prefix(1);
    if (word.size() % 2 != 0) Fail(what + " has an odd number of hexadecimal digits");
    if (word.size() / 2 > token::kMaxAttributeLength) Fail(what + " is longer than any attribute a module may give");
    Bytes bytes;
    bytes.reserve(word.size() / 2);
    for (size_t i = 0; i < word.size(); i += 2) {
      unsigned char byte = 0;
      const char* pair = word.data() + i;
      const auto [end, error] = std::from_chars(pair, pair + 2, byte, 16);
      if (error != std::errc() || end != pair + 2) {
        Fail(what + " has a character that is no hexadecimal digit at " + std::to_string(i));
      }
      bytes.push_back(byte);
    }
    return bytes;
  }
  Bytes Data(const std::string& what) { return Data(Word(what), what); }

  Types TypeList() {
    const std::string_view word = Word("attribute types");
    Types types;
    if (word == "none") return types;
    for (size_t start = 0; start <= word.size();) {
      const size_t comma = std::min(word.find(',', start), word.size());
      types.push_back(Number<CK_ATTRIBUTE_TYPE>(word.substr(start, comma - start), "attribute type", 16));
      start = comma + 1;
    }
    return types;
  }

  // A count, then that many handles; never more than `room`.
  Handles HandleList(size_t room) {
    const size_t count = Number<size_t>("handle count", 10);
    if (count > room) Fail(std::to_string(count) + " handles where there was room for " + std::to_string(room));
    Handles handles;
    for (size_t i = 0; i < count; ++i) handles.push_back(Number<CK_OBJECT_HANDLE>("handle", 10));
    return handles;
  }

 private:
  // A field quoted in a message: its start only.
  static std::string Cut(std::string_view text) { return std::string(text.substr(0, 40)); }

  std::string_view rest_;
  size_t number_;
  bool done_ = false;
};

// The entries of a lengths or values line: one an attribute type where the
// answer writes into the template, none where it does not.
template <class Entry, class ReadEntry>
Filled<Entry> ReadFilled(Fields& f, size_t types, ReadEntry readEntry) {
  Filled<Entry> filled{f.Number<CK_RV>("rv", 16), std::nullopt};
  std::vector<Entry> entries;
  while (!f.AtEnd()) entries.push_back(readEntry(f.Word("attribute's answer")));
  if (FillsTemplate(filled.rv) && entries.size() != types) {
    f.Fail(std::to_string(entries.size()) + " answers for " + std::to_string(types) + " attribute types");
  }
  if (!FillsTemplate(filled.rv) && !entries.empty()) f.Fail("attribute answers after an rv that writes none");
  if (FillsTemplate(filled.rv)) filled.entries = std::move(entries);
  return filled;
}

Search ReadSearch(Fields& f, size_t limit) {
  Search search;
  search.rv = f.Number<CK_RV>("rv", 16);
  search.handles = f.HandleList(limit);
  f.End();
  return search;
}

template <class Map, class Key, class Answer>
void Add(Fields& f, Map& answers, Key key, Answer answer, const std::string& call) {
  if (!answers.emplace(std::move(key), std::move(answer)).second) f.Fail("a second answer to \"" + call + "\"");
}

}  // namespace

struct ReaderRecording::Calls {
  std::map<size_t, Listing> objects;  // by room
  std::map<TemplateKey, TemplateAnswers> templates;
  std::map<KeysKey, std::map<size_t, Search>> keys;  // by limit
  std::map<ClassIdKey, std::map<size_t, Search>> classIds;
  std::map<Bytes, InUse> inUse;

  void ReadLine(Fields& f);
};

void ReaderRecording::Calls::ReadLine(Fields& f) {
  const std::string_view kind = f.Word("kind of call");
  if (kind == "objects") {
    const size_t room = f.Number<size_t>("room", 10);
    Listing listing;
    const std::string_view status = f.Word("ok or failed");
    if (status == "ok") {
      listing.handles = f.HandleList(room);
    } else if (status == "failed") {
      listing.code = f.Number<int32_t>("code", 10);
      if (listing.code == 0) f.Fail("a failed listing with code 0");
      const Bytes message = f.Data("message");
      if (message.size() >= token::Message::kSize || std::find(message.begin(), message.end(), 0) != message.end()) {
        f.Fail("a message an outcome cannot hold (too long, or with a zero byte)");
      }
      listing.message.assign(message.begin(), message.end());
    } else {
      f.Fail("a listing neither ok nor failed");
    }
    f.End();
    Add(f, objects, room, std::move(listing), ObjectsCall(room));
  } else if (kind == "lengths" || kind == "values") {
    const CK_OBJECT_HANDLE object = f.Number<CK_OBJECT_HANDLE>("object", 10);
    TemplateKey key{object, f.TypeList()};
    TemplateAnswers& answers = templates[key];
    const std::string call = TemplateCall(kind, key);
    if (kind == "lengths" ? answers.lengths.has_value() : answers.values.has_value()) {
      f.Fail("a second answer to \"" + call + "\"");
    }
    if (kind == "lengths") {
      answers.lengths = ReadFilled<CK_ULONG>(f, key.second.size(), [&f](std::string_view word) {
        const CK_ULONG length = word == "-" ? CK_UNAVAILABLE_INFORMATION : f.Number<CK_ULONG>(word, "length", 10);
        if (word != "-" && length == CK_UNAVAILABLE_INFORMATION) f.Fail("an unavailable length not written as -");
        return length;
      });
    } else {
      answers.values = ReadFilled<Value>(f, key.second.size(), [&f](std::string_view word) {
        return word == "-" ? Value() : Value(f.Data(word, "value"));
      });
    }
  } else if (kind == "keys") {
    const CK_OBJECT_CLASS keyClass = f.Number<CK_OBJECT_CLASS>("class", 16);
    const std::string_view subject = f.Word("subject");
    KeysKey key{keyClass, subject == "-" ? std::nullopt : std::optional<Bytes>(f.Data(subject, "subject")),
                f.Data("identifier")};
    const size_t limit = f.Number<size_t>("limit", 10);
    Add(f, keys[key], limit, ReadSearch(f, limit), KeysCall(key, limit));
  } else if (kind == "class-id") {
    const CK_OBJECT_CLASS objectClass = f.Number<CK_OBJECT_CLASS>("class", 16);
    ClassIdKey key{objectClass, f.Data("identifier")};
    const size_t limit = f.Number<size_t>("limit", 10);
    Add(f, classIds[key], limit, ReadSearch(f, limit), ClassIdCall(key, limit));
  } else if (kind == "in-use") {
    Bytes identifier = f.Data("identifier");
    InUse answer;
    answer.rv = f.Number<CK_RV>("rv", 16);
    const std::string_view found = f.Word("yes or no");
    if (found != "yes" && found != "no") f.Fail("in use neither yes nor no");
    answer.inUse = found == "yes";
    f.End();
    const std::string call = InUseCall(identifier);
    Add(f, inUse, std::move(identifier), answer, call);
  } else {
    f.Fail("unknown kind of call \"" + std::string(kind.substr(0, 40)) + "\"");
  }
}

ReaderRecording::ReaderRecording() : calls_(std::make_unique<Calls>()) {}
ReaderRecording::~ReaderRecording() = default;
ReaderRecording::ReaderRecording(ReaderRecording&&) noexcept = default;
ReaderRecording& ReaderRecording::operator=(ReaderRecording&&) noexcept = default;

std::string ReaderRecording::Text() const {
  std::string text(kFormatLine);
  text += '\n';
  const auto line = [&text](const std::string& call, const std::string& answer) {
    text += call + " " + answer + "\n";
  };
  for (const auto& [room, listing] : calls_->objects) {
    line(ObjectsCall(room), listing.code == 0 ? "ok " + HandlesText(listing.handles)
                                              : "failed " + std::to_string(listing.code) + " " +
                                                    Data(BytesOf(listing.message.data(), listing.message.size())));
  }
  for (const auto& [key, answers] : calls_->templates) {
    if (answers.lengths) {
      line(TemplateCall("lengths", key), FilledText(*answers.lengths, [](CK_ULONG length) {
             return length == CK_UNAVAILABLE_INFORMATION ? std::string("-") : Decimal(length);
           }));
    }
    if (answers.values) {
      line(TemplateCall("values", key),
           FilledText(*answers.values, [](const Value& value) { return value ? Data(*value) : std::string("-"); }));
    }
  }
  for (const auto& [key, byLimit] : calls_->keys) {
    for (const auto& [limit, search] : byLimit) line(KeysCall(key, limit), SearchText(search));
  }
  for (const auto& [key, byLimit] : calls_->classIds) {
    for (const auto& [limit, search] : byLimit) line(ClassIdCall(key, limit), SearchText(search));
  }
  for (const auto& [identifier, answer] : calls_->inUse) {
    line(InUseCall(identifier), HexNumber(answer.rv) + (answer.inUse ? " yes" : " no"));
  }
  return text;
}

void ReaderRecording::Save(const std::filesystem::path& path) const { writeFile(path, toBytes(Text())); }

ReaderRecording ReaderRecording::Parse(std::string_view text) {
  ReaderRecording recording;
  size_t number = 0;
  while (!text.empty()) {
    const size_t end = std::min(text.find('\n'), text.size());
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    ++number;
    if (number == 1) {
      if (line != kFormatLine) {
        throw Error("recording line 1: not \"" + std::string(kFormatLine) + "\" but \"" +
                    std::string(line.substr(0, 40)) + "\"");
      }
      continue;
    }
    Fields fields(line, number);
    recording.calls_->ReadLine(fields);
  }
  if (number == 0) throw Error("recording is empty: no \"" + std::string(kFormatLine) + "\" line");
  return recording;
}

ReaderRecording ReaderRecording::Load(const std::filesystem::path& path) {
  const std::string text = readTextFile(path);
  try {
    return Parse(text);
  } catch (const Error& e) {
    throw Error(path.string() + ": " + e.what());
  }
}

// ---- RecordingReader ---------------------------------------------------------------

token::Outcome RecordingReader::FindAllObjects(std::span<CK_OBJECT_HANDLE> list, int32_t* count) {
  token::Outcome outcome = live_.FindAllObjects(list, count);
  if (count == nullptr) return outcome;
  Listing listing{outcome.code(), outcome.message().c_str(), {}};
  if (outcome.ok()) {
    const size_t stored = std::min(static_cast<size_t>(std::max(*count, 0)), list.size());
    listing.handles.assign(list.begin(), list.begin() + stored);
  }
  recording_.calls_->objects.emplace(list.size(), std::move(listing));
  return outcome;
}

CK_RV RecordingReader::GetAttributeValue(CK_OBJECT_HANDLE object, std::span<CK_ATTRIBUTE> tmpl) {
  std::vector<CK_ULONG> rooms;
  for (const CK_ATTRIBUTE& a : tmpl) rooms.push_back(a.ulValueLen);
  const bool lengthQuery = LengthQuery(tmpl);
  const CK_RV rv = live_.GetAttributeValue(object, tmpl);
  TemplateAnswers& answers = recording_.calls_->templates[{object, TypesOf(tmpl)}];
  if (lengthQuery) {
    if (answers.lengths) return rv;
    answers.lengths = Filled<CK_ULONG>{rv, std::nullopt};
    if (FillsTemplate(rv)) {
      answers.lengths->entries.emplace();
      for (const CK_ATTRIBUTE& a : tmpl) answers.lengths->entries->push_back(a.ulValueLen);
    }
    return rv;
  }
  // Buffers too small tell the least about the values: any later answer
  // tells more.
  if (answers.values && answers.values->rv != CKR_BUFFER_TOO_SMALL) return rv;
  answers.values = Filled<Value>{rv, std::nullopt};
  if (FillsTemplate(rv)) {
    answers.values->entries.emplace();
    for (size_t i = 0; i < tmpl.size(); ++i) {
      const CK_ATTRIBUTE& a = tmpl[i];
      const bool whole = a.pValue != nullptr && a.ulValueLen != CK_UNAVAILABLE_INFORMATION && a.ulValueLen <= rooms[i];
      answers.values->entries->push_back(whole ? Value(BytesOf(a.pValue, a.ulValueLen)) : std::nullopt);
    }
  }
  return rv;
}

CK_RV RecordingReader::FindKeys(CK_OBJECT_CLASS keyClass, const CK_ATTRIBUTE& subject,
                                const CK_ATTRIBUTE& identifier, bool withSubject, size_t limit,
                                std::vector<CK_OBJECT_HANDLE>* found) {
  const size_t before = found->size();
  const CK_RV rv = live_.FindKeys(keyClass, subject, identifier, withSubject, limit, found);
  const KeysKey key = KeysKeyOf(keyClass, subject, identifier, withSubject);
  recording_.calls_->keys[key].emplace(limit, Search{rv, Handles(found->begin() + before, found->end())});
  return rv;
}

CK_RV RecordingReader::FindByClassAndId(CK_OBJECT_CLASS objectClass, std::string_view identifier, size_t limit,
                                        std::vector<CK_OBJECT_HANDLE>* found) {
  const size_t before = found->size();
  const CK_RV rv = live_.FindByClassAndId(objectClass, identifier, limit, found);
  const ClassIdKey key{objectClass, BytesOf(identifier.data(), identifier.size())};
  recording_.calls_->classIds[key].emplace(limit, Search{rv, Handles(found->begin() + before, found->end())});
  return rv;
}

CK_RV RecordingReader::IdentifierInUse(std::span<const unsigned char> identifier, bool* inUse) {
  const CK_RV rv = live_.IdentifierInUse(identifier, inUse);
  recording_.calls_->inUse.emplace(Bytes(identifier.begin(), identifier.end()), InUse{rv, *inUse});
  return rv;
}

// ---- ReplayReader ------------------------------------------------------------------

void ReplayReader::NoteUnmatched(std::string call) {
  if (std::find(unmatched_.begin(), unmatched_.end(), call) == unmatched_.end()) unmatched_.push_back(std::move(call));
}

token::Outcome ReplayReader::FindAllObjects(std::span<CK_OBJECT_HANDLE> list, int32_t* count) {
  if (count == nullptr) return token::Outcome::FailureText(-1, token::msg::kBadHandleList);
  const size_t asked = list.size();
  // An empty list and a failure answer their own room only: the listing
  // refuses the one before it asks the token, and may have refused the
  // other so.
  const Listing* listing = Serving(&recording_.calls_->objects, asked, [asked](size_t room, const Listing& l) {
    return asked != 0 && l.code == 0 && ServesRoom(room, l.handles, asked);
  });
  if (listing == nullptr) {
    const std::string call = ObjectsCall(asked);
    NoteUnmatched(call);
    return token::Outcome::Failure(-1, "no recorded answer to \"%s\"", call.c_str());
  }
  if (listing->code != 0) return token::Outcome::FailureText(listing->code, listing->message.c_str());
  const size_t stored = std::min(listing->handles.size(), asked);
  std::copy_n(listing->handles.begin(), stored, list.begin());
  *count = static_cast<int32_t>(stored);
  return {};
}

CK_RV ReplayReader::GetAttributeValue(CK_OBJECT_HANDLE object, std::span<CK_ATTRIBUTE> tmpl) {
  const TemplateKey key{object, TypesOf(tmpl)};
  const TemplateAnswers* answers = Find(recording_.calls_->templates, key);
  if (LengthQuery(tmpl)) {
    if (answers == nullptr || !answers->lengths) {
      NoteUnmatched(TemplateCall("lengths", key));
      return CKR_GENERAL_ERROR;
    }
    const Filled<CK_ULONG>& lengths = *answers->lengths;
    for (size_t i = 0; lengths.entries && i < tmpl.size(); ++i) tmpl[i].ulValueLen = (*lengths.entries)[i];
    return lengths.rv;
  }
  if (answers == nullptr || !answers->values) {
    NoteUnmatched(TemplateCall("values", key));
    return CKR_GENERAL_ERROR;
  }
  const Filled<Value>& values = *answers->values;
  bool tooSmall = false;
  for (size_t i = 0; values.entries && i < tmpl.size(); ++i) {
    CK_ATTRIBUTE& a = tmpl[i];
    const Value& value = (*values.entries)[i];
    if (!value) {
      a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
    } else if (a.pValue == nullptr) {
      a.ulValueLen = value->size();
    } else if (a.ulValueLen < value->size()) {
      a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
      tooSmall = true;
    } else {
      if (!value->empty()) std::memcpy(a.pValue, value->data(), value->size());
      a.ulValueLen = value->size();
    }
  }
  return values.rv == CKR_OK && tooSmall ? CKR_BUFFER_TOO_SMALL : values.rv;
}

namespace {

// The handles of a recorded search, at most `limit` of them, after* found.
CK_RV Replay(const Search& search, size_t limit, std::vector<CK_OBJECT_HANDLE>* found) {
  found->insert(found->end(), search.handles.begin(),
                search.handles.begin() + std::min(search.handles.size(), limit));
  return search.rv;
}

const Search* ServingSearch(const std::map<size_t, Search>* byLimit, size_t limit) {
  return Serving(byLimit, limit, [limit](size_t room, const Search& s) { return ServesRoom(room, s.handles, limit); });
}

}  // namespace

CK_RV ReplayReader::FindKeys(CK_OBJECT_CLASS keyClass, const CK_ATTRIBUTE& subject, const CK_ATTRIBUTE& identifier,
                             bool withSubject, size_t limit, std::vector<CK_OBJECT_HANDLE>* found) {
  const KeysKey key = KeysKeyOf(keyClass, subject, identifier, withSubject);
  const Search* search = ServingSearch(Find(recording_.calls_->keys, key), limit);
  if (search == nullptr) {
    NoteUnmatched(KeysCall(key, limit));
    return CKR_GENERAL_ERROR;
  }
  return Replay(*search, limit, found);
}

CK_RV ReplayReader::FindByClassAndId(CK_OBJECT_CLASS objectClass, std::string_view identifier, size_t limit,
                                     std::vector<CK_OBJECT_HANDLE>* found) {
  const ClassIdKey key{objectClass, BytesOf(identifier.data(), identifier.size())};
  const Search* search = ServingSearch(Find(recording_.calls_->classIds, key), limit);
  if (search == nullptr) {
    NoteUnmatched(ClassIdCall(key, limit));
    return CKR_GENERAL_ERROR;
  }
  return Replay(*search, limit, found);
}

CK_RV ReplayReader::IdentifierInUse(std::span<const unsigned char> identifier, bool* inUse) {
  *inUse = false;
  const Bytes key(identifier.begin(), identifier.end());
  const InUse* answer = Find(recording_.calls_->inUse, key);
  if (answer == nullptr) {
    NoteUnmatched(InUseCall(key));
    return CKR_GENERAL_ERROR;
  }
  *inUse = answer->inUse;
  return answer->rv;
}

}  // namespace testtoken
