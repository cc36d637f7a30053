// One client session that writes CAN frames as rows of the table can_log,
// through the client library bound at run time (MySqlLibrary.h). Its
// settings are read in MySqlSettings.cpp, the statement text of its rows is
// formed in FrameSql.cpp.
#pragma once

#include <cstddef>

#include "MySqlLibrary.h"
#include "NCanUtils.h"

class KXmlNode;

// One client session: connection parameters, the library's handle and the
// opened flag.
//
// Rows are written in transactions, in frame order, in multi-row statements
// of up to cMaxBatchRows rows that name every data column (NULL where a
// frame has no byte): Store() writes a run of frames and commits it, or
// takes it back. A row that is already in the table (the same frame
// delivered again after an answer was lost) is left as it is: the
// statements are INSERT IGNORE (an INSERT-only user suffices), and their
// warnings are read back, so that a row the server refused for any other
// reason is still found. Store reports nothing: its caller does. The
// failures of Open, Query and LogFrame are reported (NReport::Failure).
class KMySql {
public:
  enum : int {
    cFieldSize = 256,      // each parameter holds at most 255 characters
    cSourceSize = 65,      // the board's name: 64 characters
    cMaxBatchRows = 100,   // rows in one statement
    // One row's values with their parentheses and comma: the counter, the
    // time, the identifier, eight bytes or NULLs and the source.
    cRowSize = 128 + cSourceSize,
    cBatchStatementSize = 256 + cMaxBatchRows * cRowSize,
    // Waits of the client library, in seconds (where it can be told).
    cConnectWait = 5,
    cReadWait = 10,
    cWriteWait = 10
  };

  KMySql();
  ~KMySql();
  KMySql(const KMySql&) = delete;
  KMySql& operator=(const KMySql&) = delete;

  // Reads Host (else ip_address/Name), User, Password (else PW), DB (else
  // Database) and Source from the settings file's mysql element, each found
  // value replacing the current one, then tests a connection. False, with a
  // message, when a value is too long or the database cannot be opened.
  bool GetXmlParams(const KXmlNode* root);
  // GetXmlParams without the connection test.
  bool ReadXmlParams(const KXmlNode* root);
  // Prints "can not open database ..." with the parameters (never the
  // password) after a failed test.
  void PrintOpenFailure() const;
  // Sets mHost; false, with a message, when the host is too long.
  bool SetHost(const char* host);
  // Sets the board's name written into the source column; "" (no column).
  // Letters, digits, '.', '_' and '-', at most 64; false, with a message,
  // otherwise.
  bool SetSource(const char* source);

  // Loads the library if needed and connects if not connected; true when the
  // session is open.
  bool Open();
  bool Opened() const { return mOpened && mMySql != nullptr; }
  // Closes the connection (a transaction Store left open cannot exist:
  // it commits or takes back); afterwards there is no handle.
  void Close();

  // Runs one statement; false (with the library's message) when it failed,
  // false without a message when the session is not open.
  bool Query(const char* sql);
  // Stores the frame's row in a transaction of its own (Store of one
  // frame); a refused row is reported as "mysql_query: <message>". False
  // when the session is not open or the row was not stored.
  bool LogFrame(const KCanFrame& frame);
  // What one Store did.
  enum TStoreEnum {
    stStored,  // all rows committed
    stAway,    // rows [0, done) committed; the server takes no more now
    stRefused  // rows [0, done) committed; one of [done, done + span) is a row
               // the server refuses on its own
  };
  // Stores the frames' rows in multi-row statements in one transaction and
  // commits it. A statement the server refuses for one of its rows (or
  // takes with a warning other than a duplicate) is taken back with the
  // transaction, the rows before it are stored again and committed, and
  // its rows are named in `done` and `span`. Nothing is printed: the
  // caller reports (LastError, LastMessage). Without mTransactions each
  // statement commits on its own, so rows named as not stored may be
  // stored already (sending them again leaves them once).
  TStoreEnum Store(const KCanFrame* frames, int count, int& done, int& span);
  // The result of the last statement, or null when not open.
  MYSQL_RES* GetMySqlRes();
  // "<what>: <library message>".
  void PrintError(const char* what);

  // The client library's error number of the last failed connect or
  // statement (0 after a success).
  unsigned int LastError() const { return mLastError; }
  // The library's message of the last failed connect or statement.
  const char* LastMessage() const { return mLastMessage; }
  // The three kinds of error a logger meets.
  enum TErrorKindEnum {
    ekAway,     // the server takes nothing now: down, unreachable, busy,
                // read-only, full, no table, no grant (keep the rows, retry)
    ekRow,      // this row can never be stored (a value or constraint)
    ekSettings  // user, password or database wrong (at start: end the run)
  };
  static TErrorKindEnum ErrorKind(unsigned int error);
  // True for an error that says the server cannot be reached now, false
  // for one that says the settings are wrong (ErrorKind ekSettings).
  static bool Unreachable(unsigned int error) { return ErrorKind(error) != ekSettings; }

  MYSQL* mMySql;
  bool mOpened;
  char mHost[cFieldSize];
  char mUser[cFieldSize];
  char mPassword[cFieldSize];
  char mDatabase[cFieldSize];
  char mSource[cSourceSize];
  // Rows are written in transactions (autocommit off); false leaves the
  // server's autocommit on (a session that only reads).
  bool mTransactions;
  // The insert statement of `count` frames, as the output sends it, into
  // `out` (cut at `size`).
  void FormStatement(const KCanFrame* frames, int count, char* out, std::size_t size) const;

private:
  // The statement for `count` frames into mStatement.
  void FormStatement(const KCanFrame* frames, int count) { FormStatement(frames, count, mStatement, sizeof(mStatement)); }
  // Notes the library's error of the last call.
  void TakeError();
  // Runs the statements for `count` frames in the open transaction. False
  // with `failedAt` the first frame of the statement that failed (or left
  // a warning other than a duplicate, then noted as the error) and
  // `failedRows` its rows.
  bool InsertRows(const KCanFrame* frames, int count, int& failedAt, int& failedRows);
  // Takes back the open transaction (or closes a broken connection).
  void Rollback();
  unsigned int mLastError;
  char mLastMessage[cFieldSize];
  char mStatement[cBatchStatementSize];
};
