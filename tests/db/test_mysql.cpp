// The MySQL session against a real server: the throwaway MariaDB that ctest
// starts for these tests (tools/mariadb/test-server.sh, fixture mariadb).
// Every test works in a database of its own, as root over the Unix socket.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "KMySql.h"
#include "XmlParser.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void Set(char* field, const std::string& value) {
  std::snprintf(field, KMySql::cFieldSize, "%s", value.c_str());
}

// Result rows of a statement, fields joined by tabs, NULL as "NULL".
std::vector<std::string> Select(KMySql& db, const std::string& sql) {
  std::vector<std::string> rows;
  EXPECT_TRUE(db.Query(sql.c_str())) << sql;
  MYSQL_RES* res = db.GetMySqlRes();
  if (res == nullptr)
    return rows;
  unsigned fields = p_mysql_num_fields(res);
  while (MYSQL_ROW row = p_mysql_fetch_row(res)) {
    std::string line;
    for (unsigned i = 0; i < fields; ++i)
      line += (i ? "\t" : "") + std::string(row[i] != nullptr ? row[i] : "NULL");
    rows.push_back(line);
  }
  // Not one of the logger's bindings.
  auto freeResult = reinterpret_cast<void (*)(MYSQL_RES*)>(dlsym(LoadSoInstance, "mysql_free_result"));
  freeResult(res);
  return rows;
}

KCanFrame Frame(uint32_t counter, uint32_t id, std::vector<int> data, int days = 9837,
                int ms = 50709123) {
  KCanFrame f;
  f.mCounter = counter;
  f.mDays = days;
  f.mMs = ms;
  f.mId = id;
  f.mLen = static_cast<int>(data.size());
  for (size_t i = 0; i < data.size(); ++i)
    f.mData[i] = static_cast<unsigned char>(data[i]);
  return f;
}

// The logger's sessions write in transactions; a session may also leave
// the server's autocommit on.
struct KForm {
  const char* mName;
  bool mTransactions;
};
const KForm cForms[] = {{"transactions", true}, {"autocommit", false}};

class MySqlTest : public testing::Test {
protected:
  void SetUp() override {
    const char* dir = std::getenv("TELLTRAIL_MARIADB_DIR");
    if (dir == nullptr)
      GTEST_SKIP() << "no test server: run through ctest, whose fixture mariadb starts one "
                      "(or start tools/mariadb/test-server.sh and set TELLTRAIL_MARIADB_DIR)";
    // The client library takes its default socket and port from these.
    std::istringstream env(ReadFile(std::string(dir) + "/env"));
    for (std::string line; std::getline(env, line);) {
      size_t eq = line.find('=');
      if (eq != std::string::npos)
        setenv(line.substr(0, eq).c_str(), line.substr(eq + 1).c_str(), 1);
    }
    ASSERT_NE(std::getenv("MYSQL_UNIX_PORT"), nullptr) << "no env file in " << dir;

    const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
    mDatabase = std::string("tt_") + info->name();
    Set(mAdmin.mUser, "root");
    Set(mAdmin.mPassword, "");
    Set(mAdmin.mDatabase, "mysql");
    mAdmin.mTransactions = false;
    ASSERT_TRUE(mAdmin.Open());
    ASSERT_TRUE(mAdmin.Query(("DROP DATABASE IF EXISTS " + mDatabase).c_str()));
    ASSERT_TRUE(mAdmin.Query(("CREATE DATABASE " + mDatabase).c_str()));
    ASSERT_TRUE(mAdmin.Query(("USE " + mDatabase).c_str()));
    // The table's statement, the file's first: what follows it (the web
    // page's summary) is for the mariadb client (DELIMITER).
    std::string schema = ReadFile(TELLTRAIL_CAN_LOG_SQL);
    std::size_t end = schema.find(";\n", schema.find("CREATE TABLE"));
    ASSERT_NE(end, std::string::npos);
    schema.resize(end + 1);
    ASSERT_TRUE(mAdmin.Query(schema.c_str()));
  }
  void TearDown() override {
    if (mAdmin.Opened())
      mAdmin.Query(("DROP DATABASE IF EXISTS " + mDatabase).c_str());
  }

