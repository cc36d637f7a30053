// Time texts written into a text builder, shared by the time print forms
// and the frame lines. Internal to the can library.
#pragma once

class KTextOut;

namespace NCanUtils {

// "%2.2d:%2.2d:%2.2d.%3.3d" of the milliseconds of a day.
void PutDayTime(KTextOut& t, int ms);
// Both forms of PrintTime: "%d.%d.%d %s" or "'%4.4d-%2.2d-%2.2d',%d".
void PutTime(KTextOut& t, int days, int ms, bool sql);

} // namespace NCanUtils
