#include "CaptureSettings.h"

#include <cstdio>
#include <cstring>

#include "KXmlNodeList.h"
#include "LogFileSettings.h"

bool ReadCaptureSettings(const KXmlNode& root, KCaptureSettings& s) {
  const char* text = root.FindNodeAttr("filter", "Name");
  if (text != nullptr) {
    char bad[KCanFilterList::cItemTextSize];
    if (!s.mFilter.Parse(text, bad, sizeof(bad))) {
      std::printf("filter/Name refused at \"%s\": comma-separated <id>:<mask> or <id>~<mask>, "
                  "id of 3 (standard) or 8 (extended) hex digits, mask of 1 to 8, at most %d\n",
                  bad, KCanFilterList::cMaxFilters);
      return false;
    }
    s.mFilterText = text;
  }
  text = root.FindNodeAttr("downsample", "Name");
  if (text != nullptr) {
    if (std::strcmp(text, "changes") != 0) {
      std::printf("downsample/Name refused: \"%s\" (changes)\n", text);
      return false;
    }
    s.mChanges = true;
    text = root.FindNodeAttr("downsample", "Every");
    long long seconds = 0;
    if (text != nullptr && std::strcmp(text, "0") != 0) {
      if (!ParseCount(text, cMaxEverySeconds, seconds)) {
        std::printf("downsample/Every refused: \"%s\" (seconds, 0 to %d)\n", text,
                    cMaxEverySeconds);
        return false;
      }
    }
    s.mEverySeconds = static_cast<int>(seconds);
  }
  text = root.FindNodeAttr("listen_only", "Name");
  if (text != nullptr) {
    if (std::strcmp(text, "1") != 0 && std::strcmp(text, "0") != 0) {
      std::printf("listen_only/Name refused: \"%s\" (1 or 0)\n", text);
      return false;
    }
    s.mListenOnly = text[0] == '1';
  }
  return true;
}

void PrintCaptureSettings(const KCaptureSettings& s, bool can232) {
  if (s.mFilterText != nullptr)
    std::printf("filter: %s (%s)\n", s.mFilterText,
                can232 ? "applied as frames are read" : "in the kernel");
  if (s.mChanges && s.mEverySeconds > 0)
    std::printf("down-sampling: a frame when its data change, at least every %d sec\n",
                s.mEverySeconds);
  else if (s.mChanges)
    std::printf("down-sampling: a frame when its data change\n");
  if (s.mListenOnly)
    std::printf("listen-only\n");
}
