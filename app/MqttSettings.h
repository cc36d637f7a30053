// The MQTT output's settings: the <mqtt> element of the settings file and
// its <value> lines (children of <mqtt>, or of the root).
//
//   <mqtt Host="broker" Port="1883" Topic="telltrail/BOARD" User="…"
//         Password="…" ClientId="…" Tls="0|1" CaFile="…" Qos="0|1"
//         Frames="0|1" Node="BOARD" Discovery="homeassistant"/>
//   <value Name="outside_temperature" Index="000C" Receiver="180" Id="…"
//          Scale="0.1" Unit="°C" Class="temperature" Signed="0|1"/>
#pragma once

#include <vector>

#include "MqttValues.h"

class KXmlNode;

struct KMqttSettings {
  enum : int {
    cHostSize = 256,
    cTopicSize = 129,
    cFieldSize = 256,
    cNodeSize = 65,
    cMaxValues = 64
  };
  char mHost[cHostSize] = "localhost";
  int mPort = 1883;
  char mTopic[cTopicSize] = "telltrail";
  char mUser[cFieldSize] = "";
  char mPassword[cFieldSize] = "";
  char mClientId[cFieldSize] = ""; // "" : "telltrail-<node>"
  bool mTls = false;
  char mCaFile[cFieldSize] = "";
  int mQos = 1;
  bool mFrames = true;
  // The board's name in Home Assistant: its device and the discovery topics.
  char mNode[cNodeSize] = "";
  // The discovery prefix; "" publishes no discovery messages.
  char mDiscovery[cTopicSize] = "homeassistant";
  std::vector<KMqttValue> mValues;
};

// Reads <mqtt> and the <value> lines. False, with a line naming the key
// ("mqtt/Port refused: ..."), when a value is wrong; `present` tells whether
// the file has an <mqtt> element at all.
bool ReadMqttSettings(const KXmlNode& root, KMqttSettings& s, bool& present);
