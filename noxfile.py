"""Sessions for building and checking vrel_dll on every supported interpreter.

Run through tools/run.py, which finds the interpreters and bootstraps nox.
VREL_SYSTEM_PACKAGES=1 makes the sessions use the interpreter's own site packages and
build without isolation: for machines whose interpreter comes with the build and test
packages and should not need the package registry (the Debian 3.14 root used in CI).
"""

import os

import nox

PYTHONS = ["3.12", "3.13", "3.14"]
SYSTEM_PACKAGES = os.environ.get("VREL_SYSTEM_PACKAGES") == "1"
VENV_PARAMS = ["--system-site-packages"] if SYSTEM_PACKAGES else []
# Our own builds treat compiler warnings as errors; a user's `pip install .` does not.
STRICT = "--config-settings=cmake.define.VREL_WERROR=ON"

nox.options.sessions = ["tests"]
nox.options.error_on_missing_interpreters = False


def install_module(session: nox.Session, *extras: str) -> None:
    if SYSTEM_PACKAGES:
        session.install("--no-build-isolation", "--no-deps", STRICT, ".")
    else:
        target = f".[{','.join(extras)}]" if extras else "."
        session.install(STRICT, target)


@nox.session(python=PYTHONS, venv_params=VENV_PARAMS)
def tests(session: nox.Session) -> None:
    """Build the module and run the whole test suite."""
    install_module(session, "test")
    session.run("python", "-m", "pytest", *session.posargs)


@nox.session(python=PYTHONS, venv_params=VENV_PARAMS)
def demo(session: nox.Session) -> None:
    """Build the module and run the example client."""
    install_module(session)
    session.run("python", "examples/demo.py", *session.posargs)