  // A session of the logger on the test's database.
  void Configure(KMySql& db) {
    Set(db.mUser, "root");
    Set(db.mPassword, "");
    Set(db.mDatabase, mDatabase);
  }
  void Configure(KMySql& db, const KForm& form) {
    Configure(db);
    db.mTransactions = form.mTransactions;
  }

  std::vector<std::string> Rows() {
    return Select(mAdmin, "SELECT counter,timestamp,can_id,d0,d1,d2,d3,d4,d5,d6,d7 FROM can_log "
                          "ORDER BY counter");
  }

  KMySql mAdmin;
  std::string mDatabase;
};

TEST(MySqlLoader, BindsEveryNameOnceAndStaysBound) {
  if (dlopen("libmysqlclient.so", RTLD_NOW | RTLD_NOLOAD) == nullptr && !LoadSo())
    GTEST_SKIP() << "no libmysqlclient.so on this machine (libmariadb-dev-compat)";
  ASSERT_TRUE(LoadSo());
  void* handle = LoadSoInstance;
  EXPECT_TRUE(LoadSo());
  EXPECT_EQ(LoadSoInstance, handle);
  const void* bound[] = {
      reinterpret_cast<void*>(p_mysql_init),        reinterpret_cast<void*>(p_mysql_errno),
      reinterpret_cast<void*>(p_mysql_error),       reinterpret_cast<void*>(p_mysql_real_connect),
      reinterpret_cast<void*>(p_mysql_select_db),   reinterpret_cast<void*>(p_mysql_query),
      reinterpret_cast<void*>(p_mysql_send_query),  reinterpret_cast<void*>(p_mysql_real_query),
      reinterpret_cast<void*>(p_mysql_store_result), reinterpret_cast<void*>(p_mysql_use_result),
      reinterpret_cast<void*>(p_mysql_close),       reinterpret_cast<void*>(p_mysql_num_rows),
      reinterpret_cast<void*>(p_mysql_num_fields),  reinterpret_cast<void*>(p_mysql_eof),
      reinterpret_cast<void*>(p_mysql_fetch_field_direct),
      reinterpret_cast<void*>(p_mysql_fetch_fields), reinterpret_cast<void*>(p_mysql_row_tell),
      reinterpret_cast<void*>(p_mysql_field_tell),  reinterpret_cast<void*>(p_mysql_fetch_row)};
  for (const void* p : bound)
    EXPECT_NE(p, nullptr);
  // The pointers are the library's own functions.
  EXPECT_EQ(reinterpret_cast<void*>(p_mysql_fetch_row), dlsym(handle, "mysql_fetch_row"));
}

// Every error a logger meets is one of three kinds: settings end the
// start, a row's own fault sets that row aside, anything else keeps the
// rows for later.
TEST(MySqlErrors, EveryCodeHasItsKind) {
  const struct {
    unsigned int mError;
    KMySql::TErrorKindEnum mKind;
  } cases[] = {
      {1045, KMySql::ekSettings}, {1044, KMySql::ekSettings}, {1049, KMySql::ekSettings},
      {1698, KMySql::ekSettings}, {1862, KMySql::ekSettings}, {2059, KMySql::ekSettings},
      {1048, KMySql::ekRow},      {1264, KMySql::ekRow},      {1292, KMySql::ekRow},
      {1366, KMySql::ekRow},      {1406, KMySql::ekRow},      {1452, KMySql::ekRow},
      {1644, KMySql::ekRow},      {4025, KMySql::ekRow},      {3819, KMySql::ekRow},
      {1290, KMySql::ekAway},     {1836, KMySql::ekAway},     {1146, KMySql::ekAway},
      {1142, KMySql::ekAway},     {1143, KMySql::ekAway},     {1114, KMySql::ekAway},
      {1021, KMySql::ekAway},     {1205, KMySql::ekAway},     {1213, KMySql::ekAway},
      {1040, KMySql::ekAway},     {1053, KMySql::ekAway},     {1054, KMySql::ekAway},
      {2002, KMySql::ekAway},     {2003, KMySql::ekAway},     {2005, KMySql::ekAway},
      {2006, KMySql::ekAway},     {2013, KMySql::ekAway},     {2055, KMySql::ekAway},
      {9999, KMySql::ekAway},
  };
  for (const auto& c : cases)
    EXPECT_EQ(KMySql::ErrorKind(c.mError), c.mKind) << c.mError;
}

