// Catching up faster: MariaDB's bulk paths beside the multi-row INSERT the
// database output sends, for one period of a saturated 1 Mbit/s bus at a
// time (9009 eight-byte frames, one transaction each), as a spool drains:
//
//   insert      INSERT IGNORE … VALUES (…),(…) of up to 1000 rows each (the
//               database output's form, statement text)
//   load data   LOAD DATA LOCAL INFILE of the whole period from a memory
//               buffer (the client library's local infile handler; no file)
//   array bind  one prepared INSERT executed with an array of the whole
//               period (MariaDB's STMT_ATTR_ARRAY_SIZE)
//
// Prints rows per second and the server's and this client's CPU time per
// row. Links the MariaDB client library directly (it is a bench, the logger
// loads the library at run time).
//
//   bench_mysql_bulk --socket PATH --server-pid PID [--rows N]
//
// bench/mysql_rate.sh starts a throwaway server and runs it.
#include <mysql.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int cPeriod = 9009;        // frames of one period
constexpr int cRowsPerStatement = 1000;
constexpr long long cFirstTime = 1796688000000LL;

struct KRow {
  unsigned mCounter;
  long long mTime;
  unsigned mCanId;
  unsigned char mData[8];
};

KRow MakeRow(long long n) {
  KRow r{};
  r.mCounter = static_cast<unsigned>(n);
  r.mTime = cFirstTime + n / 9;
  r.mCanId = static_cast<unsigned>(0x100 + n % 40);
  for (int b = 0; b < 8; ++b)
    r.mData[b] = static_cast<unsigned char>((n >> (b % 4 * 8)) + b);
  return r;
}

// The row's values as text: "counter,time,can_id,d0,…,d7" with `sep`.
std::string RowText(const KRow& r, char sep) {
  char text[128];
  int n = std::snprintf(text, sizeof(text), "%u%c%lld%c%u", r.mCounter, sep, r.mTime, sep, r.mCanId);
  for (int b = 0; b < 8; ++b)
    n += std::snprintf(text + n, sizeof(text) - static_cast<std::size_t>(n), "%c%u", sep, r.mData[b]);
  return std::string(text, static_cast<std::size_t>(n));
}

double ServerSeconds(int pid) {
  char path[64];
  std::snprintf(path, sizeof(path), "/proc/%d/stat", pid);
  FILE* f = std::fopen(path, "r");
  if (f == nullptr)
    return 0;
  char buf[1024];
  std::size_t len = std::fread(buf, 1, sizeof(buf) - 1, f);
  std::fclose(f);
  buf[len] = 0;
  const char* p = std::strrchr(buf, ')');
  unsigned long long utime = 0, stime = 0;
  if (p == nullptr || std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) != 2)
    return 0;
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double ClientSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

bool Run(MYSQL* db, const char* sql) {
  if (mysql_query(db, sql) == 0)
    return true;
  std::fprintf(stderr, "bench_mysql_bulk: %s: %s\n", sql, mysql_error(db));
  return false;
}

// --- insert: the database output's statement form.
bool PeriodInsert(MYSQL* db, const std::vector<KRow>& rows) {
  const char* head = "INSERT IGNORE INTO can_log (counter,`timestamp`,can_id,d0,d1,d2,d3,d4,d5,d6,d7) VALUES ";
  for (std::size_t i = 0; i < rows.size(); i += cRowsPerStatement) {
    std::string sql = head;
    for (std::size_t k = i; k < rows.size() && k < i + cRowsPerStatement; ++k) {
      sql += k == i ? "(" : ",(";
      sql += RowText(rows[k], ',');
      sql += ')';
    }
    if (!Run(db, sql.c_str()))
      return false;
  }
  return true;
}

// --- load data: the period as tab-separated text, read from memory.
struct KBuffer {
  std::string mText;
  std::size_t mAt = 0;
};
KBuffer gBuffer;

