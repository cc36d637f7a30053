// Home Assistant's MQTT discovery: for every value line a retained config
// message that makes the value a sensor of the board's device, available
// while the board's status topic says "online".
#pragma once

#include <string>

#include "MqttSettings.h"

// "<prefix>/sensor/<node>/<name>/config".
std::string DiscoveryTopic(const KMqttSettings& s, const KMqttValue& v);
// The config: name, unique_id, state_topic, unit_of_measurement
// and device_class (when set), state_class "measurement", the availability
// topic with its two payloads, and the device (identifiers, name, model,
// manufacturer).
std::string DiscoveryConfig(const KMqttSettings& s, const KMqttValue& v);
// `text` as a JSON string with its quotes.
std::string JsonString(const char* text);
