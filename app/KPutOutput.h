// The HTTP PUT output: the frames as batches of insert statements, each
// batch the body of one "PUT /put_can_log.php" to the web server: the PUT
// header line and ";", then one statement per frame, lines ended by CR LF.
// A batch is sent once it passes cPutTrigger characters; one exchange, one
// batch.
#pragma once

#include <memory>

#include "KFrameOutput.h"
#include "NCanUtils.h"
#include "TellTrail.h"

class KTcpCanClient;

enum : int {
  // A batch is sent as soon as its text is longer than this.
  cPutTrigger = 498999,
  // Longest PUT header: its line ("<header>;" CR LF) and the longest
  // statement with its CR LF fit in the batch with the terminating zero.
  cMaxPutHeaderLength = cHttpPutSize - 3 - (static_cast<int>(cLineSize) - 1 + 2) - 1,
};
// Below the trigger there is always room for one more statement.
static_assert(cPutTrigger + static_cast<int>(cLineSize) - 1 + 2 < cHttpPutSize,
              "a statement appended below the trigger fits in the batch");

class KPutOutput : public KFrameOutput {
public:
  // `header` (checked at start-up to be at most cMaxPutHeaderLength) and
  // `client` must outlive the output.
  KPutOutput(KTcpCanClient& client, const char* header);
  KPutOutput(const KPutOutput&) = delete;
  KPutOutput& operator=(const KPutOutput&) = delete;

  const char* Name() const override { return "HTTP PUT"; }
  void Describe(char* out, std::size_t size) const override;
  // One batch: the frames that fit up to the trigger.
  KDelivery Deliver(const KCanFrame* frames, int count) override;
  void FailureText(char* out, std::size_t size) const override;
  void SetStopEvent(int fd) override;
  int MaxBatch() const override { return 1 << 20; }
  // rejected.put: a body of the receiver's form (the header line first),
  // to be PUT to it again.
  const char* ResendFile() const override { return "rejected.put"; }
  const char* ResendHead() const override { return mResendHead.get(); }
  void ResendText(const KCanFrame& frame, char* out, std::size_t size) const override;
  // More than one batch holds: a period's frames are split by the trigger.
  int ChunkFrames() const override { return 16384; }

private:
  KTcpCanClient& mClient;
  const char* mHeader;
  std::unique_ptr<char[]> mBatch;      // cHttpPutSize characters
  std::unique_ptr<char[]> mResendHead; // the header line of rejected.put
};
