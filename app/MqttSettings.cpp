#include "MqttSettings.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "ErrnoText.h"
#include "KXmlNodeList.h"

namespace {

// Copies `value` into a field of `size`; refuses it, naming the key, when it
// is too long.
bool Copy(char* field, int size, const char* value, const char* key) {
  if (std::strlen(value) >= static_cast<std::size_t>(size)) {
    std::printf("%s refused: more than %d characters\n", key, size - 1);
    return false;
  }
  std::snprintf(field, static_cast<std::size_t>(size), "%s", value);
  return true;
}

bool Refuse(const char* key, const char* value, const char* want) {
  std::printf("%s refused: %s (%s)\n", key, value, want);
  return false;
}

bool ParseDecimal(const char* text, long lowest, long highest, long& out) {
  long v = 0;
  const char* p = text;
  for (; *p >= '0' && *p <= '9' && v <= highest; ++p)
    v = v * 10 + (*p - '0');
  if (p == text || *p != 0 || v < lowest || v > highest)
    return false;
  out = v;
  return true;
}

bool ParseHex(const char* text, long highest, long& out) {
  long v = 0;
  const char* p = text;
  for (; NCanUtils::IsHexDigit(*p) && v <= highest; ++p)
    v = v * 16 + NCanUtils::GetHexDigit(*p);
  if (p == text || *p != 0 || v > highest)
    return false;
  out = v;
  return true;
}

bool ParseSwitch(const char* text, const char* key, bool& out) {
  if (text == nullptr)
    return true;
  if (std::strcmp(text, "0") != 0 && std::strcmp(text, "1") != 0)
    return Refuse(key, text, "0 or 1");
  out = text[0] == '1';
  return true;
}

bool ReadValue(const KXmlNode& node, KMqttValue& v) {
  const char* name = node.FindAttr("Name");
  if (!TopicWord(name, KMqttValue::cNameSize))
    return Refuse("value/Name", name != nullptr ? name : "(missing)",
                  "1 to 48 letters, digits, '_' or '-'");
  std::snprintf(v.mName, sizeof(v.mName), "%s", name);
  long n = 0;
  const char* index = node.FindAttr("Index");
  if (index == nullptr || !ParseHex(index, 0xFFFF, n))
    return Refuse("value/Index", index != nullptr ? index : "(missing)",
                  "the Elster index in hexadecimal, 0000 to FFFF");
  v.mIndex = static_cast<int>(n);
  const char* receiver = node.FindAttr("Receiver");
  if (receiver != nullptr) {
    if (!ParseHex(receiver, 0x7FF, n))
      return Refuse("value/Receiver", receiver, "a receiver id in hexadecimal, 0 to 7FF");
    v.mReceiver = static_cast<int>(n);
  }
  const char* id = node.FindAttr("Id");
  if (id != nullptr) {
    if (!ParseHex(id, 0x7FF, n))
      return Refuse("value/Id", id, "a standard CAN identifier in hexadecimal, 0 to 7FF");
    v.mId = static_cast<int>(n);
  }
  const char* scale = node.FindAttr("Scale");
  if (scale != nullptr && !ParseScale(scale, v.mScaleUnits, v.mScaleDecimals))
    return Refuse("value/Scale", scale, "a number above 0 such as 0.1, at most 6 decimals");
  const char* unit = node.FindAttr("Unit");
  if (unit != nullptr && !Copy(v.mUnit, sizeof(v.mUnit), unit, "value/Unit"))
    return false;
  const char* cls = node.FindAttr("Class");
  if (cls != nullptr) {
    if (!Copy(v.mClass, sizeof(v.mClass), cls, "value/Class"))
      return false;
    if (std::strspn(cls, "abcdefghijklmnopqrstuvwxyz_") != std::strlen(cls))
      return Refuse("value/Class", cls, "a device class of small letters and '_'");
  }
  // Temperatures go below zero: their values are signed unless told not.
  v.mSigned = std::strcmp(v.mClass, "temperature") == 0;
  return ParseSwitch(node.FindAttr("Signed"), "value/Signed", v.mSigned);
}

bool ReadValues(KXmlNode* first, KMqttSettings& s) {
  for (KXmlNode* node = KXmlNodeList::FindNext("value", first); node != nullptr;
       node = KXmlNodeList::FindNext("value", node->mNext)) {
    if (static_cast<int>(s.mValues.size()) >= KMqttSettings::cMaxValues) {
      std::printf("value refused: more than %d value lines\n", KMqttSettings::cMaxValues);
      return false;
    }
    KMqttValue v;
    if (!ReadValue(*node, v))
      return false;
    for (const KMqttValue& other : s.mValues)
      if (std::strcmp(other.mName, v.mName) == 0)
        return Refuse("value/Name", v.mName, "used twice");
    s.mValues.push_back(v);
  }
  return true;
}

} // namespace

