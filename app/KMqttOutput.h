// The MQTT output: every frame a JSON message on "<Topic>/frame/<ID>", the
// values of the <value> lines retained on "<Topic>/value/<Name>", Home
// Assistant's discovery configs, and the board's availability on
// "<Topic>/status" ("online" once connected, "offline" as the broker's last
// will and at a clean end), through libmosquitto bound at run time.
//
// One Deliver is one batch: its messages are published and the output waits
// for the broker's acknowledgements (PUBACK at QoS 1; at QoS 0 the library's
// word that a message went out). A frame is taken once its messages are all
// acknowledged; from the first frame that is not, the batch is reported
// unreachable, the connection is dropped and a later Deliver connects anew
// and publishes those frames again (QoS 1 is at-least-once: a subscriber
// may see a frame twice, with the same counter and time).
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "KFrameOutput.h"
#include "MqttSettings.h"

struct mosquitto;

class KMqttOutput : public KFrameOutput {
public:
  enum : int {
    cBatch = 1000,
    cConnectWaitMs = 5000,
    cAckWaitMs = 10000,
    cSliceMs = 100,
    cValueRepeatMs = 600000, // a value unchanged is published again after 10 minutes
    cReasonSize = 768
  };

  // `s` must outlive the output; `sampleTime` (seconds) sets the keep-alive,
  // which must outlast a period without frames.
  KMqttOutput(const KMqttSettings& s, int sampleTime);
  ~KMqttOutput() override;
  KMqttOutput(const KMqttOutput&) = delete;
  KMqttOutput& operator=(const KMqttOutput&) = delete;

  const char* Name() const override { return "mqtt"; }
  // "mqtt://user@host:port/topic" (never the password), QoS, TLS, values.
  void Describe(char* out, std::size_t size) const override;
  KDelivery Deliver(const KCanFrame* frames, int count) override;
  void FailureText(char* out, std::size_t size) const override;
  // Keeps the connection alive between periods (keep-alive pings).
  void Idle() override;
  void SetStopEvent(int fd) override { mStopEvent = fd; }
  int MaxBatch() const override { return cBatch; }

  // The frame's topic and JSON payload.
  static std::string FrameTopic(const char* topic, const KCanFrame& frame);
  static std::string FramePayload(const KCanFrame& frame);
  // Receive time in ms since 1970 UTC.
  static long long FrameTimeMs(const KCanFrame& frame);

private:
  struct KValueState {
    bool mHave = false;
    int mRaw = 0;
    long long mAtMs = 0;
  };

  bool Connect();
  void Drop();
  // Runs the library's loop until `done` says so, the deadline passes, the
  // stop event fires or the connection breaks; true when `done`.
  template <typename F> bool Pump(int waitMs, F done);
  // Publishes one message owned by `frame` (-1: the connection's own);
  // false when the library refused it (the connection is gone).
  bool Publish(const std::string& topic, const std::string& payload, bool retain, int frame);
  bool StopRequested() const;
  void NoteError(const char* what, int result);
  static void OnConnect(mosquitto*, void* self, int code);
  static void OnDisconnect(mosquitto*, void* self, int code);
  static void OnPublish(mosquitto*, void* self, int mid);

  const KMqttSettings& mS;
  int mKeepalive;
  int mStopEvent = -1;
  mosquitto* mMosq = nullptr;
  bool mConnected = false;
  int mConnack = -1; // the broker's answer to CONNECT, -1 while none
  bool mLost = false;
  std::unordered_map<int, int> mPending; // message id -> frame of the batch (-1: own)
  std::vector<int> mEarly;               // acknowledged before their publish call returned
  std::vector<int> mUnacked;             // per frame of the batch
  int mOwnUnacked = 0;
  std::vector<KValueState> mValues; // per value line
  char mReason[cReasonSize];
};
