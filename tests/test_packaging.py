"""The installed distribution as users and their tools meet it: metadata and type stubs."""

import importlib.metadata

from packaging.specifiers import SpecifierSet

DIST = importlib.metadata.distribution("redis_main")


def test_metadata_licence_and_python_range():
    meta = DIST.metadata
    assert meta["License-Expression"] == "MIT"
    assert any(f.name == "LICENSE" and "licenses" in f.parts for f in DIST.files)
    # the build demands exactly 3.13, so pip must not offer the sdist to another version
    python = SpecifierSet(meta["Requires-Python"])
    assert [v in python for v in ("3.12.9", "3.13.0", "3.13.11", "3.14.0")] == [False, True, True, False]


def test_every_public_module_has_a_stub_package():
    modules = {f.name.split(".")[0] for f in DIST.files if len(f.parts) == 1 and f.suffix in (".py", ".so")}
    modules |= {f.parts[0] for f in DIST.files if len(f.parts) == 2 and f.name == "__init__.py"}  # packages
    stubbed = {f.parts[0].removesuffix("-stubs") for f in DIST.files
               if f.parts[0].endswith("-stubs") and f.name == "__init__.pyi"}
    assert "redis_main" in modules
    # type checkers find types for a module without inline types only in <module>-stubs
    assert stubbed == {m for m in modules if not m.startswith("_")}
