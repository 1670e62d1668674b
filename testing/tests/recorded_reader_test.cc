// Recording a token reader's answers and playing them back: the replay
// answers the recorded calls as the token did, names the calls it has no
// answer for, and refuses a damaged recording.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "testtoken/recorded_reader.h"
#include "testtoken/testtoken.h"
#include "token/attribute_values.h"
#include "token/smart_card_reader.h"

using namespace testtoken;

namespace {

// One template read through AttributeValues: what the read came to and the
// values read, as text.
template <size_t N>
std::string ReadTemplate(token::TokenReader& reader, CK_OBJECT_HANDLE object,
                         const std::array<CK_ATTRIBUTE_TYPE, N>& types) {
  token::AttributeValues<N> values(types);
  const token::AttributeRead read = values.Read(reader, object);
  std::string text = std::to_string(read.status) + " " + std::to_string(read.index);
  for (size_t i = 0; read == token::AttributeRead::kOk && i < N; ++i) {
    text += " " + toHex(Bytes(values.Bytes(i).begin(), values.Bytes(i).end()));
  }
  return text;
}

std::string Handles(CK_RV rv, const std::vector<CK_OBJECT_HANDLE>& found) {
  std::string text = std::to_string(rv) + ":";
  for (CK_OBJECT_HANDLE h : found) text += " " + std::to_string(h);
  return text;
}

// The calls a check of the token makes, the same on any reader, with each
// answer as text.
std::vector<std::string> Ask(token::TokenReader& reader, Bytes subject, Bytes id) {
  std::vector<std::string> answers;
  std::array<CK_OBJECT_HANDLE, 16> list{};
  int32_t count = 0;
  const token::Outcome listed = reader.FindAllObjects(list, &count);
  answers.push_back("objects " + std::to_string(listed.code()) + " " + std::to_string(count));
  for (int32_t i = 0; i < count; ++i) {
    answers.push_back(std::to_string(list[i]));
    answers.push_back(ReadTemplate<2>(reader, list[i], {CKA_CLASS, CKA_ID}));
    answers.push_back(ReadTemplate<2>(reader, list[i], {CKA_SUBJECT, CKA_LABEL}));
    answers.push_back(ReadTemplate<1>(reader, list[i], {CKA_VALUE}));  // the keys lack it
    // A buffer too small for the certificate's value.
    unsigned char byte = 0;
    CK_ATTRIBUTE value = {CKA_VALUE, &byte, 1};
    const CK_RV rv = reader.GetAttributeValue(list[i], std::span(&value, 1));
    answers.push_back(std::to_string(rv) + " " + std::to_string(value.ulValueLen));
  }
  const CK_ATTRIBUTE s = {CKA_SUBJECT, subject.data(), subject.size()}, i = {CKA_ID, id.data(), id.size()};
  for (CK_OBJECT_CLASS keyClass : {CKO_PUBLIC_KEY, CKO_PRIVATE_KEY}) {
    for (bool withSubject : {false, true}) {
      std::vector<CK_OBJECT_HANDLE> found;
      const CK_RV rv = reader.FindKeys(keyClass, s, i, withSubject, 8, &found);
      answers.push_back(Handles(rv, found));
    }
  }
  std::vector<CK_OBJECT_HANDLE> found;
  const CK_RV rv = reader.FindByClassAndId(CKO_CERTIFICATE, std::string(id.begin(), id.end()), 4, &found);
  answers.push_back(Handles(rv, found));
  for (const Bytes& identifier : {id, toBytes("free")}) {
    bool inUse = false;
    const CK_RV used = reader.IdentifierInUse(identifier, &inUse);
    answers.push_back(std::to_string(used) + " " + std::to_string(inUse));
  }
  return answers;
}

TEST(RecordedReader, ReplayAnswersTheRecordedCallsAsTheTokenDid) {
  SoftHsm hsm({TokenConfig{}});
  FaultSetup fault("", softhsmModulePath(), hsm.environment());
  ScopedEnv env(fault.environment());
  const Key key = Key::pooledRsa(0, 1024);
  CertParams params;
  params.subject = simpleName({{"CN", "Alice"}});
  const Certificate cert = issueCertificate(params, key, key);
  const Bytes id = toBytes("201611090054354711\n");
  {
    P11Client client(softhsmModulePath());
    P11Session session = client.openSession(client.slotByLabel("TestToken"));
    session.login("1234");
    session.createCertificate(cert.der(), id, "Alice");
    session.createPrivateKey(key.get(), id, "", cert.subjectDer());
    session.createPublicKey(key.get(), id, "", cert.subjectDer());
  }
  CSmartCardReader live;
  ASSERT_TRUE(live.LoadPkcs11Module(fault.modulePath()).ok());
  ASSERT_TRUE(live.OpenTokenSession().ok());
  ASSERT_TRUE(live.LoginUser("1234").ok());
  RecordingReader recording(live);
  const std::vector<std::string> answers = Ask(recording, cert.subjectDer(), id);
  ASSERT_EQ(answers.front(), "objects 0 3");
  TempDir dir;
  recording.Save(dir / "token.txt");
  live.CloseToken();

  ReplayReader replay(dir / "token.txt");
  EXPECT_EQ(Ask(replay, cert.subjectDer(), id), answers);
  EXPECT_EQ(replay.Unmatched(), std::vector<std::string>{});
  // Less room than recorded: the first handles the token listed.
  std::array<CK_OBJECT_HANDLE, 2> two{};
  int32_t count = 0;
  EXPECT_TRUE(replay.FindAllObjects(two, &count).ok());
  EXPECT_EQ(count, 2);
  EXPECT_EQ(std::to_string(two[1]), answers[1 + 5]);
  // A call never recorded fails and is named.
  bool inUse = true;
  EXPECT_EQ(replay.IdentifierInUse(toBytes("other"), &inUse), CKR_GENERAL_ERROR);
  EXPECT_FALSE(inUse);
  EXPECT_EQ(replay.Unmatched(), std::vector<std::string>{"in-use x6f74686572"});
}

// Every kind of line read and written back unchanged.
TEST(RecordedReader, TextIsReadAndWrittenBackUnchanged) {
  const std::string text =
      "token-reader-recording 1\n"
      "objects 16 ok 3 1 2 3\n"
      "objects 32 failed -1 x6572726f72\n"
      "lengths 2 0x0,0x11 0x12 8 -\n"
      "values 2 0x0,0x11 0x0 x0300000000000000 x\n"
      "values 2 0x102 0xb3\n"
      "keys 0x3 - x01 8 0x0 1 2\n"
      "keys 0x3 x3000 x01 8 0x30 0\n"
      "class-id 0x1 x01 4 0x0 1 1\n"
      "in-use x01 0x0 yes\n";
  EXPECT_EQ(ReaderRecording::Parse(text).Text(), text);
}

TEST(RecordedReader, DamagedRecordingIsRefusedNamingTheLine) {
  const std::string head = "token-reader-recording 1\n";
  struct Case {
    std::string text;
    std::string error;
  } cases[] = {
      {"", "recording is empty"},
      {"token-reader-recording 2\n", "line 1: not"},
      {head + "\n", "line 2: empty kind"},
      {head + "tokens 1\n", "unknown kind"},
      {head + "objects 4 ok 2 7\n", "line 2: no handle"},
      {head + "objects 1 ok 2 7 8\n", "2 handles where there was room for 1"},
      {head + "objects 4 ok 1 7 8\n", "more fields"},
      {head + "objects 4 ok 1 7 \n", "a space at the end"},
      {head + "objects 4 failed 0 x\n", "code 0"},
      {head + "objects 4 failed -1 x6\n", "odd number"},
      {head + "in-use x0g 0x0 no\n", "no hexadecimal digit"},
      {head + "in-use 01 0x0 no\n", "does not start with x"},
      {head + "in-use x01 0 no\n", "0x-prefixed"},
      {head + "in-use x01 0x0 maybe\n", "neither yes nor no"},
      {head + "in-use x01 0x0 no\nin-use x01 0x0 yes\n", "line 3: a second answer"},
      {head + "lengths 5 0x0,0x102 0x0 4\n", "1 answers for 2 attribute types"},
      {head + "lengths 5 0x0 0x0 18446744073709551615\n", "unavailable length"},
      {head + "values 5 0x0 0xb3 x01\n", "attribute answers after"},
      {head + "lengths 5 0x0,,0x1 0x0 4 4\n", "attribute type is not"},
      {head + "keys 0x3 - x01 8 0x0 1 99999999999999999999999\n", "within range"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    try {
      (void)ReaderRecording::Parse(c.text);
      ADD_FAILURE() << "accepted";
    } catch (const Error& e) {
      EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
    }
  }
}

}  // namespace
