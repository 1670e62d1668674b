// A token reader's answers kept in a text file, and played back.
//
// RecordingReader stands between a program step and the live token: it
// forwards every call unchanged and notes what was asked and answered.
// ReplayReader answers the same calls from such a recording, without a
// token: a call is found by its kind and arguments, not by its place in
// the order, since the token does not change while it is read, so the same
// call always gets the same answer.
//
// The recording is text, one line per distinct call, sorted, so that a
// recording checked in beside a test reads and diffs well:
//
//   token-reader-recording 1
//   objects <room> ok <count> <handle>...
//   objects <room> failed <code> x<message>
//   lengths <object> <types> <rv> [<length>|-]...
//   values <object> <types> <rv> [x<value>|-]...
//   keys <class> x<subject>|- x<identifier> <limit> <rv> <count> <handle>...
//   class-id <class> x<identifier> <limit> <rv> <count> <handle>...
//   in-use x<identifier> <rv> yes|no
//
// Handles, rooms, limits, lengths and codes are decimal; classes, CK_RV
// values and attribute types are 0x-prefixed hexadecimal; byte strings
// are "x" and two hexadecimal digits a byte; <types> is the template's
// attribute types joined by "," ("none" for an empty template).  "-" is a
// length or value the module gave as CK_UNAVAILABLE_INFORMATION, or, for
// the subject of keys, a search without one.  A lengths or values line
// carries one entry an attribute where the module's answer concerns
// single attributes (CKR_OK, CKR_ATTRIBUTE_SENSITIVE,
// CKR_ATTRIBUTE_TYPE_INVALID, CKR_BUFFER_TOO_SMALL), and none where it
// left the template as it was given.
#pragma once

#include <p11-kit/pkcs11.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "token/token_access.h"

namespace testtoken {

class ReaderRecording {
 public:
  ReaderRecording();
  ~ReaderRecording();
  ReaderRecording(ReaderRecording&&) noexcept;
  ReaderRecording& operator=(ReaderRecording&&) noexcept;
  ReaderRecording(const ReaderRecording&) = delete;
  ReaderRecording& operator=(const ReaderRecording&) = delete;

  // The format line, then one line for each call, sorted by kind and
  // arguments.
  std::string Text() const;
  // Writes Text() to `path`; throws testtoken::Error when it cannot.
  void Save(const std::filesystem::path& path) const;
  // Reads a recording.  Every field is checked; a damaged recording is
  // refused with testtoken::Error naming the line and what is wrong there.
  static ReaderRecording Parse(std::string_view text);
  static ReaderRecording Load(const std::filesystem::path& path);

 private:
  friend class RecordingReader;
  friend class ReplayReader;
  struct Calls;
  std::unique_ptr<Calls> calls_;
};

// Forwards every call to `live` and records it.  A call asked again keeps
// its first answer, except a value query whose buffers were too small,
// which a later one replaces.  A value query that gives some attribute no
// buffer records no value for it.
class RecordingReader : public token::TokenReader {
 public:
  explicit RecordingReader(token::TokenReader& live) : live_(live) {}

  token::Outcome FindAllObjects(std::span<CK_OBJECT_HANDLE> list, int32_t* count) override;
  CK_RV GetAttributeValue(CK_OBJECT_HANDLE object, std::span<CK_ATTRIBUTE> tmpl) override;
  CK_RV FindKeys(CK_OBJECT_CLASS keyClass, const CK_ATTRIBUTE& subject, const CK_ATTRIBUTE& identifier,
                 bool withSubject, size_t limit, std::vector<CK_OBJECT_HANDLE>* found) override;
  CK_RV FindByClassAndId(CK_OBJECT_CLASS objectClass, std::string_view identifier, size_t limit,
                         std::vector<CK_OBJECT_HANDLE>* found) override;
  CK_RV IdentifierInUse(std::span<const unsigned char> identifier, bool* inUse) override;

  const ReaderRecording& recording() const { return recording_; }
  void Save(const std::filesystem::path& path) const { recording_.Save(path); }

 private:
  token::TokenReader& live_;
  ReaderRecording recording_;
};

// Answers from a recording.  A listing or search recorded with room for
// some number of handles also answers the same call with another room when
// it shows every handle there is (it found fewer than its room) or had at
// least as much room; at most the room asked for is filled.  A length
// query (no buffer at all) is answered from the recorded lengths; a value
// query copies the recorded values into buffers large enough and, like a
// module, marks a buffer too small with CK_UNAVAILABLE_INFORMATION and
// CKR_BUFFER_TOO_SMALL.  A call the recording lacks gets CKR_GENERAL_ERROR
// (a listing: a failure with code -1) and is noted for Unmatched().
class ReplayReader : public token::TokenReader {
 public:
  explicit ReplayReader(ReaderRecording recording) : recording_(std::move(recording)) {}
  explicit ReplayReader(const std::filesystem::path& path) : recording_(ReaderRecording::Load(path)) {}

  token::Outcome FindAllObjects(std::span<CK_OBJECT_HANDLE> list, int32_t* count) override;
  CK_RV GetAttributeValue(CK_OBJECT_HANDLE object, std::span<CK_ATTRIBUTE> tmpl) override;
  CK_RV FindKeys(CK_OBJECT_CLASS keyClass, const CK_ATTRIBUTE& subject, const CK_ATTRIBUTE& identifier,
                 bool withSubject, size_t limit, std::vector<CK_OBJECT_HANDLE>* found) override;
  CK_RV FindByClassAndId(CK_OBJECT_CLASS objectClass, std::string_view identifier, size_t limit,
                         std::vector<CK_OBJECT_HANDLE>* found) override;
  CK_RV IdentifierInUse(std::span<const unsigned char> identifier, bool* inUse) override;

  // The calls the recording had no answer for, each once, in the order
  // they were first made, written as the start of the line they lack
  // (e.g. "values 3 0x0,0x102").
  std::vector<std::string> Unmatched() const { return unmatched_; }

 private:
  void NoteUnmatched(std::string call);

  ReaderRecording recording_;
  std::vector<std::string> unmatched_;
};

}  // namespace testtoken
