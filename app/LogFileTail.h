// The end of a daily log file that a crash, a power loss or a full disk has
// cut in the middle of a line.
#pragma once

// Removes a last line that has no line feed (the file is cut back to just
// after its last line feed, or to nothing when it has none): read later, a
// part of a line could pass for a shorter, wrong frame. Returns the number
// of bytes removed (0 when the file ends with a line feed, is empty or is
// not a regular file), -1 when the file cannot be read or cut (errno says
// why).
long long CutPartialLastLine(int fd);
