// The comfort frame: an Elster CAN frame in the relay's twelve-byte form.
#include "NCanUtils.h"

#include <cstring>

const KComfortFrame KComfortFrame::InitFrame = {
    {0x0D, 0x00, 0x0D, 0x01, 0x00, 0x0B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x26}};

int KComfortFrame::GetSum() const {
  int sum = 0;
  for (int i = 0; i < cPayload; ++i)
    sum += mData[i];
  return sum;
}

int KComfortFrame::GetCheckSum() const { return mData[10] * 256 + mData[11]; }

bool KComfortFrame::CheckSum() const { return GetSum() == GetCheckSum(); }

void KComfortFrame::SetCheckSum() {
  int sum = GetSum();
  mData[10] = static_cast<unsigned char>((sum / 256) & 0xFF);
  mData[11] = static_cast<unsigned char>(sum & 0xFF);
}

bool KComfortFrame::SetCanFrame(KCanFrame& frame) const {
  frame.Init();
  frame.mLen = 7;
  frame.mId = static_cast<uint32_t>((mData[0] & 0x0F) * 128 + (mData[1] & 0x0F));
  frame.mData[0] = static_cast<unsigned char>(((mData[2] * 16) & 0xFF) + (mData[3] & 0x0F));
  std::memcpy(frame.mData + 1, mData + 4, 6);
  return CheckSum() && (mData[0] & 0xF0) == 0;
}

bool KComfortFrame::GetCanFrame(const KCanFrame& frame) {
  mData[0] = static_cast<unsigned char>((frame.mId / 128) & 0x0F);
  mData[1] = static_cast<unsigned char>(frame.mId & 0x0F);
  mData[2] = static_cast<unsigned char>(frame.mData[0] / 16);
  mData[3] = static_cast<unsigned char>(frame.mData[0] & 0x0F);
  std::memcpy(mData + 4, frame.mData + 1, 6);
  if (frame.mLen == 5) { // a request without value
    mData[8] = 0x80;
    mData[9] = 0x08;
  }
  SetCheckSum();
  return (frame.mLen == 7 || frame.mLen == 5) && frame.mId <= 0x7FF;
}

void KComfortFrame::SetOk(bool ok) {
  std::memset(mData, ok ? 0x55 : 0xAA, cPayload);
  SetCheckSum();
}

void KComfortFrame::SetOkValue(unsigned int value) {
  SetOk(true);
  mData[8] = static_cast<unsigned char>(value & 0xFF);
  mData[9] = static_cast<unsigned char>((value / 256) & 0xFF);
  SetCheckSum();
}

void KComfortFrame::SetInitOk() { SetOkValue(InitId); }

bool KComfortFrame::EqualData(const KComfortFrame& other) const {
  return std::memcmp(mData, other.mData, cSize) == 0;
}

bool KComfortFrame::IsInitFrame() const { return EqualData(InitFrame); }

int KComfortFrame::GetMsgType() const {
  if (IsInitFrame())
    return 0;
  if (mData[0] != 0x0D)
    return 3;
  const bool requestIndex = (mData[4] & 0xF0) == 0;
  if (mData[3] == 1 && requestIndex && (mData[5] == 0xFA || mData[2] != 0))
    return 1;
  if (mData[3] == 0 && requestIndex && mData[5] == 0xFA && mData[2] != 0)
    return 2;
  return 3;
}

void KComfortFrame::SetToString(char* out, std::size_t size) const {
  if (out == nullptr || size == 0)
    return;
  static const char cDigits[] = "0123456789abcdef";
  std::size_t pos = 0;
  for (int i = 0; i < cSize && pos + 2 < size; ++i) {
    out[pos++] = cDigits[mData[i] >> 4];
    out[pos++] = cDigits[mData[i] & 0x0F];
  }
  out[pos] = 0;
}

bool KComfortFrame::SetFromString(const char* text, bool checksumMayBeMissing) {
  if (text == nullptr)
    return false;
  for (int i = 0; i < cSize; ++i) {
    while (*text == ' ' || *text == '.')
      ++text;
    if (!NCanUtils::GetHexByte(text, mData[i])) {
      if (checksumMayBeMissing && i == cPayload) {
        SetCheckSum();
        return true;
      }
      return false;
    }
  }
  return true;
}

