#!/usr/bin/python3
"""Judges a candump log written by telltrail (or telltrail-export) with
python-can, the CAN world's reader, against the emulator's log of the frames
it sent (read by python-can too): the same frames in the same order, with
identifier, extended and remote flags, length, data and channel as far as
the logged source carries them; receive times within 2 s of the sending.

  candump_judge.py SENT LOGGED CHANNEL CARRIES [CONSOLE]

CARRIES: all (candump, CSV), noext (table rows: no extended flag), none
(trace lines: no flags). CONSOLE: telltrail's console with trace lines of
the same frames, whose times (to the ms) the logged times must equal.
Needs Debian's python3-can (run with /usr/bin/python3)."""
import re
import sys
from datetime import datetime, timezone

import can


def main():
    sent_path, logged_path, channel, carries = sys.argv[1:5]
    sent = list(can.LogReader(sent_path))
    logged = list(can.LogReader(logged_path))
    errors = []
    if len(sent) != len(logged):
        errors.append(f"{len(sent)} frames sent, {len(logged)} read from {logged_path}")
    for i, (s, l) in enumerate(zip(sent, logged)):
        extended = s.is_extended_id if carries == "all" else s.arbitration_id > 0x7FF
        remote = s.is_remote_frame and carries != "none"
        # A remote frame without its flag is a data frame of its length (the
        # adapter's remote frames carry zeros).
        data = b"" if remote else (bytes(s.dlc) if s.is_remote_frame else bytes(s.data))
        got = (l.arbitration_id, l.is_extended_id, l.is_remote_frame, l.dlc, bytes(l.data), l.channel)
        want = (s.arbitration_id, extended, remote, s.dlc, data, channel)
        if got != want:
            errors.append(f"frame {i}: read {got}, sent {want}")
        if abs(l.timestamp - s.timestamp) > 2.0:
            errors.append(f"frame {i}: received at {l.timestamp}, sent at {s.timestamp}")
    if len(sent) == 0:
        errors.append("no frame sent")
    if len(sys.argv) > 5:
        # " 17  7.12.2026 14:05:09.123       180 00 [5] ..."
        trace = re.compile(r"^\s*\d+\s+(\d+)\.(\d+)\.(\d+) (\d+):(\d+):(\d+)\.(\d{3})\s")
        times = []
        with open(sys.argv[5], encoding="latin-1") as console:
            for line in console:
                m = trace.match(line)
                if m:
                    d, mo, y, h, mi, sec, ms = (int(x) for x in m.groups())
                    t = datetime(y, mo, d, h, mi, sec, tzinfo=timezone.utc).timestamp()
                    times.append(int(t) * 1000 + ms)
        read = [round(l.timestamp * 1000) for l in logged]
        if times != read:
            first = next((i for i, (a, b) in enumerate(zip(times, read)) if a != b), min(len(times), len(read)))
            errors.append(f"times differ from the console's trace lines from frame {first} on "
                          f"({len(times)} console lines, {len(read)} frames)")
    for e in errors[:10]:
        print("judge:", e)
    if errors:
        return 1
    kinds = (sum(m.is_extended_id for m in logged), sum(m.is_remote_frame for m in logged))
    print(f"python-can read {len(logged)} frames as sent ({kinds[0]} extended, {kinds[1]} remote)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
