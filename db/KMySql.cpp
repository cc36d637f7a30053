#include "KMySql.h"

#include <cstdio>
#include <cstring>
#include <dlfcn.h>

#include "KXmlNodeList.h"
#include "NCanUtils.h"

void* LoadSoInstance = nullptr;

MYSQL* (*p_mysql_init)(MYSQL*) = nullptr;
unsigned int (*p_mysql_errno)(MYSQL*) = nullptr;
const char* (*p_mysql_error)(MYSQL*) = nullptr;
MYSQL* (*p_mysql_real_connect)(MYSQL*, const char*, const char*, const char*, const char*,
                               unsigned int, const char*, unsigned long) = nullptr;
int (*p_mysql_select_db)(MYSQL*, const char*) = nullptr;
int (*p_mysql_query)(MYSQL*, const char*) = nullptr;
int (*p_mysql_send_query)(MYSQL*, const char*, unsigned long) = nullptr;
int (*p_mysql_real_query)(MYSQL*, const char*, unsigned long) = nullptr;
MYSQL_RES* (*p_mysql_store_result)(MYSQL*) = nullptr;
MYSQL_RES* (*p_mysql_use_result)(MYSQL*) = nullptr;
void (*p_mysql_close)(MYSQL*) = nullptr;
my_ulonglong (*p_mysql_num_rows)(MYSQL_RES*) = nullptr;
unsigned int (*p_mysql_num_fields)(MYSQL_RES*) = nullptr;
my_bool (*p_mysql_eof)(MYSQL_RES*) = nullptr;
MYSQL_FIELD* (*p_mysql_fetch_field_direct)(MYSQL_RES*, unsigned int) = nullptr;
MYSQL_FIELD* (*p_mysql_fetch_fields)(MYSQL_RES*) = nullptr;
MYSQL_ROW_OFFSET (*p_mysql_row_tell)(MYSQL_RES*) = nullptr;
MYSQL_FIELD_OFFSET (*p_mysql_field_tell)(MYSQL_RES*) = nullptr;
MYSQL_ROW (*p_mysql_fetch_row)(MYSQL_RES*) = nullptr;
int (*p_mysql_options)(MYSQL*, int, const void*) = nullptr;
void (*p_mysql_free_result)(MYSQL_RES*) = nullptr;