TEST(MySqlSession, UnopenedSessionRefusesQuietly) {
  KMySql db;
  EXPECT_STREQ(db.mHost, "localhost");
  EXPECT_STREQ(db.mUser, "pi");
  EXPECT_STREQ(db.mDatabase, "canlog");
  CaptureStdout();
  EXPECT_FALSE(db.Opened());
  EXPECT_FALSE(db.Query("SELECT 1"));
  EXPECT_FALSE(db.LogFrame(Frame(1, 0x100, {1})));
  EXPECT_EQ(db.GetMySqlRes(), nullptr);
  db.Close();
  db.Close();
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_FALSE(db.Opened());
}

TEST(MySqlSession, HostLimitIs255Characters) {
  KMySql db;
  EXPECT_TRUE(db.SetHost(std::string(255, 'h').c_str()));
  EXPECT_EQ(std::strlen(db.mHost), 255u);
  CaptureStdout();
  EXPECT_FALSE(db.SetHost(std::string(256, 'x').c_str()));
  EXPECT_EQ(GetCapturedStdout(), "mysql host too long (more than 255 characters)\n");
  EXPECT_EQ(std::string(db.mHost), std::string(255, 'h'));
}

TEST_F(MySqlTest, RowsHoldTheInsertStatementsValues) {
  struct {
    KCanFrame frame;
    const char* row;
  } cases[] = {
      // 2026-12-07 14:05:09.123 UTC, standard identifier 0x180
      {Frame(17, 0x180, {0x31, 0x00, 0xFA, 0x00, 0x0C}),
       "17\t1796652309123\t384\t49\t0\t250\t0\t12\tNULL\tNULL\tNULL"},
      // extended: bit 31 dropped
      {Frame(18, 0x98DB33F1, {0, 1, 2, 3, 4, 5, 6, 255}),
       "18\t1796652309123\t417018865\t0\t1\t2\t3\t4\t5\t6\t255"},
      // remote request 0x123 without data, error frame with eight bytes
      {Frame(19, 0x40000123, {}), "19\t1796652309123\t1073742115\tNULL\tNULL\tNULL\tNULL\tNULL\tNULL\tNULL\tNULL"},
      {Frame(20, 0x20000004, {255, 255, 255, 255, 255, 255, 255, 255}),
       "20\t1796652309123\t536870916\t255\t255\t255\t255\t255\t255\t255\t255"},
      // the largest counter and identifier a row holds; the last ms of a day
      {Frame(0xFFFFFFFF, 0xFFFFFFFF, {7}, 9837, 86399999),
       "2147483647\t1796687999999\t2147483647\t7\tNULL\tNULL\tNULL\tNULL\tNULL\tNULL\tNULL"},
      // a clock before 1970
      {Frame(21, 0x7FF, {1, 2}, -10958, 0), "21\t-86400000\t2047\t1\t2\tNULL\tNULL\tNULL\tNULL\tNULL\tNULL"},
  };
  std::vector<std::string> expected;
  for (const auto& c : cases)
    expected.push_back(c.row);
  std::sort(expected.begin(), expected.end(), [](const std::string& a, const std::string& b) {
    return std::stoull(a.substr(0, a.find('\t'))) < std::stoull(b.substr(0, b.find('\t')));
  });
  for (const KForm& form : cForms) {
    SCOPED_TRACE(form.mName);
    ASSERT_TRUE(mAdmin.Query("TRUNCATE can_log"));
    KMySql db;
    Configure(db, form);
    CaptureStdout();
    ASSERT_TRUE(db.Open());
    for (const auto& c : cases)
      EXPECT_TRUE(db.LogFrame(c.frame));
    db.Close();
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(Rows(), expected);
  }
}

