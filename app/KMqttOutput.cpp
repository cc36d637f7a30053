#include "KMqttOutput.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <poll.h>

#include "ErrnoText.h"
#include "MosquittoLib.h"
#include "MqttDiscovery.h"

namespace {

// Days from 1970-01-01 to 2000-01-01, the frame's day 0.
const long long cEpochDays2000 = 10957;

long long NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

const char cOnline[] = "online";
const char cOffline[] = "offline";

} // namespace

KMqttOutput::KMqttOutput(const KMqttSettings& s, int sampleTime)
    : mS(s), mValues(s.mValues.size()) {
  // The broker drops a client silent for 1.5 keep-alives; Idle() speaks at
  // least once a period.
  long keepalive = 2L * sampleTime + 30;
  mKeepalive = static_cast<int>(keepalive > 65535 ? 65535 : keepalive);
  mReason[0] = 0;
}

KMqttOutput::~KMqttOutput() {
  // A clean end says "offline" itself: the broker sends the last will only
  // for a connection that breaks. (The stop event may be gone by now.)
  mStopEvent = -1;
  if (mConnected && Publish(std::string(mS.mTopic) + "/status", cOffline, true, -1))
    Pump(2000, [this] { return mOwnUnacked == 0; });
  Drop();
}

void KMqttOutput::Describe(char* out, std::size_t size) const {
  std::snprintf(out, size, "mqtt%s://%s%s%s:%d/%s, QoS %d%s, %zu value%s", mS.mTls ? "s" : "",
                mS.mUser, mS.mUser[0] != 0 ? "@" : "", mS.mHost, mS.mPort, mS.mTopic, mS.mQos,
                mS.mFrames ? "" : ", no frames", mS.mValues.size(),
                mS.mValues.size() == 1 ? "" : "s");
}

void KMqttOutput::FailureText(char* out, std::size_t size) const {
  std::snprintf(out, size, "%s", mReason);
}

long long KMqttOutput::FrameTimeMs(const KCanFrame& frame) {
  return (cEpochDays2000 + frame.mDays) * 86400000LL + frame.mMs;
}

std::string KMqttOutput::FrameTopic(const char* topic, const KCanFrame& frame) {
  char id[16];
  if ((frame.mId & KCanFrame::cExtendedFlag) != 0)
    std::snprintf(id, sizeof(id), "%08X", frame.mId & KCanFrame::cIdMask);
  else
    std::snprintf(id, sizeof(id), "%03X", frame.mId & 0x7FFu);
  return std::string(topic) + "/frame/" + id;
}

std::string KMqttOutput::FramePayload(const KCanFrame& frame) {
  const bool remote = (frame.mId & KCanFrame::cRemoteFlag) != 0;
  char data[17] = "";
  if (!remote)
    for (int i = 0; i < frame.SafeLen(); ++i)
      std::snprintf(data + 2 * i, 3, "%02X", frame.mData[i]);
  char text[192];
  std::snprintf(text, sizeof(text),
                "{\"ts\":%lld,\"n\":%u,\"ext\":%s,\"rtr\":%s,\"len\":%d,\"data\":\"%s\"%s}",
                FrameTimeMs(frame), frame.mCounter,
                (frame.mId & KCanFrame::cExtendedFlag) != 0 ? "true" : "false",
                remote ? "true" : "false", frame.SafeLen(), data,
                (frame.mId & KCanFrame::cErrorFlag) != 0 ? ",\"err\":true" : "");
  return text;
}

bool KMqttOutput::StopRequested() const {
  if (mStopEvent < 0)
    return false;
  pollfd p = {mStopEvent, POLLIN, 0};
  return poll(&p, 1, 0) > 0;
}

void KMqttOutput::NoteError(const char* what, int result) {
  const NMosquitto::KApi& api = NMosquitto::Api();
  if (result == NMosquitto::rsErrno) {
    char text[128];
    NCanUtils::ErrnoText(errno, text, sizeof(text));
    std::snprintf(mReason, sizeof(mReason), "mqtt %s:%d: %s: %s", mS.mHost, mS.mPort, what, text);
  } else {
    std::snprintf(mReason, sizeof(mReason), "mqtt %s:%d: %s: %s", mS.mHost, mS.mPort, what,
                  api.strerror(result));
  }
}

void KMqttOutput::OnConnect(mosquitto*, void* self, int code) {
  static_cast<KMqttOutput*>(self)->mConnack = code;
}

