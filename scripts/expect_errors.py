"""Runs a type checker over example files and compares its errors with the files' expectations.

  expect_errors.py mypy|pyright FILE...   (run with the Python of the venv that has the checker)

A line that should be reported ends in `# expect: CODE...`; the codes of mypy are the plain ones
(arg-type), those of pyright begin with `report`. Every error on another line, and every expected
code not reported, fails the check. The errors found are printed either way.
"""

import json
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path


def expected(files, checker):
    found = set()
    for path in files:
        for number, line in enumerate(Path(path).read_text().splitlines(), 1):
            m = re.search(r"# expect: (.*)$", line)
            for code in m.group(1).split() if m else ():
                if code.startswith("report") == (checker == "pyright"):
                    found.add((Path(path).name, number, code))
    return found


def run_mypy(files, tmp):
    out = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", tmp, *files],
                         capture_output=True, text=True)
    errors = set()
    for line in out.stdout.splitlines():
        m = re.match(r"(.+?):(\d+): error: .*\[([\w-]+)\]$", line)
        if m:
            errors.add((Path(m.group(1)).name, int(m.group(2)), m.group(3)))
        if ": error:" in line or ": note:" in line:
            print(f"  {line}")
    if out.returncode not in (0, 1) or "error:" in out.stderr:
        sys.exit(f"mypy failed to run:\n{out.stdout}{out.stderr}")
    return errors


def run_pyright(files, tmp):
    pyright = Path(sys.executable).with_name("pyright")
    env = dict(os.environ, PYRIGHT_PYTHON_IGNORE_WARNINGS="1")
    out = subprocess.run([pyright, "--outputjson", "--pythonpath", sys.executable, *files],
                         capture_output=True, text=True, env=env, cwd=tmp)
    try:
        report = json.loads(out.stdout)
    except ValueError:
        sys.exit(f"pyright failed to run:\n{out.stdout}{out.stderr}")
    errors = set()
    for d in report["generalDiagnostics"]:
        if d["severity"] != "error":
            continue
        line = d["range"]["start"]["line"] + 1
        rule = d.get("rule", "")
        errors.add((Path(d["file"]).name, line, rule))
        message = d["message"].replace("\n", " ")
        print(f"  {Path(d['file']).name}:{line}: error: {message}  [{rule}]")
    return errors


def main():
    checker, files = sys.argv[1], [str(Path(f).resolve()) for f in sys.argv[2:]]
    with tempfile.TemporaryDirectory() as tmp:
        errors = {"mypy": run_mypy, "pyright": run_pyright}[checker](files, tmp)
    want = expected(files, checker)
    for name, line, code in sorted(errors - want):
        print(f"{checker}: unexpected error {name}:{line} [{code}]")
    for name, line, code in sorted(want - errors):
        print(f"{checker}: missed the expected error {name}:{line} [{code}]")
    if errors != want:
        sys.exit(1)
    print(f"{checker}: {len(want)} expected errors, as expected, in {len(files)} files")


if __name__ == "__main__":
    main()
