// The HTTP request output: one request per frame, its request line made
// from the URL template (a whole request line with exactly one "%s", where
// the frame's variables go).
#pragma once

#include <cstddef>

#include "KFrameOutput.h"
#include "NCanUtils.h"
#include "TellTrail.h"

class KTcpCanClient;

// The URL template holds a whole request line with exactly one "%s", where
// the frame's variables go; any other '%' must be "%%" (a percent sign).
bool UrlTemplateValid(const char* urlTemplate);
// Writes the template with "%s" replaced by `variables` and "%%" by '%' into
// `out` (`size` bytes with the terminating zero). False, with `out` holding
// an empty text, when the request does not fit or the template is not valid.
bool FillUrlTemplate(const char* urlTemplate, const char* variables, char* out, std::size_t size);

class KTemplateOutput : public KFrameOutput {
public:
  enum : int { cBatch = 50 };

  // `urlTemplate` (checked at start-up) and `client` must outlive the
  // output; with `trace` the client echoes each request itself.
  KTemplateOutput(KTcpCanClient& client, const char* urlTemplate, bool trace);

  const char* Name() const override { return "HTTP requests"; }
  void Describe(char* out, std::size_t size) const override;
  // One request per frame, until one does not reach the server: the rest
  // is not tried against it now.
  KDelivery Deliver(const KCanFrame* frames, int count) override;
  void FailureText(char* out, std::size_t size) const override;
  void SetStopEvent(int fd) override;
  int MaxBatch() const override { return cBatch; }
  int ChunkFrames() const override { return 256; }

private:
  KTcpCanClient& mClient;
  const char* mTemplate;
  bool mTrace;
  char mVariables[cLineSize];
  char mRequest[cRequestSize];
  char mTooLong[80]; // why the last frame was refused before sending it
};