int InfileInit(void** ptr, const char*, void* userdata) {
  *ptr = userdata;
  static_cast<KBuffer*>(userdata)->mAt = 0;
  return 0;
}
int InfileRead(void* ptr, char* buf, unsigned int length) {
  auto* b = static_cast<KBuffer*>(ptr);
  std::size_t n = std::min<std::size_t>(length, b->mText.size() - b->mAt);
  std::memcpy(buf, b->mText.data() + b->mAt, n);
  b->mAt += n;
  return static_cast<int>(n);
}
void InfileEnd(void*) {}
int InfileError(void*, char* msg, unsigned int length) {
  std::snprintf(msg, length, "buffer read failed");
  return 1;
}

bool PeriodLoadData(MYSQL* db, const std::vector<KRow>& rows) {
  gBuffer.mText.clear();
  for (const KRow& r : rows) {
    gBuffer.mText += RowText(r, '\t');
    gBuffer.mText += '\n';
  }
  mysql_set_local_infile_handler(db, InfileInit, InfileRead, InfileEnd, InfileError, &gBuffer);
  return Run(db, "LOAD DATA LOCAL INFILE 'period' IGNORE INTO TABLE can_log "
                 "(counter,`timestamp`,can_id,d0,d1,d2,d3,d4,d5,d6,d7)");
}

// --- array bind: columns as arrays, one execute per period.
bool PeriodArray(MYSQL_STMT* stmt, const std::vector<KRow>& rows) {
  const std::size_t n = rows.size();
  std::vector<unsigned> counter(n), canId(n);
  std::vector<long long> time(n);
  std::vector<unsigned char> data[8];
  for (auto& d : data)
    d.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    counter[i] = rows[i].mCounter;
    time[i] = rows[i].mTime;
    canId[i] = rows[i].mCanId;
    for (int b = 0; b < 8; ++b)
      data[b][i] = rows[i].mData[b];
  }
  MYSQL_BIND bind[11];
  std::memset(bind, 0, sizeof(bind));
  bind[0].buffer_type = MYSQL_TYPE_LONG;
  bind[0].buffer = counter.data();
  bind[0].is_unsigned = 1;
  bind[1].buffer_type = MYSQL_TYPE_LONGLONG;
  bind[1].buffer = time.data();
  bind[2].buffer_type = MYSQL_TYPE_LONG;
  bind[2].buffer = canId.data();
  bind[2].is_unsigned = 1;
  for (int b = 0; b < 8; ++b) {
    bind[3 + b].buffer_type = MYSQL_TYPE_TINY;
    bind[3 + b].buffer = data[b].data();
    bind[3 + b].is_unsigned = 1;
  }
  unsigned int size = static_cast<unsigned int>(n);
  if (mysql_stmt_attr_set(stmt, STMT_ATTR_ARRAY_SIZE, &size) != 0 || mysql_stmt_bind_param(stmt, bind) != 0 ||
      mysql_stmt_execute(stmt) != 0) {
    std::fprintf(stderr, "bench_mysql_bulk: array bind: %s\n", mysql_stmt_error(stmt));
    return false;
  }
  return true;
}

enum class TFormEnum { Insert, LoadData, ArrayBind };

struct KResult {
  double mRowsPerSecond = 0;
  double mServerUs = 0;
  double mClientUs = 0;
};

