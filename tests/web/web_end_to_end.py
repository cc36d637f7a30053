#!/usr/bin/python3
"""The web page and its API over a throwaway MariaDB server, end to end.

A known data set (13 identifiers: standard, extended, remote, error frames
of several classes, Elster telegrams; two boards; 20,000 frames) goes into can_log in the
logger's statements, with late frames and a re-delivered batch. Then:
  1. the summary equals a count of the rows it covers;
  2. api.php (php -S, a SELECT-only user) answers q=ids, q=rate and the
     value series exactly as counted here from the data set, for the full
     range and sub-ranges, with and without can_id and source, once while
     part of the rows are not yet in the summary and once after; and the
     same on a table of an older version (no source, no summary);
  3. bad parameters get 400 with a JSON error, and the table stays as it was;
  4. the page in headless Chromium behind nginx + php-fpm and behind php -S:
     opened without a range (nothing in the last hour: everything logged),
     every identifier with its exact count, charts drawn (the bus's error
     frames by class among them), a new range and a
     selected identifier reload them, no console errors; screenshots (wide
     and narrow) go to the output folder;
  5. with 100,000 rows more from 3,000 identifiers, q=ids answers one page of
     them and the page shows the busiest and says its list is cut;
  6. a row whose transaction commits late is counted;
  7. with the settings naming a replica (db_read_host), the API and the page
     answer the same from it while the primary is stopped.

    web_end_to_end.py OUTPUT_DIR
"""
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DBSERVER = os.path.join(ROOT, "tools/mariadb/test-server.sh")
HTTPSERVER = os.path.join(ROOT, "tools/httpserver/httpserver.sh")
OUT = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "web-output")
T0 = 1796652012345  # 2026-12-07 14:00:12.345 UTC, not on a minute
MINUTE = 60000
FAILURES = []


def skip(why):
    print("SKIP: " + why)
    sys.exit(77)


def check(ok, what):
    print(("ok: " if ok else "FAIL: ") + what)
    if not ok:
        FAILURES.append(what)


def run(*cmd, stdin=None, env=None):
    return subprocess.run(cmd, input=stdin, env=env, check=True, capture_output=True, text=True).stdout


# --- The data set ------------------------------------------------------------

class Frame:
    def __init__(self, counter, ts, can_id, data, source):
        self.counter, self.ts, self.can_id, self.data, self.source = counter, ts, can_id, data, source

    def values(self, with_source=True):
        cols = [self.counter, self.ts, self.can_id] + self.data + ["NULL"] * (8 - len(self.data))
        text = ",".join(str(c) for c in cols)
        return text + (",'%s'" % self.source if with_source else "")


def elster_data(rng, can_id):
    # An answer (type 2) to receiver 0x301 with an extended index and its
    # value, or a read request (type 1) that carries none.
    index = rng.choice([0x000C, 0x0011, 0x01D6])
    if rng.random() < 0.2:
        return [0x61, 0x01, 0xFA, index >> 8, index & 0xFF]
    value = rng.randrange(0, 400) if index != 0x0011 else 0x8000
    return [0x62, 0x01, 0xFA, index >> 8, index & 0xFF, value >> 8, value & 0xFF]


def make_frames():
    rng = random.Random(21)
    ids = {0x000: "std", 0x100: "std", 0x301: "std", 0x7FF: "std", 0x180: "elster", 0x680: "elster",
           0x800: "ext", 0x18DB33F1: "ext", 0x1FFFFFFF: "ext", 0x40000180: "rtr", 0x58DB33F1: "rtr",
           0x20000004: "err", 0x200000A8: "err"}
    weights = [5, 12, 6, 1, 20, 10, 3, 15, 2, 4, 1, 1, 1]
    frames = []
    for i in range(20000):
        can_id = rng.choices(list(ids), weights)[0]
        kind = ids[can_id]
        if kind == "elster":
            data = elster_data(rng, can_id)
        elif kind in ("rtr", "err"):
            # The controller's state in byte 1: none, warning, passive,
            # RX overflow, or TX passive and RX warning at once.
            data = [] if kind == "rtr" else [0, rng.choice([0x00, 0x04, 0x10, 0x01, 0x24]), 0, 0, 0, 0, 0, 0]
        else:
            data = [rng.randrange(256) for _ in range(rng.randrange(9))]
        # Strictly increasing times, two hours in all.
        frames.append(Frame(i, T0 + i * 360 + rng.randrange(300), can_id, data,
                            "boardA" if rng.random() < 0.3 else ""))
    return frames


MID_LO, MID_HI = T0 + 1234567, T0 + 4321000


