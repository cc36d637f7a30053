// The CAN232 adapter's bit rate from the settings file: the key
//   <bitrate Name="250k"/>
// with 10k 20k 50k 100k 125k 250k 500k 800k 1M (or the same in bit/s,
// 250000), the adapter's commands S0 .. S8.
#pragma once

class KXmlNode;

// Bit/s of a rate text: digits, optionally followed by k (thousand) or M
// (million). False for anything else.
bool ParseBitRate(const char* text, long& bitsPerSecond);

// Reads the bitrate key into `code` (the adapter's command 0..8); without
// the key `code` stays as it is. For a CAN232 device (`device` contains
// "tty") it prints the rate; for another device it says that the key does
// not apply. False, with a message, for a rate the adapter does not have.
bool ReadAdapterBitRate(const KXmlNode& root, const char* device, int& code);