bool RunForm(MYSQL* db, TFormEnum form, long long first, long long rows, int serverPid, KResult& result) {
  MYSQL_STMT* stmt = nullptr;
  if (form == TFormEnum::ArrayBind) {
    stmt = mysql_stmt_init(db);
    const char* sql = "INSERT IGNORE INTO can_log (counter,`timestamp`,can_id,d0,d1,d2,d3,d4,d5,d6,d7) "
                      "VALUES (?,?,?,?,?,?,?,?,?,?,?)";
    if (stmt == nullptr || mysql_stmt_prepare(stmt, sql, std::strlen(sql)) != 0) {
      std::fprintf(stderr, "bench_mysql_bulk: prepare: %s\n", mysql_error(db));
      return false;
    }
  }
  const double server0 = ServerSeconds(serverPid), client0 = ClientSeconds();
  const auto t0 = std::chrono::steady_clock::now();
  bool ok = true;
  std::vector<KRow> period;
  for (long long n = first; ok && n < first + rows; n += cPeriod) {
    period.clear();
    for (long long k = n; k < n + cPeriod && k < first + rows; ++k)
      period.push_back(MakeRow(k));
    ok = Run(db, "START TRANSACTION");
    if (ok && form == TFormEnum::Insert)
      ok = PeriodInsert(db, period);
    else if (ok && form == TFormEnum::LoadData)
      ok = PeriodLoadData(db, period);
    else if (ok)
      ok = PeriodArray(stmt, period);
    ok = ok && Run(db, "COMMIT");
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  if (stmt != nullptr)
    mysql_stmt_close(stmt);
  result.mRowsPerSecond = static_cast<double>(rows) / seconds;
  result.mServerUs = (ServerSeconds(serverPid) - server0) * 1e6 / static_cast<double>(rows);
  result.mClientUs = (ClientSeconds() - client0) * 1e6 / static_cast<double>(rows);
  return ok;
}

long long CountRows(MYSQL* db) {
  if (!Run(db, "SELECT COUNT(*) FROM can_log"))
    return -1;
  MYSQL_RES* res = mysql_store_result(db);
  MYSQL_ROW row = res != nullptr ? mysql_fetch_row(res) : nullptr;
  long long n = row != nullptr && row[0] != nullptr ? std::atoll(row[0]) : -1;
  if (res != nullptr)
    mysql_free_result(res);
  return n;
}

} // namespace

int main(int argc, char** argv) {
  const char* socket = nullptr;
  int serverPid = 0;
  long long rows = 270270; // 30 periods
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--socket") == 0)
      socket = argv[i + 1];
    else if (std::strcmp(argv[i], "--server-pid") == 0)
      serverPid = std::atoi(argv[i + 1]);
    else if (std::strcmp(argv[i], "--rows") == 0)
      rows = std::atoll(argv[i + 1]);
  }
  if (socket == nullptr || rows <= 0) {
    std::fprintf(stderr, "usage: bench_mysql_bulk --socket PATH --server-pid PID [--rows N]\n");
    return 2;
  }
  MYSQL* db = mysql_init(nullptr);
  unsigned int on = 1;
  mysql_options(db, MYSQL_OPT_LOCAL_INFILE, &on);
  if (mysql_real_connect(db, "localhost", "root", nullptr, "canlog", 0, socket, 0) == nullptr) {
    std::fprintf(stderr, "bench_mysql_bulk: connect: %s\n", mysql_error(db));
    return 1;
  }
  std::printf("%-11s %10s %10s %10s  %s\n", "form", "rows/s", "server", "client", "rows stored");
  std::printf("%-11s %10s %10s %10s\n", "", "", "us/row", "us/row");
  const struct {
    TFormEnum mForm;
    const char* mName;
  } forms[] = {{TFormEnum::Insert, "insert"}, {TFormEnum::LoadData, "load data"}, {TFormEnum::ArrayBind, "array bind"}};
  int status = 0;
  long long first = 0;
  for (int round = 0; round < 2; ++round) {
    for (const auto& f : forms) {
      const long long before = CountRows(db);
      KResult r;
      const bool ok = RunForm(db, f.mForm, first, rows, serverPid, r);
      const long long stored = CountRows(db) - before;
      first += rows;
      std::printf("%-11s %10.0f %10.2f %10.2f  %lld%s\n", f.mName, r.mRowsPerSecond, r.mServerUs, r.mClientUs, stored,
                  ok && stored == rows ? "" : "  FAILED");
      if (!ok || stored != rows)
        status = 1;
    }
  }
  mysql_close(db);
  return status;
}
