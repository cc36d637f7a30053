#include "KMySql.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "KXmlNodeList.h"
#include "NCanUtils.h"
#include "Report.h"

namespace {

// Option numbers of mysql_options, the same in MySQL's and MariaDB's
// libraries.
enum : int { cOptConnectTimeout = 0, cOptReadTimeout = 11, cOptWriteTimeout = 12 };

} // namespace

KMySql::KMySql()
    : mMySql(nullptr), mOpened(false), mTransactions(true), mLastError(0) {
  std::snprintf(mHost, sizeof(mHost), "localhost");
  std::snprintf(mUser, sizeof(mUser), "pi");
  std::snprintf(mPassword, sizeof(mPassword), "quillfern");
  std::snprintf(mDatabase, sizeof(mDatabase), "canlog");
  mSource[0] = 0;
  mLastMessage[0] = 0;
  mStatement[0] = 0;
}

KMySql::~KMySql() { Close(); }

KMySql::TErrorKindEnum KMySql::ErrorKind(unsigned int error) {
  switch (error) {
  // The connection's settings: the server says who may connect to what.
  case 1044: // access denied to the database for the user
  case 1045: // access denied: user or password
  case 1049: // unknown database
  case 1251: // the client cannot speak the server's login protocol
  case 1275: // old password hash refused
  case 1698: // access denied (login by socket owner)
  case 1820: // the password must be set anew first
  case 1862: // password expired
  case 2059: // login plugin not loadable
    return ekSettings;
  // A row that the server refuses on its own, whatever the time.
  case 1048: // column cannot be null
  case 1263: // NULL into a NOT NULL column
  case 1264: // value out of range
  case 1265: // data truncated
  case 1292: // wrong value
  case 1364: // field without default
  case 1366: // wrong integer value
  case 1406: // data too long
  case 1452: // foreign key
  case 1644: // refused by a trigger (SIGNAL)
  case 1690: // value out of range in an expression
  case 3819: // CHECK constraint (MySQL)
  case 4025: // CHECK constraint (MariaDB)
    return ekRow;
  // Everything else says nothing against the rows: the server is down
  // (2002, 2003, 2006, 2013, 1053), busy (1040, 1205, 1213), full (1114,
  // 1021), read-only (1290, 1836), without the table (1146) or the grant
  // (1142, 1143), or answers with an error this list does not know: the
  // rows are kept and sent again.
  default:
    return ekAway;
  }
}

void KMySql::TakeError() {
  mLastError = mMySql != nullptr ? p_mysql_errno(mMySql) : 0;
  std::snprintf(mLastMessage, sizeof(mLastMessage), "%s",
                mMySql != nullptr ? p_mysql_error(mMySql) : "no connection");
}

bool KMySql::Open() {
  if (!LoadSo())
    return false;
  if (mMySql == nullptr) {
    mMySql = p_mysql_init(nullptr);
    if (mMySql == nullptr) {
      NReport::Failure("mysql_init: no memory for a connection\n");
      return false;
    }
    // A host that takes the packets and never answers must not hold the
    // connect or a statement for the kernel's minutes.
    if (p_mysql_options != nullptr) {
      unsigned int connectWait = cConnectWait, readWait = cReadWait, writeWait = cWriteWait;
      p_mysql_options(mMySql, cOptConnectTimeout, &connectWait);
      p_mysql_options(mMySql, cOptReadTimeout, &readWait);
      p_mysql_options(mMySql, cOptWriteTimeout, &writeWait);
    }
  }
  if (!mOpened) {
    if (p_mysql_real_connect(mMySql, mHost, mUser, mPassword, mDatabase, 0, nullptr, 0) == nullptr) {
      TakeError();
      PrintError("mysql_real_connect");
      p_mysql_close(mMySql);
      mMySql = nullptr;
      return false;
    }
    mOpened = true;
    mLastError = 0;
    if (mTransactions && !Query("SET autocommit=0")) {
      Close();
      return false;
    }
  }
  return Opened();
}

void KMySql::Close() {
  if (mMySql != nullptr)
    p_mysql_close(mMySql);
  mMySql = nullptr;
  mOpened = false;
}

void KMySql::FormStatement(const KCanFrame* frames, int count, char* out, std::size_t size) const {
  NCanUtils::FormInsertStatement(frames, count, mSource, out, size);
}

