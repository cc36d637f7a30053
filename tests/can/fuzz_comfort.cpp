// libFuzzer target for the hexadecimal text readers of frames: the comfort
// frame's text (as the relay receives it) and the data bytes of a CAN frame.
// Besides the sanitizers' findings, a broken invariant aborts.
//
//   clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -Ican \
//     can/*.cpp tests/can/fuzz_comfort.cpp -o fuzz_comfort
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "NCanUtils.h"

namespace {

void Check(bool condition) {
  if (!condition)
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size); // NUL-terminated copy

  for (bool checksumMayBeMissing : {false, true}) {
    KComfortFrame frame;
    std::memset(frame.mData, 0, sizeof(frame.mData));
    if (!frame.SetFromString(text.c_str(), checksumMayBeMissing))
      continue;
    if (checksumMayBeMissing)
      Check(frame.mData[10] * 256 + frame.mData[11] == frame.GetCheckSum());
    const int type = frame.GetMsgType();
    Check(type >= 0 && type <= 3);

    // Its text reads back to the same frame.
    char out[KComfortFrame::cTextSize];
    frame.SetToString(out, sizeof(out));
    Check(std::strlen(out) == 24);
    KComfortFrame again;
    Check(again.SetFromString(out, false) && again.EqualData(frame));

    // A valid frame whose nibble fields hold nibbles survives the trip
    // through a CAN frame.
    KCanFrame can;
    const bool valid = frame.SetCanFrame(can);
    Check(can.mLen == 7 && can.mId <= 0x7FF);
    if (valid && frame.mData[1] < 16 && frame.mData[2] < 16 && frame.mData[3] < 16) {
      KComfortFrame back;
      Check(back.GetCanFrame(can) && back.EqualData(frame));
    }
  }

  KCanFrame frame;
  bool complete = frame.GetDataFromStream(text.c_str());
  Check(frame.mLen >= 0 && frame.mLen <= 8);
  if (complete && frame.mLen < 8) {
    // Everything up to the end was read as data: appending a byte pair
    // gives one more byte.
    KCanFrame longer;
    std::string more = text.substr(0, std::strlen(text.c_str()));
    std::size_t end = more.find_first_of("\r\n");
    if (end != std::string::npos)
      more.erase(end);
    more += " 5a";
    Check(longer.GetDataFromStream(more.c_str()) && longer.mLen == frame.mLen + 1 &&
          longer.mData[frame.mLen] == 0x5a);
  }
  return 0;
}
