#include "ForwardingSinks.h"

#include <cstdio>
#include <cstring>

#include "KTcpCanClient.h"

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

KForwardingSinks::KForwardingSinks(const KRunSettings& settings, KCanServer& server, KMySql* mySql,
                                   KTcpCanClient* client)
    : mSettings(settings), mServer(server), mMySql(mySql), mClient(client), mBatchFrames(0) {
  mText[0] = 0;
  mRequest[0] = 0;
}

bool KForwardingSinks::Frame(const KCanFrame& frame) {
  if (mSettings.mMySql && mMySql != nullptr && !MySqlFrame(frame))
    return false;
  if (PutActive())
    PutFrame(frame);
  else if (GetActive())
    GetFrame(frame);
  return true;
}

bool KForwardingSinks::MySqlFrame(const KCanFrame& frame) {
  // The connection is opened by the first frame of a period. When that
  // fails, the library's message is out and the run ends after this period.
  if (!mMySql->Opened())
    mMySql->Open();
  if (!mMySql->Opened()) {
    mServer.Terminate();
    return false;
  }
  // A statement that fails is reported by the session; the next frame goes on.
  mMySql->LogFrame(frame);
  return true;
}

void KForwardingSinks::PutFrame(const KCanFrame& frame) {
  if (HttpLen == 0) {
    // A new batch begins with the header line. The header's length was
    // checked at start-up (cMaxPutHeaderLength).
    int n = std::snprintf(::HttpPut, cHttpPutSize, "%s;\r\n", mSettings.mPutHeader);
    if (n < 0 || n > cMaxPutHeaderLength + 3) {
      std::printf("HTTP PUT batch full: frame %u not forwarded\n", frame.mCounter);
      return;
    }
    HttpLen = static_cast<uint32_t>(n);
    mBatchFrames = 0;
  }
  frame.FormMySqlInsert(mText, sizeof(mText));
  std::size_t length = std::strlen(mText);
  // Below the trigger a statement always fits (see cPutTrigger); the bound
  // stays all the same.
  if (HttpLen + length + 2 >= static_cast<std::size_t>(cHttpPutSize)) {
    std::printf("HTTP PUT batch full: frame %u not forwarded\n", frame.mCounter);
    return;
  }
  std::memcpy(::HttpPut + HttpLen, mText, length);
  std::memcpy(::HttpPut + HttpLen + length, "\r\n", 3);
  HttpLen += static_cast<uint32_t>(length + 2);
  ++mBatchFrames;
  if (HttpLen > static_cast<uint32_t>(cPutTrigger)) {
    SendBatch();
    // Sent or not, the next frame starts a new batch with the header line.
    HttpLen = 0;
  }
}

void KForwardingSinks::SendBatch() {
  if (!mClient->PutHttpStream(::HttpPut))
    std::printf("HTTP server not connected: %u frames not forwarded\n", mBatchFrames);
  mBatchFrames = 0;
}

void KForwardingSinks::GetFrame(const KCanFrame& frame) {
  frame.FormHttpVariables(mText, sizeof(mText));
  // The template is never used as a format: its one "%s" is replaced here,
  // within the request text's bounds.
  if (!FillUrlTemplate(mSettings.mUrlTemplate, mText, mRequest, sizeof(mRequest))) {
    std::printf("HTTP request too long (more than %d characters): frame %u not forwarded\n",
                cRequestSize - 1, frame.mCounter);
    return;
  }
  int length = 0;
  if (!mClient->ReadHttpStream(nullptr, length, mRequest)) {
    std::printf("HTTP server not connected\n");
    // With the trace switch on, the client has echoed what it sent and the
    // frame's line is shown anyway.
    if (!mSettings.mTrace)
      std::printf("==> %s\n", mRequest);
  }
}

void KForwardingSinks::EndPeriod() {
  if (mSettings.mMySql && mMySql != nullptr && mMySql->Opened())
    mMySql->Close();
  // The batch is not emptied here: the next period starts a new one, so a
  // batch that was not taken is not sent again.
  if (PutActive() && HttpLen != 0)
    SendBatch();
}
