// The settings file's choice of what to keep:
//   <filter Name="123:7FF,00000400~1FFFFF00"/>   identifier filters (KCanFilter.h)
//   <downsample Name="changes" Every="10"/>       a data frame only when its
//                                                  length or data changed, or
//                                                  at least every 10 s
//   <listen_only Name="1"/>                       never acknowledge on the bus
#pragma once

#include "KCanFilter.h"

class KXmlNode;

struct KCaptureSettings {
  KCanFilterList mFilter;           // empty: every frame
  const char* mFilterText = nullptr; // the list as written
  bool mChanges = false;            // downsample Name="changes"
  int mEverySeconds = 0;            // downsample Every; 0: changes only
  bool mListenOnly = false;
};

enum : int { cMaxEverySeconds = 86400 * 366 };

// Reads the three keys; a missing key keeps its default. False, with a
// one-line message, for a value it does not know (a filter list with the
// bad item named).
bool ReadCaptureSettings(const KXmlNode& root, KCaptureSettings& s);

// The start-up block's lines for the choices made (nothing without any);
// `can232` tells where the filter is applied.
void PrintCaptureSettings(const KCaptureSettings& s, bool can232);
