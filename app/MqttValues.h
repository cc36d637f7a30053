// Heating values for MQTT: which Elster telegrams a <value> line picks, the
// 16-bit value it carries, and that value scaled into decimal text.
//
// An Elster telegram is a standard data frame of 5 to 7 bytes: message type
// in the low nibble of byte 0 (0 write, 1 read request, 2 answer), receiver
// group in its high nibble, bit 3 clear; receiver number in the low nibble of
// byte 1, its high nibble clear; the index in byte 2, or in bytes 3 and 4
// after 0xFA; the value, high byte first, in the last two bytes (bytes 5 and
// 6 after an extended index). A read request, and a five-byte frame with an
// extended index, carry no value; 0x8000 means "no value".
#pragma once

#include <cstdint>

#include "NCanUtils.h"

struct KElsterTelegram {
  unsigned mReceiver = 0; // long id (group * 128 + number)
  unsigned mType = 0;
  int mIndex = -1;
  int mValue = -1; // 0..65535, or -1: none (read request, 0x8000)
};

// True when the frame is an Elster telegram; fills `t`.
bool DecodeElster(const KCanFrame& frame, KElsterTelegram& t);

// One <value> line: the telegrams it matches and how its number is formed.
struct KMqttValue {
  enum : int { cNameSize = 49, cUnitSize = 17, cClassSize = 33, cMaxDecimals = 6 };
  char mName[cNameSize] = "";
  int mIndex = 0;
  int mReceiver = -1; // -1: any receiver
  int mId = -1;       // the sender's CAN identifier, -1: any
  // The scale, exactly: mScaleUnits / 10^mScaleDecimals.
  long mScaleUnits = 1;
  int mScaleDecimals = 0;
  bool mSigned = false;
  char mUnit[cUnitSize] = "";
  char mClass[cClassSize] = "";
};

// True when the telegram (from a frame with this identifier) is one the
// value line asks for and carries a value.
bool ValueMatches(const KMqttValue& v, uint32_t canId, const KElsterTelegram& t);

// The telegram's 16-bit value (two's complement when signed) times the
// scale, as decimal text with the scale's decimals: "-0.5", "21.3", "1".
void FormatValue(const KMqttValue& v, int raw, char* out, int size);

// Reads a scale ("0.1", "1", "0.01", "2.5": digits with at most one point
// and at most cMaxDecimals decimals, above zero). False when it is none.
bool ParseScale(const char* text, long& units, int& decimals);

// Names of topics and ids: 1 to size - 1 letters, digits, '_' or '-'.
bool TopicWord(const char* text, int size);
