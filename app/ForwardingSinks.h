// The outputs a frame is forwarded to besides the console and the log file:
// the MySQL table (one row per frame over a connection that lives for one
// sample period), the HTTP PUT batch of insert statements (HttpPut, sent
// when it passes cPutTrigger characters and at the end of every period), or
// one HTTP request per frame made from the URL template. The sampling loop
// calls Frame() for every frame before it formats the frame's line, and
// EndPeriod() once the period's drain is done.
#pragma once

#include <cstddef>
#include <cstdint>

#include "KCanServer.h"
#include "KMySql.h"
#include "NCanUtils.h"
#include "RunSettings.h"
#include "TellTrail.h"

class KTcpCanClient;

enum : int {
  // A batch is sent as soon as its text is longer than this.
  cPutTrigger = 498999,
  // Longest PUT header: its line ("<header>;" CR LF) and the longest
  // statement with its CR LF fit in HttpPut with the terminating zero.
  cMaxPutHeaderLength = cHttpPutSize - 3 - (static_cast<int>(cLineSize) - 1 + 2) - 1,
};
// Below the trigger there is always room for one more statement.
static_assert(cPutTrigger + static_cast<int>(cLineSize) - 1 + 2 < cHttpPutSize,
              "a statement appended below the trigger fits in HttpPut");

// The URL template holds a whole request line with exactly one "%s", where
// the frame's variables go; any other '%' must be "%%" (a percent sign).
bool UrlTemplateValid(const char* urlTemplate);
// Writes the template with "%s" replaced by `variables` and "%%" by '%' into
// `out` (`size` bytes with the terminating zero). False, with `out` holding
// an empty text, when the request does not fit or the template is not valid.
bool FillUrlTemplate(const char* urlTemplate, const char* variables, char* out, std::size_t size);

class KForwardingSinks {
public:
  // `mySql` is the entry point's session, used only when the MySQL switch
  // of the settings is on; `client` the HTTP client, used only with a PUT
  // header or a URL template.
  KForwardingSinks(const KRunSettings& settings, KCanServer& server, KMySql* mySql,
                   KTcpCanClient* client = nullptr);

  // Forwards one frame. False when an output could not be opened: the
  // capture thread has been told to terminate, the drain must end and the
  // frame's remaining steps are skipped. HTTP failures are reported and do
  // not end the run.
  bool Frame(const KCanFrame& frame);
  // Closes what the period opened: the database connection (which commits
  // the period's rows); sends the PUT batch that is not empty.
  void EndPeriod();

  // Frames in the PUT batch being collected.
  uint32_t BatchFrames() const { return mBatchFrames; }

private:
  bool MySqlFrame(const KCanFrame& frame);
  void PutFrame(const KCanFrame& frame);
  void GetFrame(const KCanFrame& frame);
  // Sends HttpPut; a batch the server did not take is reported with the
  // number of frames it held.
  void SendBatch();
  bool PutActive() const { return mSettings.mPutHeader != nullptr && mClient != nullptr; }
  bool GetActive() const { return mSettings.mUrlTemplate != nullptr && mClient != nullptr; }

  const KRunSettings& mSettings;
  KCanServer& mServer;
  KMySql* mMySql;
  KTcpCanClient* mClient;
  uint32_t mBatchFrames;
  char mText[cLineSize];       // the SQL statement or the HTTP variables
  char mRequest[cRequestSize]; // the request line from the URL template
};