bool KMySql::Query(const char* sql) {
  if (!Opened())
    return false;
  if (p_mysql_query(mMySql, sql) == 0)
    return true;
  TakeError();
  PrintError("mysql_query");
  return false;
}

bool KMySql::LogFrame(const KCanFrame& frame) {
  if (!Opened())
    return false;
  int done = 0, span = 0;
  const TStoreEnum stored = Store(&frame, 1, done, span);
  if (stored == stRefused)
    NReport::Failure("mysql_query: %s\n", mLastMessage);
  return stored == stStored;
}

void KMySql::Rollback() {
  if (p_mysql_query(mMySql, "ROLLBACK") != 0) {
    // A connection that cannot even take that back is of no more use.
    p_mysql_close(mMySql);
    mMySql = nullptr;
    mOpened = false;
  }
}

bool KMySql::InsertRows(const KCanFrame* frames, int count, int& failedAt, int& failedRows) {
  for (int i = 0; i < count; i += cMaxBatchRows) {
    const int n = count - i < cMaxBatchRows ? count - i : cMaxBatchRows;
    failedAt = i;
    failedRows = n;
    FormStatement(frames + i, n);
    if (p_mysql_query(mMySql, mStatement) != 0) {
      TakeError();
      return false;
    }
    if (p_mysql_warning_count == nullptr || p_mysql_warning_count(mMySql) == 0)
      continue;
    // INSERT IGNORE turns a row's error into a warning: a row already
    // stored (1062) is what IGNORE is for; a value or constraint warning
    // means a row stored altered or not at all.
    if (p_mysql_query(mMySql, "SHOW WARNINGS") != 0) {
      TakeError();
      return false;
    }
    MYSQL_RES* res = p_mysql_store_result(mMySql);
    bool bad = false;
    while (MYSQL_ROW row = res != nullptr ? p_mysql_fetch_row(res) : nullptr) {
      if (bad || p_mysql_num_fields(res) < 3 || row[1] == nullptr)
        continue;
      const unsigned int code = static_cast<unsigned int>(std::strtoul(row[1], nullptr, 10));
      if (ErrorKind(code) != ekRow)
        continue; // a note on the statement, not on a row
      bad = true;
      mLastError = code;
      std::snprintf(mLastMessage, sizeof(mLastMessage), "%s", row[2] != nullptr ? row[2] : row[1]);
    }
    if (res != nullptr && p_mysql_free_result != nullptr)
      p_mysql_free_result(res);
    if (bad)
      return false;
  }
  return true;
}

KMySql::TStoreEnum KMySql::Store(const KCanFrame* frames, int count, int& done, int& span) {
  done = 0;
  span = 0;
  if (!Opened()) {
    mLastError = 2006;
    std::snprintf(mLastMessage, sizeof(mLastMessage), "no connection");
    return stAway;
  }
  int failedAt = 0, failedRows = 0;
  if (InsertRows(frames, count, failedAt, failedRows)) {
    if (p_mysql_query(mMySql, "COMMIT") == 0) {
      done = count;
      return stStored;
    }
    TakeError();
    Close();
    return stAway;
  }
  const unsigned int error = mLastError;
  char message[cFieldSize];
  std::snprintf(message, sizeof(message), "%s", mLastMessage);
  Rollback();
  if (ErrorKind(error) != ekRow) {
    Close();
    mLastError = error;
    std::snprintf(mLastMessage, sizeof(mLastMessage), "%s", message);
    return stAway;
  }
  // The rows before the refused statement were taken: again, and for good.
  int again = 0, againRows = 0;
  if (failedAt > 0 && (!Opened() || !InsertRows(frames, failedAt, again, againRows) ||
                       p_mysql_query(mMySql, "COMMIT") != 0)) {
    if (Opened())
      TakeError();
    Close();
    return stAway;
  }
  mLastError = error;
  std::snprintf(mLastMessage, sizeof(mLastMessage), "%s", message);
  done = failedAt;
  span = failedRows;
  return stRefused;
}

MYSQL_RES* KMySql::GetMySqlRes() { return mOpened ? p_mysql_store_result(mMySql) : nullptr; }

void KMySql::PrintError(const char* what) {
  NReport::Failure("%s: %s\n", what,
              mMySql != nullptr && p_mysql_error != nullptr ? p_mysql_error(mMySql) : "no connection");
}
