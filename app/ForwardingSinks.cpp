#include "ForwardingSinks.h"

KForwardingSinks::KForwardingSinks(const KRunSettings& settings, KCanServer& server, KMySql* mySql)
    : mSettings(settings), mServer(server), mMySql(mySql) {}

bool KForwardingSinks::Frame(const KCanFrame& frame) {
  if (mSettings.mMySql && mMySql != nullptr && !MySqlFrame(frame))
    return false;
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

void KForwardingSinks::EndPeriod() {
  if (mSettings.mMySql && mMySql != nullptr && mMySql->Opened())
    mMySql->Close();
}