def edge_frames(end):
    """Frames of 0x123 exactly on the bounds of the ranges asked: at from and
    to, on whole minutes and on bucket starts."""
    times = [T0, end, MID_LO, MID_HI, MID_LO + 21000, 1796652060000, 1796655000000, 1796652000000 + 10 * 120000,
             1796652000000 + 37 * MINUTE, 1796652000000 + 120 * MINUTE]
    return [Frame(30000 + k, t, 0x123, [k], "boardA" if k % 2 else "") for k, t in enumerate(times)]


def inserts(frames, with_source=True):
    """The logger's statements: 100 rows each, a re-delivered frame stored once."""
    cols = "counter,timestamp,can_id,d0,d1,d2,d3,d4,d5,d6,d7" + (",source" if with_source else "")
    out = []
    for k in range(0, len(frames), 100):
        rows = ",".join("(%s)" % f.values(with_source) for f in frames[k:k + 100])
        out.append("INSERT can_log(%s) VALUES%s ON DUPLICATE KEY UPDATE counter=counter;" % (cols, rows))
    return "\n".join(out) + "\n"


# --- What the API must answer, counted here ----------------------------------

def hexdata(f):
    return "".join("%02X" % b for b in f.data)


def want_ids(frames, lo, hi, source=None, by_frames=False):
    by = {}
    for f in frames:
        if lo <= f.ts < hi and (source is None or f.source == source):
            by.setdefault(f.can_id, []).append(f)
    out = []
    for can_id in sorted(by, key=lambda i: (-len(by[i]), i) if by_frames else i):
        fs = sorted(by[can_id], key=lambda f: f.ts)
        out.append({"can_id": can_id, "frames": len(fs), "first": fs[0].ts, "last": fs[-1].ts,
                    "data": hexdata(fs[-1])})
    return out