void KMqttOutput::OnDisconnect(mosquitto*, void* self, int) {
  static_cast<KMqttOutput*>(self)->mLost = true;
}

void KMqttOutput::OnPublish(mosquitto*, void* self, int mid) {
  KMqttOutput* o = static_cast<KMqttOutput*>(self);
  auto it = o->mPending.find(mid);
  if (it == o->mPending.end()) {
    // At QoS 0 the library may say so while the publish call still runs.
    o->mEarly.push_back(mid);
    return;
  }
  const int frame = it->second;
  o->mPending.erase(it);
  if (frame < 0)
    --o->mOwnUnacked;
  else if (frame < static_cast<int>(o->mUnacked.size()))
    --o->mUnacked[static_cast<std::size_t>(frame)];
}

template <typename F> bool KMqttOutput::Pump(int waitMs, F done) {
  const NMosquitto::KApi& api = NMosquitto::Api();
  const long long deadline = NowMs() + waitMs;
  while (!done()) {
    if (mLost || NowMs() >= deadline || StopRequested())
      return false;
    const int rc = api.loop(mMosq, cSliceMs, 1);
    if (rc != NMosquitto::rsSuccess) {
      if (!mLost)
        NoteError("connection lost", rc);
      mLost = true;
      return false;
    }
  }
  return true;
}

bool KMqttOutput::Publish(const std::string& topic, const std::string& payload, bool retain,
                          int frame) {
  int mid = 0;
  const int rc = NMosquitto::Api().publish(mMosq, &mid, topic.c_str(),
                                           static_cast<int>(payload.size()), payload.data(),
                                           mS.mQos, retain);
  if (rc != NMosquitto::rsSuccess) {
    NoteError("publish", rc);
    mLost = true;
    return false;
  }
  for (std::size_t i = 0; i < mEarly.size(); ++i)
    if (mEarly[i] == mid) {
      mEarly.erase(mEarly.begin() + static_cast<long>(i));
      return true;
    }
  mPending[mid] = frame;
  if (frame < 0)
    ++mOwnUnacked;
  else
    ++mUnacked[static_cast<std::size_t>(frame)];
  return true;
}

void KMqttOutput::Drop() {
  if (mMosq != nullptr) {
    const NMosquitto::KApi& api = NMosquitto::Api();
    if (mConnected && !mLost)
      api.disconnect(mMosq);
    api.destroy(mMosq);
    mMosq = nullptr;
  }
  mConnected = false;
  mLost = false;
  mConnack = -1;
  mPending.clear();
  mEarly.clear();
  mOwnUnacked = 0;
  // Values are published again on the next connection: what the broker
  // retains of them is not known.
  for (KValueState& v : mValues)
    v.mHave = false;
}

