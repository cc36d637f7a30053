// The forwarding outputs of a run: every remote destination the settings
// name (database, PUT batches, requests per frame, MQTT), each with a spool and a
// delivery thread of its own, so that one far side being away never holds
// up or costs the frames of another.
//
// With one remote output its spool is the spool folder itself, as it always
// was; with several, each keeps its frames in a sub-folder named after it
// ("mysql", "put", "requests", "mqtt").
#pragma once

#include <memory>
#include <vector>

#include "KForwarder.h"
#include "KFrameOutput.h"
#include "KSpool.h"

class KCanServer;
class KMySql;
class KTcpCanClient;
struct KRunSettings;

class KRemoteOutputs {
public:
  struct KRemote {
    std::unique_ptr<KFrameOutput> mOutput;
    std::unique_ptr<KSpool> mSpool; // null without a spool
    std::unique_ptr<KForwarder> mForwarder;
    bool mDatabase = false;
  };

  // Makes the outputs the settings name (the sample time already read); `client` is the HTTP client the
  // settings made (the second HTTP output gets a copy of it). With
  // `spoolDir`, opens each output's spool of `spoolBytes`. False, with the
  // reason printed, when a spool cannot be used.
  bool Make(const KRunSettings& s, KMySql& mySql, KTcpCanClient* client, const char* spoolDir,
            long long spoolBytes);
  // Once the capture server exists: one forwarder per output.
  void Connect(KCanServer& server, int sampleTime);

  bool Empty() const { return mRemotes.empty(); }
  std::vector<KRemote>& Remotes() { return mRemotes; }
  // The database output, or null.
  KRemote* Database();
  // The forwarders, in the order the frames reach them.
  std::vector<KForwarder*> Forwarders() const;

private:
  std::vector<KRemote> mRemotes;
  std::vector<std::unique_ptr<KTcpCanClient>> mClients; // copies for further HTTP outputs
};
