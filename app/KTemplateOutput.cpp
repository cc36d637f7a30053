#include "KTemplateOutput.h"

#include <cstdio>
#include <cstring>

#include "KTcpCanClient.h"
#include "Report.h"

bool UrlTemplateValid(const char* urlTemplate) {
  if (urlTemplate == nullptr)
    return false;
  int conversions = 0;
  for (const char* p = urlTemplate; *p != 0; ++p) {
    if (*p != '%')
      continue;
    ++p;
    if (*p == '%')
      continue;
    // Any other conversion, flags, widths or a '%' at the very end.
    if (*p != 's')
      return false;
    ++conversions;
  }
  return conversions == 1;
}

bool FillUrlTemplate(const char* urlTemplate, const char* variables, char* out, std::size_t size) {
  if (out == nullptr || size == 0)
    return false;
  out[0] = 0;
  if (!UrlTemplateValid(urlTemplate) || variables == nullptr)
    return false;
  std::size_t used = 0;
  // Appends `length` bytes when they fit with the terminating zero.
  auto append = [&](const char* text, std::size_t length) {
    if (length >= size - used)
      return false;
    std::memcpy(out + used, text, length);
    used += length;
    return true;
  };
  const char* p = urlTemplate;
  while (*p != 0) {
    bool fits;
    if (*p == '%') {
      fits = p[1] == 's' ? append(variables, std::strlen(variables)) : append("%", 1);
      p += 2;
    } else {
      std::size_t run = std::strcspn(p, "%");
      fits = append(p, run);
      p += run;
    }
    if (!fits) {
      out[0] = 0;
      return false;
    }
  }
  out[used] = 0;
  return true;
}

KTemplateOutput::KTemplateOutput(KTcpCanClient& client, const char* urlTemplate, bool trace)
    : mClient(client), mTemplate(urlTemplate), mTrace(trace) {
  mVariables[0] = 0;
  mRequest[0] = 0;
  mTooLong[0] = 0;
}

void KTemplateOutput::Describe(char* out, std::size_t size) const {
  std::snprintf(out, size, "one HTTP request per frame to %s port 80: %s", mClient.mRemoteHost,
                mTemplate);
}

KFrameOutput::KDelivery KTemplateOutput::Deliver(const KCanFrame* frames, int count) {
  KDelivery d;
  for (; d.mDone < count; ++d.mDone) {
    const KCanFrame& frame = frames[d.mDone];
    frame.FormHttpVariables(mVariables, sizeof(mVariables));
    // The template is never used as a format: its one "%s" is replaced here,
    // within the request text's bounds.
    if (!FillUrlTemplate(mTemplate, mVariables, mRequest, sizeof(mRequest))) {
      // This frame can never be sent: it alone is set aside.
      std::snprintf(mTooLong, sizeof(mTooLong), "HTTP request too long (more than %d characters)",
                    cRequestSize - 1);
      d.mResult = dlRefused;
      d.mSpan = 1;
      return d;
    }
    mTooLong[0] = 0;
    int length = 0;
    if (mClient.ReadHttpStream(nullptr, length, mRequest))
      continue;
    const bool refused = mClient.Failure() == KTcpCanClient::fkStatus &&
                         HttpStatusKind(mClient.StatusCode()) == dlRefused;
    if (mClient.Failure() != KTcpCanClient::fkStopped) {
      char reason[256];
      mClient.FailureText(reason, sizeof(reason));
      NReport::Failure("%s\n", mClient.Failure() == KTcpCanClient::fkStatus ? reason : "HTTP server not connected");
      // With the trace switch on, the client has echoed what it sent.
      if (!mTrace)
        NReport::Failure("==> %s\n", mRequest);
    }
    // One request holds one frame: a request refused for what it holds
    // refuses this frame; any other failure (403, 404, 5xx, no answer)
    // says nothing against it.
    d.mResult = refused ? dlRefused : dlUnreachable;
    d.mSpan = refused ? 1 : 0;
    d.mConnectFailed = mClient.NotReached();
    return d;
  }
  return d;
}

void KTemplateOutput::FailureText(char* out, std::size_t size) const {
  if (mTooLong[0] != 0)
    std::snprintf(out, size, "%s", mTooLong);
  else
    mClient.FailureText(out, size);
}


void KTemplateOutput::SetStopEvent(int fd) { mClient.SetStopEvent(fd); }