def want_rate(frames, lo, hi, step, can_id=None, source=None):
    width = step * 1000
    counts = [0] * (-(-(hi - lo) // width))
    for f in frames:
        if lo <= f.ts < hi and can_id in (None, f.can_id) and source in (None, f.source):
            counts[(f.ts - lo) // width] += 1
    return [[lo + i * width, n] for i, n in enumerate(counts)]


def want_buckets(frames, lo, hi, step, top):
    """q=buckets: the busiest TOP identifiers per bucket, the others in one
    row per bucket with their data bytes (remote left out) and extended frames."""
    width = step * 1000
    inside = [f for f in frames if lo <= f.ts < hi]
    busiest = [e["can_id"] for e in want_ids(frames, lo, hi, by_frames=True)[:top]]
    cells = {}
    for f in inside:
        key = ((f.ts - lo) // width, f.can_id if f.can_id in busiest else None)
        c = cells.setdefault(key, [0, 0, 0])
        c[0] += 1
        c[1] += 0 if key[1] is None and f.can_id & 0x40000000 else len(f.data)
        c[2] += (f.can_id & 0x1FFFFFFF) > 0x7FF
    out = []
    for (b, i) in sorted(cells, key=lambda k: (k[0], k[1] is None, k[1] or 0)):
        n, nbytes, ext = cells[(b, i)]
        out.append([lo + b * width, i, n, nbytes] + ([ext] if i is None else []))
    return out


def want_health(frames, lo, hi, step, source=None):
    """q=health: error frames per bucket by class (bus-off, error-passive,
    error-warning, RX and TX overflow, lost arbitration, protocol, no ACK,
    other), the buckets that have any."""
    width = step * 1000
    out = {}
    for f in frames:
        if not (f.can_id & 0x20000000) or f.can_id & 0x40000000 or not lo <= f.ts < hi or source not in (None, f.source):
            continue
        ctrl = f.data[1] if f.can_id & 0x04 and len(f.data) > 1 else 0
        got = [f.can_id & 0x40, ctrl & 0x30, ctrl & 0x0C, ctrl & 0x01, ctrl & 0x02, f.can_id & 0x02,
               f.can_id & 0x08, f.can_id & 0x20]
        got = [int(bool(g)) for g in got] + [int(not any(got))]
        row = out.setdefault((f.ts - lo) // width, [0] * 9)
        out[(f.ts - lo) // width] = [a + b for a, b in zip(row, got)]
    return [[lo + b * width] + out[b] for b in sorted(out)]


def want_elster(frames, lo, hi, can_id, index):
    return [[f.ts, v, v] for f in frames for v in [f.data[5] * 256 + f.data[6] if len(f.data) == 7 else None]
            if f.can_id == can_id and lo <= f.ts < hi and v is not None and v != 0x8000
            and f.data[3] * 256 + f.data[4] == index]


def want_bytes(frames, lo, hi, can_id, byte):
    return [[f.ts, f.data[byte], f.data[byte]] for f in frames
            if f.can_id == can_id and lo <= f.ts < hi and len(f.data) > byte]


def get(base, query, headers=False):
    try:
        with urllib.request.urlopen(base + "/api.php?" + query, timeout=60) as r:
            out = r.status, r.read().decode(), r.headers
    except urllib.error.HTTPError as e:
        out = e.code, e.read().decode(), e.headers
    return out if headers else out[:2]


def api_cases(frames, end, with_source):
    mid_lo, mid_hi = MID_LO, MID_HI
    cases = [
        ("ids, full range", "q=ids&from=%d&to=%d" % (T0, end), want_ids(frames, T0, end)),
        ("ids, sub-range", "q=ids&from=%d&to=%d" % (mid_lo, mid_hi), want_ids(frames, mid_lo, mid_hi)),
        ("ids, whole minutes", "q=ids&from=%d&to=%d" % (1796652060000, 1796655000000),
         want_ids(frames, 1796652060000, 1796655000000)),
        ("ids, empty range", "q=ids&from=%d&to=%d" % (end + 1, end + 9), []),
        ("ids of can_id 0x680, sub-range", "q=ids&from=%d&to=%d&can_id=%d" % (mid_lo, mid_hi, 0x680),
         [e for e in want_ids(frames, mid_lo, mid_hi) if e["can_id"] == 0x680]),
        ("rate, full range, step 60", "q=rate&from=%d&to=%d&step=60" % (T0, end), want_rate(frames, T0, end, 60)),
        ("rate, whole minutes, step 120", "q=rate&from=1796652000000&to=1796660000000&step=120",
         want_rate(frames, 1796652000000, 1796660000000, 120)),
        ("rate, whole minutes off the hour, step 3600", "q=rate&from=1796652060000&to=1796662860000&step=3600",
         want_rate(frames, 1796652060000, 1796662860000, 3600)),
        ("rate, sub-range, step 7", "q=rate&from=%d&to=%d&step=7" % (mid_lo, mid_hi),
         want_rate(frames, mid_lo, mid_hi, 7)),
        ("rate, can_id 0x18DB33F1, step 60", "q=rate&from=1796652000000&to=%d&step=60&can_id=%d"
         % (end, 0x18DB33F1), want_rate(frames, 1796652000000, end, 60, 0x18DB33F1)),
        ("rate, can_id remote 0x180, sub-range", "q=rate&from=%d&to=%d&step=300&can_id=%d"
         % (mid_lo, mid_hi, 0x40000180), want_rate(frames, mid_lo, mid_hi, 300, 0x40000180)),
        ("ids, busiest first, a page of 5 from the 3rd", "q=ids&from=%d&to=%d&order=frames&limit=5&offset=2"
         % (mid_lo, mid_hi), want_ids(frames, mid_lo, mid_hi, by_frames=True)[2:7]),
        ("ids, a page beyond the last", "q=ids&from=%d&to=%d&offset=50" % (T0, end), []),
        ("ids, whole hours", "q=ids&from=1796652000000&to=1796659200000",
         want_ids(frames, 1796652000000, 1796659200000)),
        ("buckets of the 3 busiest, whole hours, step 3600",
         "q=buckets&from=1796652000000&to=1796662800000&step=3600&top=3",
         want_buckets(frames, 1796652000000, 1796662800000, 3600, 3)),
        ("buckets of the 3 busiest, whole minutes, step 120",
         "q=buckets&from=1796652000000&to=1796660000000&step=120&top=3",
         want_buckets(frames, 1796652000000, 1796660000000, 120, 3)),
        ("bus health, full range, step 600", "q=health&from=%d&to=%d&step=600" % (T0, end),
         want_health(frames, T0, end, 600)),
        ("bus health, sub-range, step 7", "q=health&from=%d&to=%d&step=7" % (mid_lo, mid_hi),
         want_health(frames, mid_lo, mid_hi, 7)),
        ("Elster index 0x000C of 0x180", "q=elster&from=%d&to=%d&can_id=384&index=12" % (mid_lo, mid_hi),
         want_elster(frames, mid_lo, mid_hi, 0x180, 0x000C)),
        ("byte 3 of 0x100", "q=bytes&from=%d&to=%d&can_id=256&byte=3" % (mid_lo, mid_hi),
         want_bytes(frames, mid_lo, mid_hi, 0x100, 3)),
    ]
    if with_source:
        cases += [
            ("ids of boardA", "q=ids&from=%d&to=%d&source=boardA" % (T0, end),
             want_ids(frames, T0, end, "boardA")),
            ("ids of the unnamed board, whole minutes", "q=ids&from=1796652060000&to=1796655000000&source=",
             want_ids(frames, 1796652060000, 1796655000000, "")),
            ("bus health of boardA, step 60", "q=health&from=%d&to=%d&step=60&source=boardA" % (T0, end),
             want_health(frames, T0, end, 60, "boardA")),
            ("rate of boardA, step 60", "q=rate&from=1796652000000&to=%d&step=60&source=boardA" % end,
             want_rate(frames, 1796652000000, end, 60, None, "boardA")),
        ]
    return cases


def check_api(base, frames, end, label, with_source=True):
    for name, query, want in api_cases(frames, end, with_source):
        status, body = get(base, query)
        got = json.loads(body) if status == 200 else body
        check(status == 200 and got == want, "%s: %s (%d entries)" % (label, name, len(want)))
        if got != want and status == 200:
            print("   query %s\n   got  %s\n   want %s" % (query, str(got)[:300], str(want)[:300]))


BAD = [
    "", "q=nothing", "q=ids&from=5", "q=ids&from=abc&to=9", "q=ids&from=1e3&to=9999", "q=ids&from=9&to=9",
    "q=ids&from=10&to=5", "q=ids&from=1&to=99999999999999999999", "q=ids&from=-5&to=9",
    "q=rate&from=1&to=100000&step=0", "q=rate&from=1&to=100000&step=-60", "q=rate&from=0&to=999999999999&step=1",
    "q=rate&from=1&to=9&step=60&can_id=x", "q=rate&from=1&to=9&step=60&can_id=-1", "q=bytes&from=1&to=9&can_id=1&byte=8",
    "q=bytes&from=1&to=9&can_id=1&byte=7&width=2", "q=bytes&from=1&to=9&can_id=1&byte=0&order=middle",
    "q=elster&from=1&to=9&can_id=384&index=65536", "q=ids&from=1&to=9&drop=table", "q=ids&from[]=1&to=9",
    "q=ids&from=1&to=9&from=2", "q=ids&from=1&to=9&source=" + "x" * 65, "q=ids&from=1%27%20OR%201=1&to=9",
    "q=ids&from=1&to=9&limit=1001", "q=ids&from=1&to=9&limit=0", "q=ids&from=1&to=9&order=le",
    "q=ids&from=1&to=9&offset=-1", "q=buckets&from=0&to=999999999999&step=100000&top=1001",
    "q=buckets&from=0&to=600000000&step=60&top=1000",
]


def check_bad(base, sql):
    before = sql("CHECKSUM TABLE can_log")
    bad = []
    for query in BAD:
        status, body = get(base, query)
        try:
            ok = status == 400 and isinstance(json.loads(body).get("error"), str)
        except ValueError:
            ok = False
        if not ok or "SELECT" in body or "<" in body:
            bad.append("%s -> %d %s" % (query, status, body.strip()[:120]))
    check(not bad, "%d bad parameter sets answered 400 with a JSON error %s" % (len(BAD), bad))
    status, body = get(base, "q=ids&from=1&to=%d&source=%s" % (T0 * 2, urllib.request.quote("x' OR '1'='1")))
    check(status == 200 and body.strip() == "[]", "a quote in source is a name, not SQL: %d %s" % (status, body[:80]))
    req = urllib.request.Request(base + "/api.php?q=info", method="POST", data=b"q=info")
    try:
        urllib.request.urlopen(req, timeout=10)
        status = 200
    except urllib.error.HTTPError as e:
        status = e.code
    check(status == 405, "POST answered %d" % status)
    check(sql("CHECKSUM TABLE can_log") == before, "the table is unchanged after the bad requests")


# --- The browser ---------------------------------------------------------------

def hex_id(can_id):
    bare = can_id & 0x1FFFFFFF
    return "0x%08X" % bare if bare > 0x7FF else "0x%03X" % bare


def browser():
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    for arg in ("--headless --no-sandbox --disable-gpu --disable-quic --no-first-run --disable-background-networking "
                "--disable-component-update --disable-sync --user-data-dir=%s" % tempfile.mkdtemp(dir=WORK)).split():
        options.add_argument(arg)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    env = dict(os.environ, TZ="UTC")
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver", env=env), options=options)


def wait(driver, what, condition, seconds=30):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = driver.execute_script(condition)
        if value:
            return value
        time.sleep(0.2)
    check(False, "page: " + what)
    return None


# Pixels of a chart canvas in the given color: bars and lines, not axes.
PIXELS = """
const c = document.getElementById(arguments[0]);
const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
let n = 0;
for (let i = 0; i < d.length; i += 4)
  if (Math.abs(d[i] - arguments[1]) < 8 && Math.abs(d[i + 1] - arguments[2]) < 8 && Math.abs(d[i + 2] - arguments[3]) < 8) n++;
return n;"""
TABLE = """
if (document.body.classList.contains('loading')) return null;
return [...document.querySelectorAll('#ids tbody tr[data-id]')].map(
  (tr) => [tr.querySelector('td.id a').textContent, tr.cells[1].textContent,
           [...tr.querySelectorAll('.mark')].map((m) => m.textContent).join(' ')]);"""


def table_want(frames, lo, hi):
    marks = lambda i: " ".join(m for m, bit in (("ext", (i & 0x1FFFFFFF) > 0x7FF), ("rtr", i & 0x40000000),
                                                   ("err", i & 0x20000000)) if bit)
    return [[hex_id(e["can_id"]), "{:,}".format(e["frames"]), marks(e["can_id"])] for e in want_ids(frames, lo, hi)]


def check_page(driver, base, frames, label, shots):
    lo, hi = T0 // MINUTE * MINUTE, (frames[-1].ts // MINUTE + 1) * MINUTE
    driver.set_window_size(1280, 1000)
    # The address without a range: nothing in the last hour, so the page
    # shows everything logged (two hours).
    driver.get(base + "/")
    want = table_want(frames, lo, hi)
    got = wait(driver, "the table of identifiers", "const t = (function(){%s})(); return t && t.length ? t : null;" % TABLE)
    check(got == want, "%s: the table shows the %d identifiers with their exact counts and marks" % (label, len(want)))
    if got != want:
        print("   got  %s\n   want %s" % (got, want))
    check(driver.execute_script("return getComputedStyle(document.querySelector('header')).backgroundColor")
          == "rgb(15, 23, 42)", label + ": the style sheet applies")
    check(driver.execute_script(PIXELS, "rate-chart", 0x25, 0x63, 0xEB) > 200, label + ": frames/s chart drawn")
    check(driver.execute_script(PIXELS, "load-chart", 0x0F, 0x76, 0x6E) > 50, label + ": bus load chart drawn")
    sums = [sum(col) for col in zip(*want_health(frames, lo, hi, 60))][1:]
    names = ["bus-off", "error-passive", "error-warning", "RX overflow", "TX overflow", "lost arbitration",
             "protocol violation", "no ACK", "other"]
    want_note = ", ".join("{:,} {}".format(n, name) for n, name in zip(sums, names) if n)
    got_note = wait(driver, "the bus health note", "return document.getElementById('health').hidden ? null : "
                    "document.getElementById('health-note').textContent;")
    check(got_note == want_note and driver.execute_script(PIXELS, "health-chart", 0x16, 0xA3, 0x4A) > 20,
          "%s: bus health shows the error frames by class: %s" % (label, got_note))
    if shots:
        full_page(driver, 1280, os.path.join(OUT, "page-wide.png"))
    # A new range: 14:30 to 15:00 UTC, typed into the range fields.
    lo2, hi2 = 1796653800000, 1796655600000
    driver.execute_script("document.getElementById('from').value = '2026-12-07T14:30';"
                          "document.getElementById('to').value = '2026-12-07T15:00';"
                          "document.querySelector('#range button[type=submit]').click();")
    want2 = table_want(frames, lo2, hi2)
    got2 = wait(driver, "the table after a new range",
                "const t = (function(){%s})(); return t && JSON.stringify(t) === '%s' ? t : null;"
                % (TABLE, json.dumps(want2, separators=(",", ":"))))
    check(got2 == want2, "%s: a new range reloads the table (%d identifiers)" % (label, len(want2)))

    check(wait(driver, "frames/s chart after a new range",
               "return document.getElementById('rate-chart').closest('.panel') && "
               "Chart.getChart('rate-chart').scales.x.min === %d;" % lo2) is True,
          label + ": the frames/s chart covers the new range")
    # One identifier: an Elster sender.
    driver.execute_script("document.querySelector('#ids tr[data-id=\"384\"] td.id a').click();")
    drawn = "return !document.getElementById('%s').closest('[hidden]') && Chart.getChart('%s') " \
            "&& Chart.getChart('%s').data.datasets[0].data.length > 0;"
    wait(driver, "value chart of 0x180", drawn % (("value-chart",) * 3))
    wait(driver, "Elster chart of 0x180", drawn % (("elster-chart",) * 3))
    check(driver.execute_script(PIXELS, "elster-chart", 0xEA, 0x58, 0x0C) > 50, label + ": Elster value chart drawn")
    if shots:
        full_page(driver, 1280, os.path.join(OUT, "page-identifier.png"))
        driver.set_window_size(390, 900)
        driver.get("%s/#from=%d&to=%d" % (base, lo, hi))
        wait(driver, "narrow page", "const t = (function(){%s})(); return t && t.length ? t : null;" % TABLE)
        full_page(driver, 390, os.path.join(OUT, "page-narrow.png"))
    errors = [e for e in driver.get_log("browser") if e["level"] == "SEVERE"]
    check(not errors, "%s: no errors in the browser console %s" % (label, errors))


def full_page(driver, width, path):
    height = driver.execute_script("return document.documentElement.scrollHeight")
    driver.set_window_size(width, min(height + 120, 4000))
    time.sleep(0.3)
    driver.save_screenshot(path)
    print("screenshot: " + path)


def site_snippet(ini):
    """The packaged nginx snippet with this tree's page, settings and
    php-fpm (its /javascript/ location the test server has already)."""
    with open(os.path.join(ROOT, "packaging/web/nginx.conf")) as f:
        text = f.read()
    text = text.replace("/usr/share/telltrail-web", os.path.join(ROOT, "web")).replace(
        "/etc/telltrail-web/web.ini", ini).replace("unix:/run/php/php8.2-fpm.sock",
                                                   "unix:" + os.path.join(WORK, "nginx", "php-fpm.sock"))
    text = text[:text.index("location /javascript/")].replace("include fastcgi_params;",
                                                              "include /etc/nginx/fastcgi_params;")
    path = os.path.join(WORK, "site.conf")
    with open(path, "w") as f:
        f.write(text)
    return path


def check_snippet(base):
    """The packaged site snippet answers this machine and refuses others."""
    import http.client
    port = int(base.rsplit(":", 1)[1])
    got = []
    for source in ("127.0.0.1", "127.0.0.2"):
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30, source_address=(source, 0))
        conn.request("GET", "/telltrail/api.php?q=info")
        response = conn.getresponse()
        got.append((source, response.status, b'"summary"' in response.read()))
        conn.close()
    check(got == [("127.0.0.1", 200, True), ("127.0.0.2", 403, False)],
          "the packaged nginx snippet serves the page to this machine only: %s" % got)


def check_many(driver, php, nginx, sql, frames, end):
    """100,000 rows more, none of them in the summary yet, from 3,000
    identifiers: the API answers one page of them, the page shows the
    busiest and says that its list is cut."""
    t1, last = 1796700000000, 1796700000000 + 300001
    sql("INSERT INTO can_log (counter, `timestamp`, can_id, d0, d1, d2, d3, d4, d5, d6, d7)"
        " SELECT seq, %d + seq * 3, 4096 + seq %% 3000, seq %% 256, 1, 2, 3, 4, 5, 6, 7"
        " FROM seq_1_to_100000" % t1)
    total, count = 100000 + len(frames), 3000 + len(want_ids(frames, T0, end))
    for query in ("q=ids&from=%d&to=%d" % (T0, last), "q=rate&from=%d&to=%d&step=60" % (T0, last)):
        start_time = time.monotonic()
        status, body, headers = get(php, query, True)
        seconds = time.monotonic() - start_time
        got = json.loads(body) if status == 200 else []
        if query.startswith("q=ids"):
            ok = len(got) == 1000 and headers["X-Total-Count"] == str(count) \
                and headers["X-Total-Frames"] == str(total) and got == sorted(got, key=lambda e: e["can_id"])
            got = "%d entries, X-Total-Count %s" % (len(got), headers["X-Total-Count"])
        else:
            ok = sum(e[1] for e in got) == total
            got = "%d frames" % sum(e[1] for e in got)
        # The time is shown, not checked: bench/web_summary.sh measures it.
        check(status == 200 and ok, "%d rows: %s answered in %.2f s (%s)"
              % (total, query.split("&")[0], seconds, got))
    status, body = get(php, "q=ids&from=%d&to=%d&order=frames&limit=5" % (T0, last))
    want = want_ids(frames, T0, end, by_frames=True)[:5]
    check(status == 200 and json.loads(body) == want, "order=frames: the busiest first %s" % body[:200])
    driver.set_window_size(1280, 1000)
    driver.get("%s/#from=%d&to=%d" % (nginx, T0 // MINUTE * MINUTE, last))
    note = wait(driver, "the cut list of identifiers", "const t = (function(){%s})(); return t && t.length > 100 ? "
                "[t.length, document.getElementById('ids-note').textContent] : null;" % TABLE, 300)
    check(note is not None and note[0] == 500 and ("busiest of %s" % "{:,}".format(count)) in note[1],
          "3,000 identifiers: the page shows the busiest and says its list is cut: %s" % note)
    full_page(driver, 1280, os.path.join(OUT, "page-many.png"))


def check_late_commit(php, sql):
    """A row whose transaction commits after the summary has run past rows
    stored after it is counted all the same."""
    late_ms = 1796710020000
    insert = "INSERT INTO can_log (counter, `timestamp`, can_id) VALUES (%d, %d, 293);"
    held = subprocess.Popen(["mariadb", "--no-defaults", "-uroot", "-S", SOCKET, "-n", "-N", "-B", "canlog"],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        held.stdin.write("BEGIN; " + insert % (1, late_ms) + " SELECT 'held';\n")
        held.stdin.flush()
        check(held.stdout.readline().strip() == "held", "a transaction holds a row")
        # Committed after it (a larger id), and a mark that covers both.
        sql(insert % (2, late_ms + 1) + "CALL can_log_summarize();")
        # Once that mark is a minute old a summary that trusts the age of
        # marks counts past the row held; wait for it.
        deadline = time.monotonic() + 180
        while time.monotonic() < deadline and sql(
                "SELECT COUNT(*) FROM can_log_mark WHERE at <= UTC_TIMESTAMP(3) - INTERVAL 1 MINUTE"
                " AND max_id >= (SELECT MAX(id) FROM can_log)").strip() == "0":
            time.sleep(1)
        sql("CALL can_log_summarize();")
        held.stdin.write("COMMIT; SELECT 'committed';\n")
        held.stdin.flush()
        check(held.stdout.readline().strip() == "committed", "the row held is committed")
    finally:
        held.stdin.close()
        held.wait()
    query = "q=ids&from=%d&to=%d" % (late_ms, late_ms + MINUTE)
    for when in ("before", "after"):
        status, body = get(php, query)
        got = json.loads(body) if status == 200 else body
        check(got == [{"can_id": 293, "frames": 2, "first": late_ms, "last": late_ms + 1, "data": ""}],
              "the row committed late is counted, %s the summary runs again: %s" % (when, body[:200]))
        sql("CALL can_log_summarize();")
    # Settled once no transaction older than the last mark is open.
    settled = "SELECT last_id = (SELECT MAX(id) FROM can_log) FROM can_log_summary_state"
    deadline = time.monotonic() + 120
    while sql(settled).strip() != "1" and time.monotonic() < deadline:
        time.sleep(1)
        sql("CALL can_log_summarize();")
    check(sql(settled).strip() == "1", "the summary takes the row committed late once it is settled")


# --- Main ---------------------------------------------------------------------------

def main():
    global WORK
    if os.geteuid() != 0:
        skip("needs root (the throwaway MariaDB server runs as root)")
    for tool, package in (("mariadbd", "mariadb-server"), ("php", "php-cli"), ("nginx", "nginx"),
                          ("chromium", "chromium"), ("chromedriver", "chromium-driver")):
        if not shutil.which(tool) and not os.path.exists("/usr/bin/" + tool):
            skip("%s is not installed (Debian package %s)" % (tool, package))
    if "pdo_mysql" not in run("php", "-m").split():
        skip("PHP has no pdo_mysql (Debian package php-mysql)")
    try:
        import selenium  # noqa: F401
    except ImportError:
        skip("python3-selenium is not installed")
    os.makedirs(OUT, exist_ok=True)
    WORK = tempfile.mkdtemp(prefix="ttweb.")
    servers = []
    db = os.path.join(WORK, "db")
    replica_db = os.path.join(WORK, "replica")
    try:
        # A buffer pool that holds the million rows, as a server's would; a
        # binary log, for a replica that serves the page.
        primary_env = dict(os.environ, MARIADB_BUFFER_POOL="256M", TEST_SERVER_OPTIONS="--log-bin --server-id=1")
        run(DBSERVER, "start", db, env=primary_env)
        sql = lambda text, database="canlog": run(DBSERVER, "sql", db, database, "-N", "-B", stdin=text)
        sock = run("sed", "-n", "s/^MYSQL_UNIX_PORT=//p", os.path.join(db, "env")).strip()
        global SOCKET
        SOCKET = sock
        sql("CREATE USER 'web'@'localhost' IDENTIFIED BY 'look-Only-3';"
            "CREATE USER 'web'@'127.0.0.1' IDENTIFIED BY 'look-Only-3';"
            "GRANT SELECT ON canlog.* TO 'web'@'localhost', 'web'@'127.0.0.1';"
            "CREATE DATABASE canold; GRANT SELECT ON canold.* TO 'web'@'localhost';")
        replica_db = os.path.join(WORK, "replica")
        run(DBSERVER, "replica", replica_db, db)
        replica_port = run("sed", "-n", "s/^MYSQL_TCP_PORT=//p", os.path.join(replica_db, "env")).strip()
        # A table of an earlier version: no source, no summary.
        sql("CREATE TABLE can_log (id BIGINT UNSIGNED NOT NULL AUTO_INCREMENT PRIMARY KEY,"
            " counter INT UNSIGNED NOT NULL, `timestamp` BIGINT NOT NULL, can_id INT UNSIGNED NOT NULL,"
            + "".join(" d%d TINYINT UNSIGNED NULL," % i for i in range(8))
            + " KEY time_range (`timestamp`, can_id)) ENGINE=InnoDB;", "canold")

        def start(kind, name, database, extra=None):
            ini = os.path.join(WORK, name + ".ini")
            with open(ini, "w") as f:
                f.write('db_socket = "%s"\ndb_name = "%s"\ndb_user = "web"\ndb_password = "look-Only-3"\n'
                        % (sock, database))
            env = dict(os.environ, HTTPSERVER_ROOT=os.path.join(ROOT, "web"), TELLTRAIL_WEB_CONFIG=ini,
                       **(extra(ini) if extra else {}))
            port = run(HTTPSERVER, "start", kind, os.path.join(WORK, name), env=env).strip()
            servers.append(os.path.join(WORK, name))
            return "http://127.0.0.1:" + port

        php = start("php", "php", "canlog")
        # The same settings as the receiver's, the page reading from the replica.
        def read_replica(ini):
            with open(ini, "a") as f:
                f.write('db_read_host = "127.0.0.1"\ndb_read_port = "%s"\n' % replica_port)
            return {}
        replica = start("php", "php-replica", "canlog", read_replica)
        old = start("php", "php-old", "canold")
        nginx = start("nginx", "nginx", "canlog", lambda ini: {"HTTPSERVER_NGINX_INCLUDE": site_snippet(ini)})

        base = make_frames()
        end = base[-1].ts + 1
        edges = edge_frames(end)
        frames = sorted(base + edges, key=lambda f: f.ts)
        rng = random.Random(7)
        late = set(rng.sample(range(20000), 1000))
        on_time = [f for i, f in enumerate(base) if i not in late]
        # A row a board with a wrong clock stored before the receiver
        # refused such times: the page and the API leave it aside.
        sql(inserts(on_time[:15000] + edges[::2]) + "INSERT INTO can_log (counter, `timestamp`, can_id)"
            " VALUES (1, 9223372036854775807, 294);")
        # No transaction is open: the summary takes everything so far.
        sql("CALL can_log_summarize();")
        sql(inserts(on_time[15000:]) + inserts([base[i] for i in sorted(late)] + edges[1::2])
            + inserts(base[5000:5500]))
        sql(inserts(frames, with_source=False), "canold")
        check(int(sql("SELECT COUNT(*) FROM can_log")) == 20011, "20,011 rows stored, the re-delivered ones once")
        # Per minute and per hour: each level holds exactly the rows it covers.
        summary = ";".join("SELECT minute, can_id, source, frames, bytes, first_ts, last_ts FROM can_log_%s ORDER BY 1, 2, 3"
                           % name for name in ("minute", "hour"))
        counted = ";".join("SELECT `timestamp` DIV %d * %d m, can_id, source, COUNT(*), SUM(" % (unit, unit // 60000) +
                           "+".join("(d%d IS NOT NULL)" % i for i in range(8)) + "), MIN(`timestamp`), MAX(`timestamp`)"
                           " FROM can_log WHERE id <= (SELECT last_id FROM can_log_summary_state)"
                           " GROUP BY 1, 2, 3 ORDER BY 1, 2, 3" for unit in (60000, 3600000))
        check(sql(summary) == sql(counted) and sql(summary) != "", "the summary counts exactly the rows it covers")
        check_api(php, frames, end, "rows partly in the summary")
        check_api(old, frames, end, "table of an earlier version", with_source=False)
        check_bad(php, sql)
        check_snippet(nginx)
        status, body = get(php, "q=info")
        check(status == 200 and json.loads(body)["last"] == end, "q=info leaves the row of a wrong clock aside: " + body)
        status, body = get(php, "q=ids&from=%d&to=9223372036854775807&limit=1" % end)
        check(status == 200 and json.loads(body)[0]["can_id"] == 0x123, "a 64-bit to is taken: %d %s" % (status, body))

        sql("CALL can_log_summarize();")
        check(sql(summary) == sql(counted) and sql("SELECT last_id FROM can_log_summary_state").strip()
              == sql("SELECT MAX(id) FROM can_log").strip(), "after late and re-delivered rows the summary is exact")
        check_api(php, frames, end, "all rows in the summary")

        driver = browser()
        try:
            check_page(driver, nginx, frames, "nginx + php-fpm", True)
            check_page(driver, php, frames, "php -S", False)
            # The primary stopped: the page and the API read the replica alone.
            run(DBSERVER, "synced", replica_db, db)
            run(DBSERVER, "halt", db)
            check_api(replica, frames, end, "read from the replica, the primary stopped")
            check_page(driver, replica, frames, "read from the replica", False)
            run(DBSERVER, "resume", db, env=primary_env)
            check_many(driver, php, nginx, sql, frames, end)
        finally:
            driver.quit()
        check_late_commit(php, sql)
    finally:
        for s in servers:
            subprocess.run([HTTPSERVER, "stop", s], capture_output=True)
        subprocess.run([DBSERVER, "stop", replica_db], capture_output=True)
        subprocess.run([DBSERVER, "stop", db], capture_output=True)
        shutil.rmtree(WORK, ignore_errors=True)
    print("%d failed" % len(FAILURES) if FAILURES else "PASS")
    return 1 if FAILURES else 0


WORK = None
SOCKET = None
if __name__ == "__main__":
    sys.exit(main())
