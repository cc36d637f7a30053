// The comfort relay of KTcpCanClient: one comfort frame out as a line of
// hexadecimal text and two LF, one answer line back, on a connection of its
// own. Its one user is tools/comfortsend.
#include <cstdio>
#include <cstring>

#include "KTcpCanClient.h"
#include "NCanUtils.h" // KComfortFrame
#include "Report.h"

bool KTcpCanClient::SendComfortFrame(const KComfortFrame& request, KComfortFrame& answer) {
  char digits[KComfortFrame::cTextSize];
  request.SetToString(digits, sizeof(digits));
  char text[cElsterTextSize];
  std::snprintf(text, sizeof(text), "%s\n", digits);
  BeginExchange();
  Connect(cRelayConnectWait); // without a connection the send fails
  bool result = false;
  if (SendElster(text, sizeof(text), cRelaySendWait))
    result = ReadElster(text, sizeof(text));
  if (result)
    result = answer.SetFromString(text, true);
  Disconnect();
  return result;
}

bool KTcpCanClient::SendElster(char* text, std::size_t size, int timeoutMs) {
  if (text == nullptr || size == 0)
    return false;
  std::size_t length = strnlen(text, size);
  if (length == size) // not terminated within its buffer
    return false;
  while (length > 0 && text[length - 1] == ' ')
    text[--length] = 0;
  if (length + 1 >= size)
    return false;
  text[length++] = '\n';
  text[length] = 0;
  return SendBuffer(text, static_cast<int>(length), timeoutMs);
}

bool KTcpCanClient::ReadElster(char* buffer, std::size_t size) {
  if (buffer == nullptr || size < static_cast<std::size_t>(cElsterLineSize))
    return false;
  const int cMaxLine = cElsterLineSize - 1;
  if (Receive(buffer, 1, cRelayFirstWait) != 1 || buffer[0] == '\n') {
    buffer[0] = 0;
    return false;
  }
  for (int i = 1; i < cMaxLine; ++i) {
    if (Receive(buffer + i, 1, cRelayNextWait) != 1) {
      buffer[i] = 0;
      char shown[KPrintableText::cLineSize];
      PrintableText(buffer, static_cast<std::size_t>(i), shown, sizeof(shown));
      NReport::Print("broken %s\n", shown);
      return false;
    }
    if (buffer[i] == '\n') {
      buffer[i + 1] = 0;
      return true;
    }
  }
  buffer[cMaxLine] = 0;
  char shown[KPrintableText::cLineSize];
  PrintableText(buffer, static_cast<std::size_t>(cMaxLine), shown, sizeof(shown));
  NReport::Print("no LF %s\n", shown);
  return false;
}
