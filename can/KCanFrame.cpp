// The CAN frame record: reset, the Elster addressing carried in the data
// bytes, and data bytes read from hexadecimal text.
#include "NCanUtils.h"

#include <cstring>

void KCanFrame::Init() {
  mCounter = 0;
  mDays = 0;
  mMs = 0;
  mId = 0;
  mLen = 0;
  mFlags = 0;
  std::memset(mData, 0, sizeof(mData));
}

void KCanFrame::InitElsterFrame(unsigned short sender, unsigned short receiver,
                                unsigned short index) {
  Init();
  mId = sender;
  mLen = 5;
  mData[0] = static_cast<unsigned char>((receiver & 0x780) / 8 + 1);
  mData[1] = static_cast<unsigned char>(receiver & 7);
  mData[2] = 0xFA;
  mData[3] = static_cast<unsigned char>(index / 256);
  mData[4] = static_cast<unsigned char>(index & 0xFF);
}

bool KCanFrame::EqualData(const KCanFrame& other) const {
  if (mLen != other.mLen)
    return false;
  return std::memcmp(mData, other.mData, SafeLen()) == 0;
}

bool KCanFrame::IsAnswer(const KCanFrame& other) const {
  return ((other.mId >> 3) & 0xF0) == (mData[0] & 0xF0u) &&
         ((mId >> 3) & 0xF0) == (other.mData[0] & 0xF0u);
}

bool KCanFrame::Changed(const KCanFrame& other) const {
  if (mLen < 5 || !IsAnswer(other))
    return false;
  return Value() == other.Value();
}

bool KCanFrame::Supported() const { return mLen < 5 || Value() != 0x8000; }

int KCanFrame::Value() const {
  if (mLen < 2 || mLen > 7)
    return 0;
  if (mLen <= 6)
    return mData[mLen - 2] * 256 + mData[mLen - 1];
  if (mData[2] == 0xFA)
    return mData[5] * 256 + mData[6];
  return mData[3] * 256 + mData[4];
}

bool KCanFrame::SetValue(unsigned short value) {
  if (mLen != 5 && mLen != 7)
    return false;
  if (mData[2] == 0xFA) {
    mData[5] = static_cast<unsigned char>(value / 256);
    mData[6] = static_cast<unsigned char>(value & 0xFF);
    mLen = 7;
  } else {
    mData[3] = static_cast<unsigned char>(value / 256);
    mData[4] = static_cast<unsigned char>(value & 0xFF);
  }
  return true;
}

int KCanFrame::Index() const {
  if (mLen < 5 || mLen > 7)
    return -1;
  if (mData[2] == 0xFA)
    return mData[3] * 256 + mData[4];
  return mData[2];
}

unsigned short KCanFrame::ReceiverId() const {
  return static_cast<unsigned short>((mData[0] & 0xF0) * 8 + (mData[1] & 0x0F));
}

unsigned char KCanFrame::ShortReceiverId() const {
  return static_cast<unsigned char>((mData[0] & 0xF0) + (mData[1] & 0x0F));
}

unsigned char KCanFrame::ShortId(unsigned short longId) {
  return static_cast<unsigned char>(((longId & 0x780) / 8) + (longId & 0x0F));
}

unsigned char KCanFrame::GetShortId() const { return ShortId(static_cast<unsigned short>(mId)); }

unsigned short KCanFrame::LongId(unsigned char shortId) {
  return static_cast<unsigned short>((shortId & 0xF0) * 8 + (shortId & 0x0F));
}

void KCanFrame::SetLongId(unsigned char shortId) { mId = LongId(shortId); }

bool KCanFrame::GetDataFromStream(const char* text) {
  mLen = 0;
  if (text == nullptr)
    return false;
  auto skip = [&text]() {
    while (*text == ' ' || *text == '.')
      ++text;
  };
  while (mLen < 8) {
    skip();
    unsigned char b;
    if (!NCanUtils::GetHexByte(text, b))
      break;
    mData[mLen++] = b;
  }
  skip();
  return *text == 0 || *text == '\n' || *text == '\r';
}

