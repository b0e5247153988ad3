"""Reads the ThreadSanitizer logs in a directory and fails when a report names the tunnel engine.

    python tsan_reports.py DIR

The interpreter is not instrumented, so a report whose frames all lie outside the engine says
nothing about it: those are counted, not shown. A report with one frame in the engine's sources
(or in its module, when a frame has no source line) is printed whole, and the exit status is 1.
"""

import os
import re
import sys

REPORT = re.compile(r"^WARNING: ThreadSanitizer:.*?(?=^==================$)", re.M | re.S)
OURS = re.compile(r"^\s*#\d+ .*(\btunnel/[\w/]+\.[ch]pp\b|\bostrel_ssh/_tunnel\.)", re.M)
# the runtime gave up or ended a process (a thread started after fork, say): what followed went unchecked
BROKEN = re.compile(r"^(FATAL: ThreadSanitizer|ThreadSanitizer: (?!reported \d+ warnings)).*$", re.M)


def main():
    logs = sys.argv[1]
    ours, others, broken = [], 0, []
    for name in sorted(os.listdir(logs)):
        with open(os.path.join(logs, name), errors="replace") as f:
            text = f.read()
        for report in REPORT.findall(text):
            if OURS.search(report):
                ours.append((name, report))
            else:
                others += 1
        broken += [(name, m.group(0)) for m in BROKEN.finditer(text)]
    for name, report in ours:
        print(f"--- {name}\n{report}")
    for name, line in broken:
        print(f"--- {name}: {line}")
    print(f"ThreadSanitizer: {len(ours)} report(s) in the tunnel engine, {others} in the interpreter"
          " alone (ignored)" + (f", {len(broken)} fatal error(s)" if broken else ""))
    return 1 if ours or broken else 0


if __name__ == "__main__":
    sys.exit(main())
