// Rows per second that the database output commits against a real server:
// one frame per statement and transaction (LogFrame) beside the form the
// logger's delivery uses (Store: multi-row statements of up to 100 frames,
// one transaction per delivery of 1000 frames), and one transaction per
// period. Frames of eight data bytes (the longest statement), periods of one
// second of a saturated 1 Mbit/s bus (9009 frames).
//
//   bench_mysql_rows [--host HOST] [--rows N] [--period N] [--rounds N]
//
// The session uses telltrail's defaults (user pi, database canlog); start a
// server with tools/mariadb/test-server.sh and export its MYSQL_UNIX_PORT and
// MYSQL_TCP_PORT (bench/mysql_rate.sh does all of this).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <string>
#include <vector>

#include "KMySql.h"
#include "NCanUtils.h"

namespace {

struct KForm {
  const char* mName;
  int mChunk;       // frames per Store; 0: LogFrame, one at a time
  double mBest = 0; // rows per second, best round
};

// Stores `count` frames in Stores of `chunk` frames (LogFrame for 0).
bool Write(KMySql& db, const KCanFrame* frames, int count, int chunk) {
  if (chunk <= 0) {
    for (int i = 0; i < count; ++i)
      if (!db.LogFrame(frames[i]))
        return false;
    return true;
  }
  for (int i = 0; i < count; i += chunk) {
    int done = 0, span = 0;
    if (db.Store(frames + i, count - i < chunk ? count - i : chunk, done, span) != KMySql::stStored)
      return false;
  }
  return true;
}

long long CountRows(KMySql& db) {
  // mysql_free_result is not one of the logger's bindings.
  auto freeResult = reinterpret_cast<void (*)(MYSQL_RES*)>(dlsym(LoadSoInstance, "mysql_free_result"));
  long long n = -1;
  if (db.Open() && db.Query("SELECT COUNT(*) FROM can_log")) {
    MYSQL_RES* res = db.GetMySqlRes();
    MYSQL_ROW row = res != nullptr ? p_mysql_fetch_row(res) : nullptr;
    if (row != nullptr && row[0] != nullptr)
      n = std::atoll(row[0]);
    if (res != nullptr && freeResult != nullptr)
      freeResult(res);
  }
  db.Close();
  return n;
}

// Writes `rows` frames in periods of `period` frames (open at the first
// frame, close at the end, as the sampling loop does); rows per second from
// the first open to the last commit, or 0 when rows went missing.
double Run(KMySql& db, int rows, int period, int chunk, uint32_t& counter) {
  long long before = CountRows(db);
  std::vector<KCanFrame> frames(static_cast<std::size_t>(period));
  auto start = std::chrono::steady_clock::now();
  for (int done = 0; done < rows;) {
    if (!db.Open())
      return 0;
    int n = 0;
    for (; n < period && done < rows; ++n, ++done) {
      KCanFrame& f = frames[static_cast<std::size_t>(n)];
      f.mLen = 8;
      f.mId = 0x18DB33F1u | KCanFrame::cExtendedFlag;
      f.mCounter = counter++;
      NCanUtils::ArtTime(f.mDays, f.mMs);
      for (int b = 0; b < 8; ++b)
        f.mData[b] = static_cast<unsigned char>(f.mCounter + b);
    }
    if (!Write(db, frames.data(), n, chunk))
      return 0;
    db.Close();
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  long long after = CountRows(db);
  if (after - before != rows) {
    std::printf("  %lld rows stored of %d\n", after - before, rows);
    return 0;
  }
  return rows / seconds;
}

// Frames of every length 0..8 in turn, as on a real bus, kept in frame
// order two ways: telltrail's one column list for all frames (NULL for the
// bytes a frame lacks, 100 rows a statement), or a new statement whenever
// the length changes (each with its own column list). Commits per 1000
// rows (Stores of 1000 frames). Rows per second, or 0 when rows went missing.
double RunMixed(KMySql& db, int rows, bool splitByLength, uint32_t& counter) {
  long long before = CountRows(db);
  std::vector<KCanFrame> frames(static_cast<std::size_t>(rows));
  for (int i = 0; i < rows; ++i) {
    KCanFrame& f = frames[static_cast<std::size_t>(i)];
    f.mCounter = counter++;
    NCanUtils::ArtTime(f.mDays, f.mMs);
    f.mId = 0x100u + static_cast<uint32_t>(i % 50);
    f.mLen = (i * 7) % 9;
    for (int b = 0; b < 8; ++b)
      f.mData[b] = static_cast<unsigned char>(i + b);
  }
  auto start = std::chrono::steady_clock::now();
  if (!db.Open())
    return 0;
  if (!splitByLength) {
    if (!Write(db, frames.data(), rows, 1000))
      return 0;
    db.Close();
  } else {
    std::string sql;
    char one[cLineSize];
    int inStatement = 0, uncommitted = 0, length = -1;
    auto flush = [&]() {
      if (inStatement > 0 && p_mysql_query(db.mMySql, (sql + ";").c_str()) != 0)
        return false;
      uncommitted += inStatement;
      inStatement = 0;
      if (uncommitted >= 1000) {
        uncommitted = 0;
        return p_mysql_query(db.mMySql, "COMMIT") == 0;
      }
      return true;
    };
    for (const KCanFrame& f : frames) {
      f.FormMySqlInsert(one, sizeof(one));
      std::string text(one, std::strlen(one) - 1); // without ';'
      if (f.mLen != length || inStatement == 100) {
        if (!flush())
          return 0;
        length = f.mLen;
        sql = "INSERT IGNORE" + text.substr(6);
      } else {
        sql += "," + text.substr(text.find(" VALUES(") + 7);
      }
      ++inStatement;
    }
    uncommitted += 1000;
    if (!flush())
      return 0;
    db.Close();
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (CountRows(db) - before != rows)
    return 0;
  return rows / seconds;
}

} // namespace

int main(int argc, char** argv) {
  const char* host = "localhost";
  int rows = 30000, period = 9009, rounds = 2;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--host") == 0)
      host = argv[i + 1];
    else if (std::strcmp(argv[i], "--rows") == 0)
      rows = std::atoi(argv[i + 1]);
    else if (std::strcmp(argv[i], "--period") == 0)
      period = std::atoi(argv[i + 1]);
    else if (std::strcmp(argv[i], "--rounds") == 0)
      rounds = std::atoi(argv[i + 1]);
    else {
      std::fprintf(stderr, "usage: bench_mysql_rows [--host HOST] [--rows N] [--period N] [--rounds N]\n");
      return 2;
    }
  }
  if (rows <= 0 || period <= 0 || rounds <= 0)
    return 2;
  KMySql db;
  if (!db.SetHost(host) || !db.Open())
    return 1;
  db.Close();

  KForm forms[] = {
      {"one statement and commit per frame", 0},
      {"commit per 1000, 100-row statements", 1000},
      {"commit per period, 100-row statements", period},
  };
  std::printf("host %s, %d rows of 8 data bytes per form and round, periods of %d frames, best of %d\n",
              host, rows, period, rounds);
  uint32_t counter = 1;
  // Forms take turns, so that a change in the machine's load hits all.
  for (int round = 0; round < rounds; ++round) {
    for (KForm& form : forms) {
      double rate = Run(db, rows, period, form.mChunk, counter);
      if (rate == 0) {
        std::printf("%s: failed\n", form.mName);
        return 1;
      }
      std::printf("  round %d  %-42s %9.0f rows/s\n", round + 1, form.mName, rate);
      if (rate > form.mBest)
        form.mBest = rate;
    }
  }
  std::printf("%-44s %9s %8s\n", "form", "rows/s", "ratio");
  for (const KForm& form : forms)
    std::printf("%-44s %9.0f %7.2fx\n", form.mName, form.mBest, form.mBest / forms[0].mBest);
  std::printf("saturated 1 Mbit/s bus: 9009 frames/s (8 data bytes) to 21277 (none)\n");

  // Frames of mixed lengths in frame order: one column list, or a new
  // statement at every change of length.
  double best[2] = {0, 0};
  for (int round = 0; round < rounds; ++round)
    for (int split = 0; split < 2; ++split) {
      double rate = RunMixed(db, rows, split == 1, counter);
      if (rate == 0) {
        std::printf("mixed lengths: failed\n");
        return 1;
      }
      if (rate > best[split])
        best[split] = rate;
    }
  std::printf("mixed lengths 0..8 in frame order, commit per 1000:\n");
  std::printf("  %-58s %9.0f rows/s\n", "one column list, NULL for missing bytes, 100 rows a statement",
              best[0]);
  std::printf("  %-58s %9.0f rows/s\n", "a new statement whenever the length changes", best[1]);
  return 0;
}
