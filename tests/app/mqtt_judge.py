#!/usr/bin/python3
"""Judges what mosquitto_sub -v received from telltrail's MQTT output.

  mqtt_judge.py frames SENT RECEIVED [--duplicates]
      the frame messages are the emulator's sent frames (a candump log),
      every one, in counter order, exact (identifier, extended and remote
      flags, length, data; time within 2 s of the sending); a frame seen
      again must be the same message (allowed with --duplicates only)
  mqtt_judge.py values RECEIVED NAME=VALUE...
      the value messages, in order, are exactly these
  mqtt_judge.py discovery RECEIVED TOPIC COUNT
      COUNT retained discovery configs with Home Assistant's keys, whose
      availability topic is TOPIC/status"""
import json
import re
import sys

SENT_LINE = re.compile(r"^\((\d+)\.(\d{6})\) \S+ ([0-9A-F]+)#(R\d?|[0-9A-F]*)$")


def messages(path, part):
    out = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            topic, _, payload = line.rstrip("\n").partition(" ")
            if f"/{part}/" in topic or topic.endswith(f"/{part}") or part == "*":
                out.append((topic, payload))
    return out


def judge_frames(sent_path, received_path, duplicates):
    sent = []
    with open(sent_path) as f:
        for line in f:
            m = SENT_LINE.match(line.strip())
            if not m:
                sys.exit(f"unreadable sent line: {line!r}")
            ms = int(m.group(1)) * 1000 + int(m.group(2)) // 1000
            ident, data = m.group(3), m.group(4)
            remote = data.startswith("R")
            length = int(data[1:] or 0) if remote else len(data) // 2
            sent.append((ident, len(ident) == 8, remote, length, "" if remote else data, ms))
    seen = {}
    order = []
    dups = 0
    for topic, payload in messages(received_path, "frame"):
        p = json.loads(payload)
        if set(p) != {"ts", "n", "ext", "rtr", "len", "data"}:
            sys.exit(f"frame message with keys {sorted(p)}: {payload}")
        n = p["n"]
        if n in seen:
            if seen[n] != (topic, payload):
                sys.exit(f"frame {n} sent again but different: {seen[n]} / {(topic, payload)}")
            dups += 1
            continue
        seen[n] = (topic, payload)
        order.append(n)
    if dups and not duplicates:
        sys.exit(f"{dups} frames arrived twice")
    if order != list(range(len(order))):
        bad = next(i for i, n in enumerate(order) if n != i)
        sys.exit(f"frame counters not 0, 1, 2, ...: message {bad} has counter {order[bad]}")
    if len(order) != len(sent):
        sys.exit(f"{len(sent)} frames sent, {len(order)} received")
    for n, s in enumerate(sent):
        topic, payload = seen[n]
        p = json.loads(payload)
        got = (topic.rsplit("/", 1)[1], p["ext"], p["rtr"], p["len"], p["data"])
        if got != s[:5]:
            sys.exit(f"frame {n}: sent {s[:5]}, received {got}")
        if abs(p["ts"] - s[5]) > 2000:
            sys.exit(f"frame {n}: time {p['ts']} ms, sent at {s[5]} ms")
    print(f"{len(sent)} frames exact and in order, {dups} sent twice")


def judge_values(received_path, expected):
    got = [f"{t.rsplit('/', 1)[1]}={v}" for t, v in messages(received_path, "value")]
    if got != expected:
        sys.exit(f"values {got}, expected {expected}")
    print(f"{len(got)} values as expected: {' '.join(got)}")


def judge_discovery(received_path, topic, count):
    configs = [(t, v) for t, v in messages(received_path, "*")
               if t.startswith("homeassistant/sensor/") and t.endswith("/config")]
    if len(configs) != count:
        sys.exit(f"{len(configs)} discovery configs, expected {count}")
    for t, v in configs:
        c = json.loads(v)
        node, name = t.split("/")[2:4]
        want = {"name": name, "state_topic": f"{topic}/value/{name}", "state_class": "measurement",
                "availability_topic": f"{topic}/status", "payload_available": "online",
                "payload_not_available": "offline", "unique_id": f"{node}_{name}"}
        for key, value in want.items():
            if c.get(key) != value:
                sys.exit(f"{t}: {key} is {c.get(key)!r}, expected {value!r}")
        device = c.get("device", {})
        if not device.get("identifiers") or not device.get("name"):
            sys.exit(f"{t}: device without identifiers or name: {device}")
        if not re.fullmatch(r"[A-Za-z0-9_-]+", node + name):
            sys.exit(f"{t}: node or object id with characters discovery does not take")
    print(f"{count} discovery configs with the required keys")


if __name__ == "__main__":
    mode = sys.argv[1]
    if mode == "frames":
        judge_frames(sys.argv[2], sys.argv[3], "--duplicates" in sys.argv[4:])
    elif mode == "values":
        judge_values(sys.argv[2], sys.argv[3:])
    elif mode == "discovery":
        judge_discovery(sys.argv[2], sys.argv[3], int(sys.argv[4]))
    else:
        sys.exit(__doc__)
