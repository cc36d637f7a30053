// The outputs a frame is forwarded to besides the console and the log file:
// the MySQL table (one row per frame over a connection that lives for one
// sample period). The sampling loop calls Frame() for every frame before it
// formats the frame's line, and EndPeriod() once the period's drain is done.
#pragma once

#include "KCanServer.h"
#include "KMySql.h"
#include "RunSettings.h"

class KForwardingSinks {
public:
  // `mySql` is the entry point's session; it is used only when the MySQL
  // switch of the settings is on.
  KForwardingSinks(const KRunSettings& settings, KCanServer& server, KMySql* mySql);

  // Forwards one frame. False when an output could not be opened: the
  // capture thread has been told to terminate, the drain must end and the
  // frame's remaining steps are skipped.
  bool Frame(const KCanFrame& frame);
  // Closes what the period opened: the database connection (which commits
  // the period's rows).
  void EndPeriod();

private:
  bool MySqlFrame(const KCanFrame& frame);

  const KRunSettings& mSettings;
  KCanServer& mServer;
  KMySql* mMySql;
};
