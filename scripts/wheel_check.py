"""Portability checks of a built wheel, run with the tools venv's Python (it has auditwheel).

  wheel_check.py policy BUILT REPAIRED    the platform policy before and after auditwheel repair;
                                          fails when the repaired wheel has no manylinux tag, a
                                          library it bundles comes without its licence notice, or
                                          an extension module, audited on its own, needs a newer
                                          glibc than its ceiling below
  wheel_check.py ldd SITE_PACKAGES        every extension module that the installed wheel holds
                                          must resolve each library it loads to a file of the
                                          wheel or to a library the wheel's manylinux policy allows
"""

import json
import re
import subprocess
import sys
import tempfile
import zipfile
from importlib import resources
from pathlib import Path

from wheel_notices import bundled_libraries, system_name

# The frame uses no C++ runtime and only old glibc symbols: audited alone it is manylinux_2_5.
# One std::string would pull in libstdc++ and make it manylinux_2_24; a statically linked
# libstdc++ from Debian 12 makes it manylinux_2_36. Modules not named here (those that link a
# library the repair bundles) are held only to the repaired wheel carrying a manylinux tag.
GLIBC_CEILING = {"redis_main": (2, 5)}


def fail(message):
    print(f"wheel check: FAILED: {message}")
    sys.exit(1)


def audited_tag(wheel):
    """The platform tag `auditwheel show` finds the wheel consistent with."""
    out = subprocess.run([sys.executable, "-m", "auditwheel", "show", "--json", str(wheel)],
                         capture_output=True, text=True)
    try:
        return json.loads(out.stdout)["overall_tag"]
    except (ValueError, KeyError):
        fail(f"auditwheel show {wheel.name} gave no platform tag:\n{out.stdout}{out.stderr}")


def glibc_of(tag):
    m = re.fullmatch(r"manylinux_(\d+)_(\d+)_\w+", tag)
    return (int(m.group(1)), int(m.group(2))) if m else None


def is_extension(path):
    """An extension module, at the top or inside a package, as opposed to a bundled library."""
    return str(path).endswith(".so") and ".cpython-" in Path(path).name


def module_name(path):
    return Path(path).name.split(".")[0]


def only_module(wheel, so_name, into):
    """A copy of the wheel that holds one extension module and the metadata, for auditing it alone."""
    out_path = Path(into) / wheel.name
    with zipfile.ZipFile(wheel) as src, zipfile.ZipFile(out_path, "w", zipfile.ZIP_DEFLATED) as out:
        kept = [n for n in src.namelist() if n == so_name or ".dist-info/" in n]
        for name in kept:
            data = src.read(name)
            if name.endswith(".dist-info/RECORD"):
                # auditwheel reads every file RECORD lists
                lines = data.decode().splitlines()
                data = "".join(f"{line}\n" for line in lines if line.split(",")[0] in kept).encode()
            out.writestr(src.getinfo(name), data)
    return out_path


def policy(built, repaired):
    built, repaired = Path(built), Path(repaired)
    print(f"auditwheel policy before repair: {audited_tag(built)}")
    platform_tags = repaired.name[:-len(".whl")].split("-")[-1].split(".")
    after = audited_tag(repaired)
    print(f"auditwheel policy after repair:  {after} (wheel tags {'.'.join(platform_tags)})")
    if not any(t.startswith("manylinux") for t in platform_tags) or glibc_of(after) is None:
        fail(f"the repaired wheel {repaired.name} carries no manylinux tag")
    with zipfile.ZipFile(repaired) as z:
        names = z.namelist()
    notices = {n.split("/licenses/bundled/")[-1] for n in names if "/licenses/bundled/" in n}
    unnoticed = [Path(lib).name for lib in bundled_libraries(names)
                 if f"{system_name(lib)}.txt" not in notices]
    if unnoticed:
        fail(f"bundled without their licence notices (scripts/wheel_notices.py): {unnoticed}")
    with zipfile.ZipFile(built) as z:
        modules = [n for n in z.namelist() if is_extension(n)]
    if not modules:
        fail(f"{built.name} holds no extension module")
    with tempfile.TemporaryDirectory() as tmp:
        for so_name in modules:
            tag = audited_tag(only_module(built, so_name, tmp))
            name = module_name(so_name)
            ceiling = GLIBC_CEILING.get(name)
            limit = f", ceiling manylinux_{ceiling[0]}_{ceiling[1]}" if ceiling else ""
            print(f"  {name} audited alone: {tag}{limit}")
            have = glibc_of(tag)
            if ceiling and (have is None or have > ceiling):
                fail(f"{name} alone is {tag}: it now needs a newer glibc or a C++ runtime "
                     f"(was manylinux_{ceiling[0]}_{ceiling[1]})")
    print("wheel check: policy OK")


def allowed_libraries(tag):
    """The libraries the auditwheel policy of tag lets a wheel load from the system."""
    data = resources.files("auditwheel.policy").joinpath("manylinux-policy.json").read_text()
    name = "_".join(tag.split("_")[:3])
    for entry in json.loads(data):
        if entry["name"] == name or name in entry.get("aliases", []):
            return set(entry["lib_whitelist"])
    fail(f"auditwheel knows no policy {name}")


def ldd(site_packages):
    site = Path(site_packages).resolve()
    infos = sorted(site.glob("redis_main-*.dist-info"))
    if len(infos) != 1:
        fail(f"expected one redis_main dist-info in {site}, found {[i.name for i in infos]}")
    record = (infos[0] / "RECORD").read_text().splitlines()
    files = {(site / line.split(",")[0]).resolve() for line in record}
    tags = [line.split(":", 1)[1].strip() for line in (infos[0] / "WHEEL").read_text().splitlines()
            if line.startswith("Tag:")]
    manylinux = [t.split("-")[-1] for t in tags if "manylinux_" in t]
    if not manylinux:
        fail(f"the installed wheel has no manylinux tag ({tags})")
    allowed = allowed_libraries(manylinux[0])
    modules = [f for f in files if is_extension(f.name)]
    if not modules:
        fail(f"the installed wheel holds no extension module in {site}")
    problems = []
    for module in sorted(modules):
        out = subprocess.run(["ldd", str(module)], capture_output=True, text=True, check=True).stdout
        inside = outside = 0
        for line in out.splitlines():
            if "=>" not in line:
                continue  # the vDSO and the dynamic loader
            soname, target = (part.strip() for part in line.split("=>", 1))
            path = target.split(" (")[0].strip()
            if path == "not found":
                problems.append(f"{module.name}: {soname} not found")
            elif Path(path).resolve() in files:
                inside += 1
            elif soname in allowed:
                outside += 1
            else:
                problems.append(f"{module.name}: {soname} => {path} is neither in the wheel nor "
                                f"allowed by {manylinux[0]}")
        print(f"  {module.name}: {inside} libraries from the wheel, {outside} from the system")
    if problems:
        fail("\n  ".join(problems))
    print("wheel check: ldd OK")


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "policy":
        policy(sys.argv[2], sys.argv[3])
    elif len(sys.argv) == 3 and sys.argv[1] == "ldd":
        ldd(sys.argv[2])
    else:
        sys.exit(__doc__)