bool ReadMqttSettings(const KXmlNode& root, KMqttSettings& s, bool& present) {
  const KXmlNode* mqtt = root.Find("mqtt");
  present = mqtt != nullptr;
  if (!present)
    return true;
  const char* text;
  if ((text = mqtt->FindAttr("Host")) != nullptr && !Copy(s.mHost, sizeof(s.mHost), text, "mqtt/Host"))
    return false;
  if ((text = mqtt->FindAttr("Port")) != nullptr) {
    long port = 0;
    if (!ParseDecimal(text, 1, 65535, port))
      return Refuse("mqtt/Port", text, "1 to 65535");
    s.mPort = static_cast<int>(port);
  }
  if ((text = mqtt->FindAttr("Topic")) != nullptr) {
    if (!Copy(s.mTopic, sizeof(s.mTopic), text, "mqtt/Topic"))
      return false;
    const std::size_t length = std::strlen(text);
    if (std::strpbrk(text, "+#") != nullptr || text[0] == '/' || text[length - 1] == '/')
      return Refuse("mqtt/Topic", text, "no '+' or '#', no '/' at either end");
  }
  if ((text = mqtt->FindAttr("User")) != nullptr && !Copy(s.mUser, sizeof(s.mUser), text, "mqtt/User"))
    return false;
  if ((text = mqtt->FindAttr("Password")) != nullptr &&
      !Copy(s.mPassword, sizeof(s.mPassword), text, "mqtt/Password"))
    return false;
  if ((text = mqtt->FindAttr("ClientId")) != nullptr &&
      !Copy(s.mClientId, sizeof(s.mClientId), text, "mqtt/ClientId"))
    return false;
  if (!ParseSwitch(mqtt->FindAttr("Tls"), "mqtt/Tls", s.mTls) ||
      !ParseSwitch(mqtt->FindAttr("Frames"), "mqtt/Frames", s.mFrames))
    return false;
  if ((text = mqtt->FindAttr("CaFile")) != nullptr &&
      !Copy(s.mCaFile, sizeof(s.mCaFile), text, "mqtt/CaFile"))
    return false;
  if (s.mTls && s.mCaFile[0] == 0)
    return Refuse("mqtt/CaFile", "(missing)", "TLS needs the broker's CA certificate file");
  if (s.mTls && access(s.mCaFile, R_OK) != 0) {
    char reason[128];
    NCanUtils::ErrnoText(errno, reason, sizeof(reason));
    return Refuse("mqtt/CaFile", s.mCaFile, reason);
  }
  if ((text = mqtt->FindAttr("Qos")) != nullptr) {
    if (std::strcmp(text, "0") != 0 && std::strcmp(text, "1") != 0)
      return Refuse("mqtt/Qos", text, "0 or 1");
    s.mQos = text[0] - '0';
  }
  // The node: given, or the topic's last level with other characters as '_'.
  if ((text = mqtt->FindAttr("Node")) != nullptr) {
    if (!TopicWord(text, KMqttSettings::cNodeSize))
      return Refuse("mqtt/Node", text, "1 to 64 letters, digits, '_' or '-'");
    std::snprintf(s.mNode, sizeof(s.mNode), "%s", text);
  } else {
    const char* last = std::strrchr(s.mTopic, '/');
    const char* from = last != nullptr ? last + 1 : s.mTopic;
    const std::size_t length = std::min(std::strlen(from), sizeof(s.mNode) - 1);
    std::memcpy(s.mNode, from, length);
    s.mNode[length] = 0;
    for (char* p = s.mNode; *p != 0; ++p)
      if (!((*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z') || (*p >= '0' && *p <= '9') ||
            *p == '-'))
        *p = '_';
  }
  // An empty attribute reads as absent: Discovery="" keeps the prefix, "0"
  // turns discovery off.
  if ((text = mqtt->FindAttr("Discovery")) != nullptr) {
    if (std::strcmp(text, "0") == 0)
      s.mDiscovery[0] = 0;
    else if (!Copy(s.mDiscovery, sizeof(s.mDiscovery), text, "mqtt/Discovery"))
      return false;
    else if (std::strpbrk(text, "+#") != nullptr)
      return Refuse("mqtt/Discovery", text, "no '+' or '#'");
  }
  if (!ReadValues(root.mFirstNode, s) || !ReadValues(mqtt->mFirstNode, s))
    return false;
  if (!s.mFrames && s.mValues.empty())
    return Refuse("mqtt/Frames", "0", "without frames there must be <value> lines");
  return true;
}
