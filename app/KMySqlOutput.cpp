#include "KMySqlOutput.h"

#include <cstring>

#include <cstdio>

KMySqlOutput::KMySqlOutput(KMySql& db) : mDb(db) { mReason[0] = 0; }

void KMySqlOutput::Describe(char* out, std::size_t size) const {
  std::snprintf(out, size, "mysql database \"%s\" on %s as %s%s%s", mDb.mDatabase, mDb.mHost,
                mDb.mUser, mDb.mSource[0] != 0 ? ", source " : "", mDb.mSource);
}

KFrameOutput::TDeliveryEnum KMySqlOutput::ConnectFailure() {
  if (mDb.LastError() != 0)
    std::snprintf(mReason, sizeof(mReason), "mysql_real_connect: %s", mDb.LastMessage());
  else
    std::snprintf(mReason, sizeof(mReason), "mysql client library not usable");
  // No library, or a server that says the settings are wrong.
  return mDb.LastError() == 0 || KMySql::ErrorKind(mDb.LastError()) == KMySql::ekSettings
             ? dlSettings
             : dlUnreachable;
}

KFrameOutput::TDeliveryEnum KMySqlOutput::Test() {
  if (mDb.Open()) {
    mDb.Close();
    return dlTaken;
  }
  TDeliveryEnum kind = ConnectFailure();
  if (kind == dlSettings)
    mDb.PrintOpenFailure();
  return kind;
}

KFrameOutput::KDelivery KMySqlOutput::Deliver(const KCanFrame* frames, int count) {
  KDelivery d;
  if (!mDb.Opened() && !mDb.Open()) {
    d.mResult = ConnectFailure();
    d.mConnectFailed = true;
    return d;
  }
  int done = 0, span = 0;
  switch (mDb.Store(frames, count, done, span)) {
  case KMySql::stStored:
    d.mDone = count;
    mReason[0] = 0;
    return d;
  case KMySql::stRefused:
    d.mResult = dlRefused;
    d.mSpan = span;
    break;
  case KMySql::stAway:
    d.mResult = dlUnreachable;
    break;
  }
  d.mDone = done;
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

void KMySqlOutput::ResendText(const KCanFrame& frame, char* out, std::size_t size) const {
  mDb.FormStatement(&frame, 1, out, size);
  const std::size_t n = std::strlen(out);
  if (n + 1 < size) {
    out[n] = '\n';
    out[n + 1] = 0;
  }
}
