#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "KTemplateOutput.h"

namespace {

TEST(UrlTemplate, ExactlyOneStringConversionIsAccepted) {
  struct {
    const char* urlTemplate;
    bool valid;
  } cases[] = {
      {"GET /log.php?%s HTTP/1.1", true},
      {"GET /log.php?rate=100%%&%s HTTP/1.1", true},
      {"GET /log.php?%%%s HTTP/1.1", true},
      {"%s", true},
      {"GET /log.php?%%s HTTP/1.1", false}, // a literal "%s", no conversion
      {"GET /log.php HTTP/1.1", false},
      {"GET /log.php?%s&%s HTTP/1.1", false},
      {"GET /log.php?%s%n HTTP/1.1", false},
      {"GET /log.php?n=%d&%s HTTP/1.1", false},
      {"GET /log.php?%10s HTTP/1.1", false},
      {"GET /log.php?%-s HTTP/1.1", false},
      {"GET /log.php?%S HTTP/1.1", false},
      {"GET /log.php?%s HTTP/1.1%", false},
      {"", false},
      {nullptr, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.urlTemplate != nullptr ? c.urlTemplate : "(null)");
    EXPECT_EQ(UrlTemplateValid(c.urlTemplate), c.valid);
  }
}

TEST(UrlTemplate, FilledWithoutInterpretingTheVariables) {
  char out[cRequestSize];
  ASSERT_TRUE(FillUrlTemplate("GET /log.php?%s&rate=5%% HTTP/1.1", "counter=17&can_id=384", out,
                              sizeof(out)));
  EXPECT_STREQ(out, "GET /log.php?counter=17&can_id=384&rate=5% HTTP/1.1");
  // The variables are copied as they are, conversions and all.
  ASSERT_TRUE(FillUrlTemplate("GET /x?%s HTTP/1.1", "a=%n%s%%", out, sizeof(out)));
  EXPECT_STREQ(out, "GET /x?a=%n%s%% HTTP/1.1");
  // A template that is not valid fills nothing.
  EXPECT_FALSE(FillUrlTemplate("GET /x?%s%n HTTP/1.1", "a=1", out, sizeof(out)));
  EXPECT_STREQ(out, "");
}

TEST(UrlTemplate, RequestLongerThanTheRequestTextIsRefusedWithoutOverrun) {
  const std::string head = "GET /log.php?";
  const std::string tail = " HTTP/1.1";
  const std::string urlTemplate = head + "%s" + tail;
  // Request text in the middle of a larger buffer whose guard bytes must
  // stay untouched.
  char buffer[cRequestSize + 64];
  char* out = buffer + 32;
  for (std::size_t room : {std::size_t(0), std::size_t(1)}) {
    // Variables that make the request exactly 511 characters, then 512.
    std::string variables(cRequestSize - 1 - head.size() - tail.size() + 1 - room, 'v');
    std::memset(buffer, 'G', sizeof(buffer));
    bool fits = FillUrlTemplate(urlTemplate.c_str(), variables.c_str(), out, cRequestSize);
    SCOPED_TRACE(head.size() + variables.size() + tail.size());
    EXPECT_EQ(fits, room == 1);
    EXPECT_EQ(std::strlen(out), fits ? std::size_t(cRequestSize - 1) : 0u);
    for (int i = 0; i < 32; ++i) {
      EXPECT_EQ(buffer[i], 'G');
      EXPECT_EQ(buffer[32 + cRequestSize + i], 'G');
    }
  }
  // The template's own text counts too, also after the variables.
  std::string longTail(cRequestSize, 't');
  EXPECT_FALSE(FillUrlTemplate(("%s" + longTail).c_str(), "a=1", out, cRequestSize));
  EXPECT_STREQ(out, "");
}

} // namespace

// Only a request refused for what it holds counts against its frames;
// every other status keeps them for later.
TEST(HttpStatusKind, OnlyAFaultOfTheRequestRefusesItsFrames) {
  const struct {
    int mStatus;
    KFrameOutput::TDeliveryEnum mKind;
  } cases[] = {
      {200, KFrameOutput::dlTaken},       {204, KFrameOutput::dlTaken},
      {400, KFrameOutput::dlRefused},     {413, KFrameOutput::dlRefused},
      {414, KFrameOutput::dlRefused},     {422, KFrameOutput::dlRefused},
      {301, KFrameOutput::dlUnreachable}, {401, KFrameOutput::dlUnreachable},
      {403, KFrameOutput::dlUnreachable}, {404, KFrameOutput::dlUnreachable},
      {405, KFrameOutput::dlUnreachable}, {408, KFrameOutput::dlUnreachable},
      {429, KFrameOutput::dlUnreachable}, {500, KFrameOutput::dlUnreachable},
      {502, KFrameOutput::dlUnreachable}, {503, KFrameOutput::dlUnreachable},
      {0, KFrameOutput::dlUnreachable},
  };
  for (const auto& c : cases)
    EXPECT_EQ(KFrameOutput::HttpStatusKind(c.mStatus), c.mKind) << c.mStatus;
}