// Frames 1..250 of one length but for 119 and 121 around the row the
// table refuses (d0 = 13, frame 120), which shares a statement with 99 others.
std::vector<KCanFrame> FramesWithOneRefused() {
  std::vector<KCanFrame> frames;
  for (uint32_t n = 1; n <= 250; ++n) {
    int d0 = n == 120 ? 13 : 20 + static_cast<int>(n % 200);
    frames.push_back(n == 119 || n == 121 ? Frame(n, 0x10, {d0, 1}) : Frame(n, 0x10, {d0}));
  }
  return frames;
}

TEST_F(MySqlTest, RefusedRowNamedAndTheRowsBeforeItsStatementStored) {
  ASSERT_TRUE(mAdmin.Query("ALTER TABLE can_log ADD CONSTRAINT no_13 CHECK (d0 IS NULL OR d0 <> 13)"));
  const std::vector<KCanFrame> frames = FramesWithOneRefused();
  for (const KForm& form : cForms) {
    SCOPED_TRACE(form.mName);
    ASSERT_TRUE(mAdmin.Query("TRUNCATE can_log"));
    KMySql db;
    Configure(db, form);
    ASSERT_TRUE(db.Open());
    CaptureStdout();
    // Store: the statement of rows 101..200 refused, the rows before it kept
    // (with autocommit a statement stores its good rows on its own).
    std::size_t from = 0;
    if (form.mTransactions) {
      int done = -1, span = -1;
      EXPECT_EQ(db.Store(frames.data(), 250, done, span), KMySql::stRefused);
      EXPECT_EQ(done, 100);
      EXPECT_EQ(span, 100);
      EXPECT_EQ(KMySql::ErrorKind(db.LastError()), KMySql::ekRow) << db.LastMessage();
      EXPECT_NE(std::string(db.LastMessage()).find("no_13"), std::string::npos) << db.LastMessage();
      EXPECT_EQ(Select(mAdmin, "SELECT COUNT(*), MIN(counter), MAX(counter) FROM can_log"),
                std::vector<std::string>{"100\t1\t100"});
      from = 100;
    }
    // One row at a time: only frame 120 is lost, with one line.
    for (std::size_t i = from; i < frames.size(); ++i)
      EXPECT_EQ(db.LogFrame(frames[i]), frames[i].mCounter != 120) << frames[i].mCounter;
    db.Close();
    std::string out = GetCapturedStdout();
    EXPECT_EQ(out.rfind("mysql_query: ", 0), 0u) << out;
    EXPECT_NE(out.find("no_13"), std::string::npos) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
    EXPECT_EQ(Select(mAdmin, "SELECT COUNT(*), SUM(counter) FROM can_log"),
              std::vector<std::string>{"249\t" + std::to_string(250 * 251 / 2 - 120)});
  }
}

