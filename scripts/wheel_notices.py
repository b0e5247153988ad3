"""Adds to a repaired wheel the copyright and licence notices of the libraries it bundles.

  wheel_notices.py WHEEL    rewrites WHEEL in place: for every library auditwheel copied into
                            <name>.libs/, the Debian copyright file of the package it came from goes
                            to <dist-info>/licenses/bundled/<library>.txt, named in METADATA as a
                            License-File and listed in RECORD, together with the licence texts those
                            files refer to (common-licenses/). Fails when a notice cannot be found:
                            a wheel that carries a library without its licence may not be passed on.
"""

import base64
import hashlib
import re
import subprocess
import sys
import zipfile
from pathlib import Path


def fail(message):
    print(f"wheel notices: FAILED: {message}")
    sys.exit(1)


# what auditwheel copies in: <name>.libs/<library>-<8 hex digits>.so...
BUNDLED = re.compile(r"[^/]+\.libs/[^/]+\.so[.\d]*")


def bundled_libraries(names):
    return sorted(n for n in names if BUNDLED.fullmatch(n))


def system_name(bundled):
    """The file name a bundled library had on this system: auditwheel inserts -<8 hex digits>."""
    return re.sub(r"-[0-9a-f]{8}(?=\.so)", "", Path(bundled).name)


def copyright_of(library):
    """The copyright file of the Debian package that installed the library."""
    found = subprocess.run(["dpkg", "-S", f"*/{library}"], capture_output=True, text=True)
    for line in found.stdout.splitlines():
        package = line.split(":", 1)[0]  # "libssh-4:amd64: /usr/lib/..." or "libssh-4: /usr/lib/..."
        notice = Path("/usr/share/doc") / package / "copyright"
        if notice.is_file():
            return notice.read_bytes()
    fail(f"no copyright file found for {library} (dpkg -S: {found.stdout.strip() or found.stderr.strip()})")


def record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def main(wheel):
    wheel = Path(wheel)
    with zipfile.ZipFile(wheel) as src:
        entries = [(info, src.read(info)) for info in src.infolist()]
    names = [info.filename for info, _ in entries]
    dist_info = next(n.split("/")[0] for n in names if n.endswith(".dist-info/METADATA"))
    libraries = bundled_libraries(names)
    added = {f"{dist_info}/licenses/bundled/{system_name(lib)}.txt": copyright_of(system_name(lib))
             for lib in libraries}
    # the copyright files name licences by their place on a Debian system: their texts come along
    shared = sorted({m.decode() for notice in added.values()
                     for m in re.findall(rb"/usr/share/common-licenses/([\w.+-]*\w)", notice)})
    for name in shared:
        path = Path("/usr/share/common-licenses") / name
        if not path.is_file():
            fail(f"a bundled library's notice refers to {path}, which is missing")
        added[f"{dist_info}/licenses/bundled/common-licenses/{name}"] = path.read_bytes()
    if not added:
        return

    out_entries = []
    for info, data in entries:
        if info.filename in added:
            continue  # from an earlier run on the same wheel
        if info.filename == f"{dist_info}/METADATA":
            head, sep, body = data.decode().partition("\n\n")
            head = "\n".join(line for line in head.split("\n") if "License-File: bundled/" not in line)
            head += "".join(f"\nLicense-File: {n.split('/licenses/', 1)[1]}" for n in added)
            data = (head + sep + body).encode()
        if info.filename == f"{dist_info}/RECORD":
            continue  # written last, from what the wheel then holds
        out_entries.append((info, data))
    for name, data in added.items():
        out_entries.append((zipfile.ZipInfo(name, date_time=(2020, 1, 1, 0, 0, 0)), data))
    record_name = f"{dist_info}/RECORD"
    files = [record_line(i.filename, d) for i, d in out_entries if not i.is_dir()]
    record = "\n".join(files + [f"{record_name},,"]) + "\n"

    tmp = wheel.with_suffix(".tmp")
    with zipfile.ZipFile(tmp, "w", zipfile.ZIP_DEFLATED) as out:
        for info, data in out_entries:
            info.compress_type = zipfile.ZIP_DEFLATED
            out.writestr(info, data)
        out.writestr(zipfile.ZipInfo(record_name, date_time=(2020, 1, 1, 0, 0, 0)), record)
    tmp.replace(wheel)
    for lib in libraries:
        print(f"wheel notices: {Path(lib).name}: licenses/bundled/{system_name(lib)}.txt")


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    main(sys.argv[1])
