#include "KPutOutput.h"

#include <cstdio>
#include <cstring>

#include "KTcpCanClient.h"

KPutOutput::KPutOutput(KTcpCanClient& client, const char* header)
    : mClient(client), mHeader(header != nullptr ? header : ""), mBatch(std::make_unique<char[]>(cHttpPutSize)) {
  mBatch[0] = 0;
  const std::size_t length = std::strlen(mHeader) + 4;
  mResendHead = std::make_unique<char[]>(length);
  std::snprintf(mResendHead.get(), length, "%s;\r\n", mHeader);
}

void KPutOutput::Describe(char* out, std::size_t size) const {
  // The header line may be a board's key: it is not shown.
  std::snprintf(out, size, "HTTP PUT batches to http://%s/put_can_log.php", mClient.mRemoteHost);
}

KFrameOutput::KDelivery KPutOutput::Deliver(const KCanFrame* frames, int count) {
  KDelivery d;
  int n = std::snprintf(mBatch.get(), cHttpPutSize, "%s;\r\n", mHeader);
  if (n < 0 || n > cMaxPutHeaderLength + 3) {
    // Checked at start-up: cannot happen. Nothing is sent, nothing lost.
    d.mResult = dlSettings;
    return d;
  }
  std::size_t length = static_cast<std::size_t>(n);
  int taken = 0;
  char statement[cLineSize];
  while (taken < count && length <= static_cast<std::size_t>(cPutTrigger)) {
    frames[taken].FormMySqlInsert(statement, sizeof(statement));
    std::size_t s = std::strlen(statement);
    // Below the trigger a statement always fits (see cPutTrigger).
    std::memcpy(mBatch.get() + length, statement, s);
    std::memcpy(mBatch.get() + length + s, "\r\n", 3);
    length += s + 2;
    ++taken;
  }
  if (mClient.PutHttpStream(mBatch.get())) {
    d.mDone = taken;
    return d;
  }
  // The receiver stores a batch whole or not at all: a batch it refuses
  // for what it holds is narrowed down by the forwarder; any other refusal
  // (403, 404, 5xx...) says nothing against the frames.
  if (mClient.Failure() == KTcpCanClient::fkStatus && HttpStatusKind(mClient.StatusCode()) == dlRefused) {
    d.mResult = dlRefused;
    d.mSpan = taken;
  } else {
    d.mResult = dlUnreachable;
    d.mConnectFailed = mClient.NotReached();
  }
  return d;
}

void KPutOutput::FailureText(char* out, std::size_t size) const { mClient.FailureText(out, size); }


void KPutOutput::SetStopEvent(int fd) { mClient.SetStopEvent(fd); }

void KPutOutput::ResendText(const KCanFrame& frame, char* out, std::size_t size) const {
  frame.FormMySqlInsert(out, size);
  const std::size_t used = std::strlen(out);
  if (used + 2 < size)
    std::memcpy(out + used, "\r\n", 3);
}