TEST_F(MySqlTest, LostConnectionIsAwayAndItsRowsStoredAfterReconnecting) {
  KMySql db;
  Configure(db);
  ASSERT_TRUE(db.Open());
  std::vector<std::string> id = Select(db, "SELECT CONNECTION_ID()");
  ASSERT_EQ(id.size(), 1u);
  ASSERT_TRUE(mAdmin.Query(("KILL CONNECTION " + id[0]).c_str()));
  // Until the server has let it go.
  const std::string gone = "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE ID = " + id[0];
  for (int i = 0; i < 500 && Select(mAdmin, gone) != std::vector<std::string>{"0"}; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(Select(mAdmin, gone), std::vector<std::string>{"0"});
  std::vector<KCanFrame> numbered;
  for (uint32_t n = 1; n <= 150; ++n)
    numbered.push_back(Frame(n, 0x10, {1, 2}));
  CaptureStdout();
  int done = -1, span = -1;
  EXPECT_EQ(db.Store(numbered.data(), 150, done, span), KMySql::stAway);
  EXPECT_EQ(done, 0);
  EXPECT_EQ(KMySql::ErrorKind(db.LastError()), KMySql::ekAway) << db.LastMessage();
  EXPECT_FALSE(db.Opened());
  EXPECT_EQ(Select(mAdmin, "SELECT COUNT(*) FROM can_log"), std::vector<std::string>{"0"});
  ASSERT_TRUE(db.Open());
  EXPECT_EQ(db.Store(numbered.data(), 150, done, span), KMySql::stStored);
  EXPECT_EQ(done, 150);
  db.Close();
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EQ(Select(mAdmin, "SELECT COUNT(*), MIN(counter), MAX(counter) FROM can_log"),
            std::vector<std::string>{"150\t1\t150"});
}

class XmlParamsTest : public MySqlTest {
protected:
  bool Params(KMySql& db, const std::string& document, std::string& out) {
    std::string path = "/tmp/telltrail-db-" + std::to_string(getpid()) + ".xml";
    std::ofstream(path) << document;
    KParser parser;
    KXmlNode root;
    bool parsed = parser.ParseFile(path.c_str(), &root);
    std::remove(path.c_str());
    EXPECT_TRUE(parsed) << document;
    CaptureStdout();
    bool ok = db.GetXmlParams(&root);
    out = GetCapturedStdout();
    return ok;
  }
};

TEST_F(XmlParamsTest, ParametersAndTheirFallbacks) {
  std::string longValue(256, 's');
  struct {
    std::string document;
    const char* host;
    const char* user;
    const char* password;
    const char* database;
    bool ok;
    std::string out;
  } cases[] = {
      // the defaults: the test server's pi on canlog through the socket
      {"<s><mysql/></s>", "localhost", "pi", "quillfern", "canlog", true, ""},
      // fallbacks: ip_address for the host, PW, Database
      {"<s><ip_address Name=\"127.0.0.1\"/><mysql PW=\"quillfern\" Database=\"canlog\"/></s>",
       "127.0.0.1", "pi", "quillfern", "canlog", true, ""},
      // Host, Password and DB win over their fallbacks; a wrong password
      // is never printed
      {"<s><mysql Host=\"127.0.0.1\" User=\"pi\" Password=\"wrong-secret\" PW=\"quillfern\" "
       "DB=\"canlog\" Database=\"other\"/><ip_address Name=\"localhost\"/></s>",
       "127.0.0.1", "pi", "wrong-secret", "canlog", false,
       "mysql_real_connect: Access denied for user 'pi'@'127.0.0.1' (using password: YES)\n"
       "can not open database \"canlog\" (Host: 127.0.0.1  User: pi,  Password: ***)\n"},
      // a value longer than a field is refused before any connection
      {"<s><mysql User=\"someone\" Password=\"" + longValue + "\"/></s>", "localhost", "someone",
       "quillfern", "canlog", false, "mysql/Password too long (more than 255 characters)\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.document);
    KMySql db;
    std::string out;
    EXPECT_EQ(Params(db, c.document, out), c.ok);
    EXPECT_EQ(out, c.out);
    EXPECT_STREQ(db.mHost, c.host);
    EXPECT_STREQ(db.mUser, c.user);
    EXPECT_STREQ(db.mPassword, c.password);
    EXPECT_STREQ(db.mDatabase, c.database);
    EXPECT_FALSE(db.Opened()) << "the test connection stays open";
  }
}

} // namespace
