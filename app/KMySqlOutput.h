// The database output: every frame a row of the table can_log, written
// through the MySQL session in transactions of up to MaxBatch() rows.
#pragma once

#include "KFrameOutput.h"
#include "KMySql.h"

class KMySqlOutput : public KFrameOutput {
public:
  enum : int { cBatch = 5000, cReasonSize = 320 };

  // `db` holds the connection parameters; the output opens and closes it.
  explicit KMySqlOutput(KMySql& db);

  const char* Name() const override { return "mysql"; }
  void Describe(char* out, std::size_t size) const override;
  // One transaction: all rows committed (taken), none (away), or those
  // before a statement with a refused row.
  KDelivery Deliver(const KCanFrame* frames, int count) override;
  // Connects once: wrong settings are printed as at start-up.
  TDeliveryEnum Test() override;
  void FailureText(char* out, std::size_t size) const override;
  // The connection lives from a period's first delivery to its end.
  void Idle() override { mDb.Close(); }
  bool UnreachableEndsRun() const override { return true; }
  int MaxBatch() const override { return cBatch; }
  // rejected.sql: the statements the output sends, for the mariadb client.
  const char* ResendFile() const override { return "rejected.sql"; }
  void ResendText(const KCanFrame& frame, char* out, std::size_t size) const override;

private:
  // After a failed connect: its kind, and mReason.
  TDeliveryEnum ConnectFailure();

  KMySql& mDb;
  char mReason[cReasonSize];
};
