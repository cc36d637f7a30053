#!/usr/bin/env python3
"""Every console line telltrail can print is explained in its manual page,
and every line the page explains is one the program prints.

    console_lines.py <source root> [--list]

How the matching works:

* The program's side: every std::printf and NReport::Print/Failure call (the
  libraries' reports, can/Report.h) in the logger's libraries
  (app/, can/, capture/, db/, net/, xml/) whose first argument is a string
  literal (adjacent literals joined). The format is cut at its newlines
  into lines. printf conversions (%s, %lld, %.*s ...) become the
  placeholder <>, "%%" a percent sign. A line with no literal text left
  ("%s", the frames and the usage text, printed whole from a variable) is
  not a console line of its own here.
  A line is whole when the printf before it in the same file ended its line
  and the format ends it too; otherwise it is a piece of a line that
  several calls print together ("spool: %s (up to %lld MB)" followed by
  ", %lld frames from an earlier run to deliver" and "\\n").
* The page's side: the section "CONSOLE LINES" of packaging/telltrail.1.md.
  Each line there that begins a definition-list term holds one or more
  forms as code spans, `like <this>`; every <word or words> in a form is a
  placeholder <>.
* Runs of placeholders count as one. A line and a form match when they are
  equal or when one is the other with its placeholders filled in: the
  program's "%s too long (more than %d characters)" is explained by the
  page's `mysql host too long (more than <n> characters)`.
* A whole line of the program must match a form of the page; a piece must
  occur within a form. A form of the page must match a whole line of the
  program (one with at least three letters of its own, so that "%s: %s"
  does not explain everything), begin with a piece that begins a line, or
  equal a string literal of those sources (a reason that a line prints
  through %s, such as "HTTP server not connected").
* NOT_TELLTRAIL names the few lines of these libraries that the logger
  itself never prints, each with its reason.
Exit status 1 names every line that fails, and says on which side.
"""
import os
import re
import sys

SOURCE_DIRS = ("app", "can", "capture", "db", "net", "xml")
MANUAL = "packaging/telltrail.1.md"
SECTION = "CONSOLE LINES"

CONVERSION = re.compile(r"%[-+ #0]*(\*|\d+)?(\.(\*|\d+))?(hh|h|ll|l|z|j|t|L)?[diouxXeEfgGcspn]")
PLACEHOLDER = re.compile(r"<[^<>]+>")
LITERAL = re.compile(r'"((?:[^"\\\n]|\\.)*)"')
PRINTF = re.compile(r"\b(?:(?:std::)?printf|NReport::(?:Print|Failure))\s*\(")
BETWEEN = re.compile(r"(?:\s|//[^\n]*|/\*.*?\*/)*", re.S)
# Lines of those libraries that telltrail itself never prints, each with the
# reason. An entry that no code prints any more is a fault too.
NOT_TELLTRAIL = {
    "broken <>": "the comfort relay's answers, printed by comfortsend (comfortsend(1))",
    "no LF <>": "the comfort relay's answers, printed by comfortsend (comfortsend(1))",
}
ESCAPES = {"n": "\n", "t": "\t", "\\": "\\", '"': '"', "'": "'", "r": "\r", "0": "\0"}


def unescape(body):
    return re.sub(r"\\(.)", lambda m: ESCAPES.get(m.group(1), m.group(1)), body)


def skeleton(fmt):
    """printf format -> text with <> for every conversion."""
    out, i = [], 0
    while i < len(fmt):
        if fmt.startswith("%%", i):
            out.append("%")
            i += 2
            continue
        m = CONVERSION.match(fmt, i)
        if m:
            out.append("<>")
            i = m.end()
        else:
            out.append(fmt[i])
            i += 1
    return collapse("".join(out))


def collapse(text):
    return re.sub(r"(<>)+", "<>", text)


def instance(specific, general):
    """True when general's placeholders can be filled to give specific."""
    pattern = ".+".join(re.escape(p) for p in general.split("<>"))
    return re.fullmatch(pattern, specific, re.S) is not None


def unify(a, b):
    return a == b or instance(a, b) or instance(b, a)


def letters(line):
    return sum(c.isalpha() for c in line.replace("<>", ""))


def has_text(line):
    return line.replace("<>", "").strip() != ""