namespace {

const char cLibraryName[] = "libmysqlclient.so";

// One entry point: its name and how its pointer is set from dlsym's result.
struct KBinding {
  const char* mName;
  void (*mSet)(void* symbol);
  bool (*mBound)();
};

#define TT_BINDING(name)                                                                       \
  {                                                                                            \
    #name, [](void* s) { p_##name = reinterpret_cast<decltype(p_##name)>(s); },              \
        []() { return p_##name != nullptr; }                                                   \
  }

const KBinding lBindings[] = {
    TT_BINDING(mysql_init),          TT_BINDING(mysql_errno),
    TT_BINDING(mysql_error),         TT_BINDING(mysql_real_connect),
    TT_BINDING(mysql_select_db),     TT_BINDING(mysql_query),
    TT_BINDING(mysql_send_query),    TT_BINDING(mysql_real_query),
    TT_BINDING(mysql_store_result),  TT_BINDING(mysql_use_result),
    TT_BINDING(mysql_close),         TT_BINDING(mysql_num_rows),
    TT_BINDING(mysql_num_fields),    TT_BINDING(mysql_eof),
    TT_BINDING(mysql_fetch_field_direct), TT_BINDING(mysql_fetch_fields),
    TT_BINDING(mysql_row_tell),      TT_BINDING(mysql_field_tell),
    TT_BINDING(mysql_fetch_row),
};

#undef TT_BINDING

// Client error codes after which the server has dropped the open
// transaction: the connection is gone (server gone away, lost during a
// query, lost with details), or the server rolled it back (deadlock).
bool TransactionLost(unsigned int error) {
  return error == 2006 || error == 2013 || error == 2055 || error == 1213;
}

// Copies a connection parameter into its field; refuses one that does not
// fit rather than cutting it. `what` names it in the message.
bool CopyParam(char* field, const char* value, const char* what) {
  if (std::strlen(value) >= static_cast<std::size_t>(KMySql::cFieldSize)) {
    std::printf("%s too long (more than %d characters)\n", what, KMySql::cFieldSize - 1);
    return false;
  }
  std::snprintf(field, KMySql::cFieldSize, "%s", value);
  return true;
}

} // namespace

bool LoadSo() {
  if (LoadSoInstance != nullptr) {
    for (const KBinding& b : lBindings)
      if (!b.mBound())
        return false;
    return true;
  }
  LoadSoInstance = dlopen(cLibraryName, RTLD_NOW);
  if (LoadSoInstance == nullptr) {
    std::printf("%s not found\n", cLibraryName);
    return false;
  }
  for (const KBinding& b : lBindings) {
    void* symbol = dlsym(LoadSoInstance, b.mName);
    if (symbol == nullptr) {
      std::printf("mysql methode \"%s\" not loaded\n", b.mName);
      return false;
    }
    b.mSet(symbol);
  }
  p_mysql_options = reinterpret_cast<decltype(p_mysql_options)>(dlsym(LoadSoInstance, "mysql_options"));
  p_mysql_free_result =
      reinterpret_cast<decltype(p_mysql_free_result)>(dlsym(LoadSoInstance, "mysql_free_result"));
  return true;
}

KMySql::KMySql()
    : mMySql(nullptr), mOpened(false), mRowsPerCommit(cDefaultRowsPerCommit),
      mBatchRows(cMaxBatchRows), mUncommitted(0), mQueued(0), mBatchCount{} {
  std::snprintf(mHost, sizeof(mHost), "localhost");
  std::snprintf(mUser, sizeof(mUser), "pi");
  std::snprintf(mPassword, sizeof(mPassword), "quillfern");
  std::snprintf(mDatabase, sizeof(mDatabase), "canlog");
  mStatement[0] = 0;
}

KMySql::~KMySql() { Close(); }

bool KMySql::SetHost(const char* host) { return CopyParam(mHost, host, "mysql host"); }

bool KMySql::GetXmlParams(const KXmlNode* root) {
  struct {
    char* mField;
    const char* mElement;
    const char* mAttr;
    const char* mFallbackElement;
    const char* mFallbackAttr;
  } params[] = {
      {mHost, "mysql", "Host", "ip_address", "Name"},
      {mUser, "mysql", "User", nullptr, nullptr},
      {mPassword, "mysql", "Password", "mysql", "PW"},
      {mDatabase, "mysql", "DB", "mysql", "Database"},
  };
  if (root != nullptr) {
    for (const auto& p : params) {
      const char* element = p.mElement;
      const char* attr = p.mAttr;
      const char* value = root->FindNodeAttr(element, attr);
      if (value == nullptr && p.mFallbackElement != nullptr) {
        element = p.mFallbackElement;
        attr = p.mFallbackAttr;
        value = root->FindNodeAttr(element, attr);
      }
      char what[64];
      std::snprintf(what, sizeof(what), "%s/%s", element, attr);
      if (value != nullptr && !CopyParam(p.mField, value, what))
        return false;
    }
  }
  if (Open()) {
    Close();
    return true;
  }
  // The password stays out of the console and the service log.
  std::printf("can not open database \"%s\" (Host: %s  User: %s,  Password: ***)\n", mDatabase,
              mHost, mUser);
  return false;
}

bool KMySql::Open() {
  if (!LoadSo())
    return false;
  if (mMySql == nullptr) {
    mMySql = p_mysql_init(nullptr);
    if (mMySql == nullptr) {
      std::printf("mysql_init: no memory for a connection\n");
      return false;
    }
  }
  if (!mOpened) {
    if (p_mysql_real_connect(mMySql, mHost, mUser, mPassword, mDatabase, 0, nullptr, 0) == nullptr) {
      PrintError("mysql_real_connect");
      p_mysql_close(mMySql);
      mMySql = nullptr;
      return false;
    }
    mOpened = true;
    mUncommitted = 0;
    DropQueue();
    if (mRowsPerCommit > 0 && !Query("SET autocommit=0")) {
      Close();
      return false;
    }
  }
  return Opened();
}

void KMySql::Close() {
  if (mMySql != nullptr) {
    if (mOpened)
      Commit();
    p_mysql_close(mMySql);
  }
  mMySql = nullptr;
  mOpened = false;
  mUncommitted = 0;
  DropQueue();
}

void KMySql::DropQueue() {
  for (int& count : mBatchCount)
    count = 0;
  mQueued = 0;
}

bool KMySql::CheckTransactionLost(int failed) {
  if (!TransactionLost(p_mysql_errno(mMySql)))
    return false;
  if (mRowsPerCommit > 0 && mUncommitted + failed > 0)
    std::printf("mysql transaction lost: %d rows not stored\n", mUncommitted + failed);
  mUncommitted = 0;
  return true;
}

bool KMySql::Send(const char* sql, int rows) {
  if (p_mysql_query(mMySql, sql) == 0) {
    if (mRowsPerCommit > 0)
      mUncommitted += rows;
    return true;
  }
  PrintError("mysql_query");
  CheckTransactionLost(rows);
  return false;
}

bool KMySql::Flush(int length) {
  int n = mBatchCount[length];
  if (n == 0)
    return true;
  mBatchCount[length] = 0;
  mQueued -= n;
  const KCanFrame* frames = mBatch[length];
  char one[cLineSize];
  if (n == 1) {
    frames[0].FormMySqlInsert(one, sizeof(one));
    return Send(one, 1);
  }
  // "INSERT can_log(<columns>) VALUES(<row 1>),(<row 2>),...;": every frame
  // of one length names the same columns.
  std::size_t used = 0;
  for (int i = 0; i < n; ++i) {
    frames[i].FormMySqlInsert(one, sizeof(one));
    const char* values = std::strstr(one, ") VALUES(");
    if (values == nullptr)
      return false;
    values += 8; // the values' opening parenthesis
    std::size_t valuesLength = std::strlen(values) - 1; // without ';'
    if (i == 0) {
      used = static_cast<std::size_t>(values - one);
      std::memcpy(mStatement, one, used);
    } else {
      mStatement[used++] = ',';
    }
    std::memcpy(mStatement + used, values, valuesLength);
    used += valuesLength;
  }
  mStatement[used++] = ';';
  mStatement[used] = 0;
  if (p_mysql_query(mMySql, mStatement) == 0) {
    mUncommitted += n;
    return true;
  }
  if (TransactionLost(p_mysql_errno(mMySql))) {
    PrintError("mysql_query");
    CheckTransactionLost(n);
    return false;
  }
  // Refused as a whole: every row on its own, so that only the rows the
  // server refuses are lost, each with its message.
  bool ok = true;
  for (int i = 0; i < n; ++i) {
    frames[i].FormMySqlInsert(one, sizeof(one));
    if (p_mysql_query(mMySql, one) == 0) {
      ++mUncommitted;
      continue;
    }
    ok = false;
    PrintError("mysql_query");
    if (CheckTransactionLost(n - i))
      break;
  }
  return ok;
}

bool KMySql::FlushAll() {
  bool ok = true;
  for (int length = 0; length < cLengths; ++length)
    ok = Flush(length) && ok;
  return ok;
}

bool KMySql::Commit() {
  bool ok = FlushAll();
  if (mUncommitted == 0)
    return ok;
  int rows = mUncommitted;
  mUncommitted = 0;
  if (p_mysql_query(mMySql, "COMMIT") == 0)
    return ok;
  std::printf("mysql commit: %s (%d rows not stored)\n", p_mysql_error(mMySql), rows);
  return false;
}

bool KMySql::Query(const char* sql) {
  if (!Opened())
    return false;
  if (p_mysql_query(mMySql, sql) == 0)
    return true;
  PrintError("mysql_query");
  CheckTransactionLost(0);
  return false;
}

bool KMySql::LogFrame(const KCanFrame& frame) {
  if (!Opened())
    return false;
  if (mRowsPerCommit <= 0 || mBatchRows <= 1) {
    // One statement per frame.
    char sql[cStatementSize];
    frame.FormMySqlInsert(sql, sizeof(sql));
    if (!Send(sql, 1))
      return false;
    return mRowsPerCommit <= 0 || mUncommitted < mRowsPerCommit || Commit();
  }
  int length = frame.SafeLen();
  mBatch[length][mBatchCount[length]++] = frame;
  ++mQueued;
  bool ok = true;
  if (mBatchCount[length] >= mBatchRows || mBatchCount[length] >= cMaxBatchRows)
    ok = Flush(length);
  if (mUncommitted + mQueued >= mRowsPerCommit)
    ok = Commit() && ok;
  return ok;
}

MYSQL_RES* KMySql::GetMySqlRes() { return mOpened ? p_mysql_store_result(mMySql) : nullptr; }

void KMySql::PrintError(const char* what) {
  std::printf("%s: %s\n", what,
              mMySql != nullptr && p_mysql_error != nullptr ? p_mysql_error(mMySql) : "no connection");
}
