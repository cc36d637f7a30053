#include "KRemoteOutputs.h"

#include <cerrno>
#include <cstdio>
#include <string>
#include <sys/stat.h>

#include "ErrnoText.h"
#include "KMqttOutput.h"
#include "KMySqlOutput.h"
#include "KPutOutput.h"
#include "KTcpCanClient.h"
#include "KTemplateOutput.h"
#include "RunSettings.h"

bool KRemoteOutputs::Make(const KRunSettings& s, KMySql& mySql, KTcpCanClient* client,
                          const char* spoolDir, long long spoolBytes) {
  // Each output with the name of its spool sub-folder.
  std::vector<const char*> folders;
  if (s.mMySql) {
    KRemote r;
    r.mOutput.reset(new KMySqlOutput(mySql));
    r.mDatabase = true;
    mRemotes.push_back(std::move(r));
    folders.push_back("mysql");
  }
  // The HTTP outputs each need a client of their own: they deliver on
  // threads of their own.
  KTcpCanClient* http = client;
  auto nextClient = [&]() -> KTcpCanClient& {
    KTcpCanClient* c = http;
    if (c == nullptr) {
      mClients.push_back(MakeHttpClient(s));
      c = mClients.back().get();
    }
    http = nullptr;
    return *c;
  };
  if (client != nullptr && s.mPutHeader != nullptr) {
    KRemote r;
    r.mOutput.reset(new KPutOutput(nextClient(), s.mPutHeader));
    mRemotes.push_back(std::move(r));
    folders.push_back("put");
  }
  if (client != nullptr && s.mUrlTemplate != nullptr) {
    KRemote r;
    r.mOutput.reset(new KTemplateOutput(nextClient(), s.mUrlTemplate, s.mTrace));
    mRemotes.push_back(std::move(r));
    folders.push_back("requests");
  }
  if (s.mMqtt) {
    KRemote r;
    r.mOutput.reset(new KMqttOutput(*s.mMqtt, s.mSampleTime));
    mRemotes.push_back(std::move(r));
    folders.push_back("mqtt");
  }
  if (spoolDir == nullptr || mRemotes.empty())
    return true;
  if (spoolDir[0] == 0) {
    std::printf("spool/Name is empty\n");
    return false;
  }
  const bool several = mRemotes.size() > 1;
  if (several && mkdir(spoolDir, 0750) != 0 && errno != EEXIST) {
    char reason[128];
    NCanUtils::ErrnoText(errno, reason, sizeof(reason));
    std::printf("spool %s not created: %s\n", spoolDir, reason);
    return false;
  }
  for (std::size_t i = 0; i < mRemotes.size(); ++i) {
    std::string dir = several ? std::string(spoolDir) + "/" + folders[i] : std::string(spoolDir);
    mRemotes[i].mSpool.reset(new KSpool);
    if (!mRemotes[i].mSpool->Open(dir.c_str(), spoolBytes))
      return false;
  }
  return true;
}

void KRemoteOutputs::Connect(KCanServer& server, int sampleTime) {
  for (KRemote& r : mRemotes)
    r.mForwarder.reset(new KForwarder(*r.mOutput, r.mSpool.get(), server, sampleTime));
}

KRemoteOutputs::KRemote* KRemoteOutputs::Database() {
  for (KRemote& r : mRemotes)
    if (r.mDatabase)
      return &r;
  return nullptr;
}

std::vector<KForwarder*> KRemoteOutputs::Forwarders() const {
  std::vector<KForwarder*> forwarders;
  for (const KRemote& r : mRemotes)
    if (r.mForwarder)
      forwarders.push_back(r.mForwarder.get());
  return forwarders;
}