def program_lines(root):
    """(whole lines, pieces, pieces that begin a line, literals), each a
    dict skeleton -> 'file:line'."""
    whole, pieces, heads, literals = {}, {}, {}, {}
    for d in SOURCE_DIRS:
        for base, _, files in os.walk(os.path.join(root, d)):
            for name in sorted(files):
                if not name.endswith((".cpp", ".h")):
                    continue
                path = os.path.join(base, name)
                text = open(path, encoding="utf-8").read()
                for m in LITERAL.finditer(text):
                    where = "%s:%d" % (os.path.relpath(path, root), text.count("\n", 0, m.start()) + 1)
                    for part in unescape(m.group(1)).split("\n"):
                        part = skeleton(part)
                        if has_text(part):
                            literals.setdefault(part.strip(), where)
                at_line_start = True
                for m in PRINTF.finditer(text):
                    pos = BETWEEN.match(text, m.end()).end()
                    fmt = ""
                    while True:
                        lit = LITERAL.match(text, pos)
                        if not lit:
                            break
                        fmt += unescape(lit.group(1))
                        pos = BETWEEN.match(text, lit.end()).end()
                    if not fmt:
                        continue
                    where = "%s:%d" % (os.path.relpath(path, root), text.count("\n", 0, m.start()) + 1)
                    parts = fmt.split("\n")
                    for i, part in enumerate(parts):
                        starts = at_line_start if i == 0 else True
                        ends = i < len(parts) - 1
                        line = skeleton(part).strip()
                        if has_text(line):
                            if starts and ends:
                                whole.setdefault(line, where)
                            else:
                                pieces.setdefault(line, where)
                                if starts:
                                    heads.setdefault(line, where)
                    # A format of conversions alone ("%s": a frame, the
                    # usage text) prints whole lines.
                    at_line_start = fmt.endswith("\n") or not has_text(skeleton(fmt))
    return whole, pieces, heads, literals


def manual_forms(root):
    """skeleton -> form as written, from the terms of the section."""
    text = open(os.path.join(root, MANUAL), encoding="utf-8").read()
    m = re.search(r"^# %s\n(.*?)(?=^# )" % SECTION, text, re.S | re.M)
    if not m:
        sys.exit("%s has no section \"# %s\"" % (MANUAL, SECTION))
    forms = {}
    for line in m.group(1).split("\n"):
        if not line.strip() or line[0] in " :\t":
            continue
        for span in re.findall(r"`([^`]+)`", line):
            forms[collapse(PLACEHOLDER.sub("<>", span)).strip()] = span
    if not forms:
        sys.exit("the section \"# %s\" of %s holds no forms" % (SECTION, MANUAL))
    return forms


def main():
    root = sys.argv[1]
    whole, pieces, heads, literals = program_lines(root)
    forms = manual_forms(root)
    if "--list" in sys.argv:
        for k, v in sorted(whole.items()):
            print("whole %-60s %s" % (v, k))
        for k, v in sorted(pieces.items()):
            print("piece %-60s %s" % (v, k))
        return 0
    faults = []
    for line in NOT_TELLTRAIL:
        if line not in whole and line not in pieces:
            faults.append("\"%s\" is listed as not telltrail's, but no code prints it" % line)
    for line, where in sorted(whole.items(), key=lambda kv: kv[1]):
        if line not in NOT_TELLTRAIL and not any(unify(line, f) for f in forms):
            faults.append("%s prints \"%s\": not in the manual page" % (where, line))
    for piece, where in sorted(pieces.items(), key=lambda kv: kv[1]):
        if not any(piece in f for f in forms):
            faults.append("%s prints \"%s\" as part of a line: in no line of the manual page" % (where, piece))
    for form, written in sorted(forms.items()):
        if any(form == line or (letters(line) >= 3 and unify(form, line))
               for line in whole if line not in NOT_TELLTRAIL):
            continue
        if form in literals or any(form.startswith(h) for h in heads):
            continue
        faults.append("the manual page explains \"%s\": no code prints it" % written)
    for f in faults:
        print(f)
    print("%d lines and %d pieces of the program, %d forms of the page: %s"
          % (len(whole), len(pieces), len(forms), "%d faults" % len(faults) if faults else "all explained"))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