bool KMqttOutput::Connect() {
  const char* why = nullptr;
  if (!NMosquitto::Load(&why)) {
    std::snprintf(mReason, sizeof(mReason), "mqtt: %s (Debian package libmosquitto1)", why);
    return false;
  }
  const NMosquitto::KApi& api = NMosquitto::Api();
  Drop();
  std::string clientId = mS.mClientId[0] != 0 ? mS.mClientId : std::string("telltrail-") + mS.mNode;
  mMosq = api.create(clientId.c_str(), true, this);
  if (mMosq == nullptr) {
    std::snprintf(mReason, sizeof(mReason), "mqtt: client not created");
    return false;
  }
  if (api.int_option != nullptr)
    api.int_option(mMosq, NMosquitto::cOptProtocolVersion, NMosquitto::cProtocol311);
  api.max_inflight_messages_set(mMosq, cBatch);
  api.connect_callback_set(mMosq, OnConnect);
  api.disconnect_callback_set(mMosq, OnDisconnect);
  api.publish_callback_set(mMosq, OnPublish);
  const std::string status = std::string(mS.mTopic) + "/status";
  int rc = api.will_set(mMosq, status.c_str(), static_cast<int>(sizeof(cOffline) - 1), cOffline, 1, true);
  if (rc == NMosquitto::rsSuccess && mS.mUser[0] != 0)
    rc = api.username_pw_set(mMosq, mS.mUser, mS.mPassword[0] != 0 ? mS.mPassword : nullptr);
  if (rc == NMosquitto::rsSuccess && mS.mTls)
    rc = api.tls_set(mMosq, mS.mCaFile, nullptr, nullptr, nullptr, nullptr);
  if (rc != NMosquitto::rsSuccess) {
    NoteError("settings", rc);
    return false;
  }
  rc = api.connect_async(mMosq, mS.mHost, mS.mPort, mKeepalive);
  if (rc != NMosquitto::rsSuccess) {
    NoteError("connect", rc);
    return false;
  }
  // A refusal comes as the answer, and the library then closes the
  // connection itself.
  if (!Pump(cConnectWaitMs, [this] { return mConnack >= 0; }) && mConnack <= 0) {
    if (!mLost)
      std::snprintf(mReason, sizeof(mReason), "mqtt %s:%d: no answer within %d s", mS.mHost,
                    mS.mPort, cConnectWaitMs / 1000);
    else if (mReason[0] == 0)
      std::snprintf(mReason, sizeof(mReason), "mqtt %s:%d: connection closed", mS.mHost,
                    mS.mPort);
    return false;
  }
  if (mConnack != 0) {
    int n = std::snprintf(mReason, sizeof(mReason), "mqtt %s:%d: the broker refused the connection: %s",
                          mS.mHost, mS.mPort, api.connack_string(mConnack));
    if (n > 0 && n < static_cast<int>(sizeof(mReason)) && mReason[n - 1] == '.')
      mReason[n - 1] = 0;
    return false;
  }
  mConnected = true;
  // The discovery configs, then "online": retained, at QoS 1 whatever the
  // frames' QoS, acknowledged before the first frame goes.
  bool ok = true;
  if (mS.mDiscovery[0] != 0)
    for (const KMqttValue& v : mS.mValues)
      ok = ok && Publish(DiscoveryTopic(mS, v), DiscoveryConfig(mS, v), true, -1);
  ok = ok && Publish(status, cOnline, true, -1);
  if (!ok || !Pump(cAckWaitMs, [this] { return mOwnUnacked == 0; })) {
    if (!mLost)
      std::snprintf(mReason, sizeof(mReason), "mqtt %s:%d: no acknowledgement within %d s",
                    mS.mHost, mS.mPort, cAckWaitMs / 1000);
    return false;
  }
  return true;
}

KFrameOutput::KDelivery KMqttOutput::Deliver(const KCanFrame* frames, int count) {
  KDelivery d;
  mReason[0] = 0;
  if ((!mConnected || mLost) && !Connect()) {
    Drop();
    d.mResult = dlUnreachable;
    d.mConnectFailed = true;
    return d;
  }
  mUnacked.assign(static_cast<std::size_t>(count), 0);
  // What the values would be once this batch is taken; kept only then.
  std::vector<KValueState> values = mValues;
  bool ok = true;
  for (int i = 0; i < count && ok; ++i) {
    const KCanFrame& f = frames[i];
    if (mS.mFrames)
      ok = Publish(FrameTopic(mS.mTopic, f), FramePayload(f), false, i);
    KElsterTelegram t;
    if (!ok || mS.mValues.empty() || !DecodeElster(f, t))
      continue;
    const long long at = FrameTimeMs(f);
    for (std::size_t k = 0; k < mS.mValues.size() && ok; ++k) {
      const KMqttValue& v = mS.mValues[k];
      KValueState& state = values[k];
      if (!ValueMatches(v, f.mId, t))
        continue;
      if (state.mHave && state.mRaw == t.mValue && at - state.mAtMs < cValueRepeatMs)
        continue;
      char text[48];
      FormatValue(v, t.mValue, text, sizeof(text));
      ok = Publish(std::string(mS.mTopic) + "/value/" + v.mName, text, true, i);
      state.mHave = true;
      state.mRaw = t.mValue;
      state.mAtMs = at;
    }
  }
  const bool all = ok && Pump(cAckWaitMs, [this] { return mPending.empty(); });
  int done = 0;
  while (done < count && mUnacked[static_cast<std::size_t>(done)] == 0)
    ++done;
  if (all && done == count) {
    mValues = values;
    d.mDone = count;
    return d;
  }
  if (mReason[0] == 0)
    std::snprintf(mReason, sizeof(mReason), "mqtt %s:%d: %s", mS.mHost, mS.mPort,
                  StopRequested() ? "stopped while waiting for acknowledgements"
                                  : "no acknowledgement within 10 s");
  // Frames not acknowledged are sent again on a new connection.
  Drop();
  d.mResult = dlUnreachable;
  d.mDone = done;
  return d;
}

void KMqttOutput::Idle() {
  if (mMosq == nullptr || !mConnected)
    return;
  if (NMosquitto::Api().loop(mMosq, 0, 1) != NMosquitto::rsSuccess)
    Drop();
}
