#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <unistd.h>

#include "KMqttOutput.h"
#include "KMySql.h"
#include "KTcpCanClient.h"
#include "KXmlNodeList.h"
#include "MqttSettings.h"
#include "MqttValues.h"
#include "RunSettings.h"
#include "XmlParser.h"

namespace {

// Reads the settings of `body` (the root's content); the console in `out`.
bool Read(const std::string& body, KMqttSettings& s, std::string& out) {
  char path[] = "/tmp/tt_mqtt_XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0)
    return false;
  std::string text = "<telltrail>" + body + "</telltrail>";
  bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  KParser parser;
  KXmlNode root;
  testing::internal::CaptureStdout();
  bool present = false;
  bool ok = written && parser.ParseFile(path, &root) && ReadMqttSettings(root, s, present);
  out = testing::internal::GetCapturedStdout();
  unlink(path);
  return ok && present;
}

TEST(MqttSettings, BadValuesAreRefusedNamingTheKey) {
  const struct {
    const char* mBody;
    const char* mLine; // start of the console line
  } cases[] = {
      {"<mqtt Port=\"0\"/>", "mqtt/Port refused: 0"},
      {"<mqtt Port=\"65536\"/>", "mqtt/Port refused: 65536"},
      {"<mqtt Port=\"18x3\"/>", "mqtt/Port refused"},
      {"<mqtt Topic=\"a/+/b\"/>", "mqtt/Topic refused"},
      {"<mqtt Topic=\"tele/\"/>", "mqtt/Topic refused"},
      {"<mqtt Qos=\"2\"/>", "mqtt/Qos refused: 2"},
      {"<mqtt Tls=\"yes\"/>", "mqtt/Tls refused"},
      {"<mqtt Tls=\"1\"/>", "mqtt/CaFile refused"},
      {"<mqtt Tls=\"1\" CaFile=\"/nonexistent/ca.crt\"/>", "mqtt/CaFile refused: /nonexistent/ca.crt (ENOENT"},
      {"<mqtt Frames=\"0\"/>", "mqtt/Frames refused"},
      {"<mqtt Node=\"my board\"/>", "mqtt/Node refused"},
      {"<mqtt/><value Name=\"a b\" Index=\"000C\"/>", "value/Name refused"},
      {"<mqtt/><value Name=\"t\" Index=\"1000C\"/>", "value/Index refused"},
      {"<mqtt/><value Name=\"t\"/>", "value/Index refused"},
      {"<mqtt/><value Name=\"t\" Index=\"000C\" Receiver=\"800\"/>", "value/Receiver refused"},
      {"<mqtt/><value Name=\"t\" Index=\"000C\" Scale=\"-1\"/>", "value/Scale refused"},
      {"<mqtt/><value Name=\"t\" Index=\"000C\" Scale=\"0\"/>", "value/Scale refused"},
      {"<mqtt/><value Name=\"t\" Index=\"000C\" Class=\"Temp\"/>", "value/Class refused"},
      {"<mqtt/><value Name=\"t\" Index=\"C\"/><value Name=\"t\" Index=\"D\"/>", "value/Name refused: t (used twice)"},
  };
  for (const auto& c : cases) {
    KMqttSettings s;
    std::string out;
    EXPECT_FALSE(Read(c.mBody, s, out)) << c.mBody;
    EXPECT_EQ(out.rfind(c.mLine, 0), 0u) << c.mBody << " printed " << out;
  }
  // Passwords are never part of a refusal.
  KMqttSettings s;
  std::string out;
  EXPECT_FALSE(Read("<mqtt Password=\"hunter2\" Port=\"x\"/>", s, out));
  EXPECT_EQ(out.find("hunter2"), std::string::npos) << out;
}

KCanFrame Frame(uint32_t id, std::initializer_list<unsigned char> data) {
  KCanFrame f;
  f.mId = id;
  for (unsigned char b : data)
    f.mData[f.mLen++] = b;
  return f;
}

TEST(MqttValues, TelegramsGiveScaledValues) {
  KMqttValue temp; // index 000C, tenths, signed
  temp.mIndex = 0x0C;
  temp.mScaleDecimals = 1;
  temp.mSigned = true;
  const struct {
    KCanFrame mFrame;
    const char* mText; // "" : no value
  } cases[] = {
      {Frame(0x180, {0xD2, 0x00, 0xFA, 0x00, 0x0C, 0x00, 0xF5}), "24.5"},
      {Frame(0x180, {0xD2, 0x00, 0xFA, 0x00, 0x0C, 0xFF, 0x9C}), "-10.0"},
      {Frame(0x180, {0xD2, 0x00, 0xFA, 0x00, 0x0C, 0xFF, 0xFB}), "-0.5"},
      {Frame(0x180, {0xD2, 0x00, 0x0C, 0x00, 0x64}), "10.0"},
      {Frame(0x180, {0xD2, 0x00, 0x0C, 0x00, 0x00, 0x64}), "10.0"},
      {Frame(0x180, {0xD2, 0x00, 0xFA, 0x00, 0x0C, 0x80, 0x00}), ""}, // no value
      {Frame(0x680, {0x31, 0x00, 0xFA, 0x00, 0x0C}), ""},             // read request
      {Frame(0x680, {0x31, 0x00, 0xFA, 0x00, 0x0C, 0x00, 0x10}), ""}, // read request
      {Frame(0x180, {0xD2, 0x00, 0xFA, 0x00, 0x0D, 0x00, 0xF5}), ""}, // other index
      {Frame(0x180, {0xDA, 0x00, 0xFA, 0x00, 0x0C, 0x00, 0xF5}), ""}, // bit 3: no telegram
      {Frame(0x180 | KCanFrame::cExtendedFlag, {0xD2, 0x00, 0xFA, 0x00, 0x0C, 0x00, 0xF5}), ""},
      {Frame(0x180 | KCanFrame::cRemoteFlag, {0xD2, 0x00, 0xFA, 0x00, 0x0C, 0x00, 0xF5}), ""},
  };
  for (const auto& c : cases) {
    KElsterTelegram t;
    std::string got;
    if (DecodeElster(c.mFrame, t) && ValueMatches(temp, c.mFrame.mId, t)) {
      char text[48];
      FormatValue(temp, t.mValue, text, sizeof(text));
      got = text;
    }
    EXPECT_EQ(got, c.mText) << KMqttOutput::FramePayload(c.mFrame);
  }
  // Unsigned, a scale above one with decimals, a receiver asked for.
  KMqttValue energy;
  energy.mIndex = 0x0C;
  energy.mReceiver = 0x681;
  ASSERT_TRUE(ParseScale("2.5", energy.mScaleUnits, energy.mScaleDecimals));
  KElsterTelegram t;
  ASSERT_TRUE(DecodeElster(Frame(0x180, {0xD2, 0x01, 0xFA, 0x00, 0x0C, 0xFF, 0xFF}), t));
  ASSERT_TRUE(ValueMatches(energy, 0x180, t));
  char text[48];
  FormatValue(energy, t.mValue, text, sizeof(text));
  EXPECT_STREQ(text, "163837.5");
  energy.mReceiver = 0x680;
  EXPECT_FALSE(ValueMatches(energy, 0x180, t));
}

TEST(MqttFrames, TopicAndPayload) {
  KCanFrame f = Frame(0x1ABCDE | KCanFrame::cExtendedFlag, {0x01, 0xAB});
  f.mCounter = 4000000000u;
  f.mDays = 9467; // 2025-12-02
  f.mMs = 1234;
  EXPECT_EQ(KMqttOutput::FrameTopic("t/b", f), "t/b/frame/001ABCDE");
  EXPECT_EQ(KMqttOutput::FramePayload(f),
            "{\"ts\":1764633601234,\"n\":4000000000,\"ext\":true,\"rtr\":false,\"len\":2,\"data\":\"01AB\"}");
  KCanFrame r = Frame(0x7 | KCanFrame::cRemoteFlag, {0, 0, 0});
  EXPECT_EQ(KMqttOutput::FrameTopic("t", r), "t/frame/007");
  EXPECT_EQ(KMqttOutput::FramePayload(r),
            "{\"ts\":946684800000,\"n\":0,\"ext\":false,\"rtr\":true,\"len\":3,\"data\":\"\"}");
}

} // namespace
