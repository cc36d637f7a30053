#include "KMySqlOutput.h"

#include <cstdio>

KMySqlOutput::KMySqlOutput(KMySql& db) : mDb(db) {
  // The forwarder reports frames that were not stored, with their count.
  mDb.mReportLost = false;
  mReason[0] = 0;
}

void KMySqlOutput::Describe(char* out, std::size_t size) const {
  std::snprintf(out, size, "mysql database \"%s\" on %s as %s%s%s", mDb.mDatabase, mDb.mHost,
                mDb.mUser, mDb.mSource[0] != 0 ? ", source " : "", mDb.mSource);
}

KFrameOutput::KDelivery KMySqlOutput::Deliver(const KCanFrame* frames, int count) {
  KDelivery d;
  if (!mDb.Opened() && !mDb.Open()) {
    d.mResult = dlUnreachable;
    d.mConnectFailed = true;
    if (mDb.LastError() != 0)
      std::snprintf(mReason, sizeof(mReason), "mysql_real_connect: %s", mDb.LastMessage());
    else
      std::snprintf(mReason, sizeof(mReason), "mysql client library not usable");
    return d;
  }
  int refused = 0;
  if (mDb.Store(frames, count, refused)) {
    d.mDone = count;
    d.mRefused = refused;
    mReason[0] = 0;
    return d;
  }
  d.mResult = dlUnreachable;
  std::snprintf(mReason, sizeof(mReason), "mysql: %s", mDb.LastMessage());
  return d;
}

void KMySqlOutput::FailureText(char* out, std::size_t size) const {
  // Before the first delivery: what the start-up test met.
  if (mReason[0] == 0 && mDb.LastError() != 0)
    std::snprintf(out, size, "mysql_real_connect: %s", mDb.LastMessage());
  else
    std::snprintf(out, size, "%s", mReason);
}
