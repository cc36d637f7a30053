#include "MqttDiscovery.h"

#include <cstdio>

std::string JsonString(const char* text) {
  std::string out = "\"";
  for (const char* p = text; *p != 0; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string DiscoveryTopic(const KMqttSettings& s, const KMqttValue& v) {
  return std::string(s.mDiscovery) + "/sensor/" + s.mNode + "/" + v.mName + "/config";
}

std::string DiscoveryConfig(const KMqttSettings& s, const KMqttValue& v) {
  const std::string topic = s.mTopic;
  const std::string id = std::string(s.mNode) + "_" + v.mName;
  std::string c = "{\"name\":" + JsonString(v.mName) + ",\"unique_id\":" + JsonString(id.c_str()) +
                  ",\"state_topic\":" + JsonString((topic + "/value/" + v.mName).c_str());
  if (v.mUnit[0] != 0)
    c += ",\"unit_of_measurement\":" + JsonString(v.mUnit);
  if (v.mClass[0] != 0)
    c += ",\"device_class\":" + JsonString(v.mClass);
  c += ",\"state_class\":\"measurement\",\"availability_topic\":" +
       JsonString((topic + "/status").c_str()) +
       ",\"payload_available\":\"online\",\"payload_not_available\":\"offline\"" +
       ",\"device\":{\"identifiers\":[" + JsonString(("telltrail_" + std::string(s.mNode)).c_str()) +
       "],\"name\":" + JsonString(s.mNode) +
       ",\"model\":\"telltrail CAN logger\",\"manufacturer\":\"telltrail\"}}";
  return c;
}
