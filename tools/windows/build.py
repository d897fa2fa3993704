#!/usr/bin/env python3
"""Cross-compile vrel_dll for Windows x64 with mingw-w64 and check the DLL it makes.

    python tools/windows/build.py [--out DIR] [--linux-build DIR]

Builds for the interpreter running this script (its version and its include tree):

1. an ordinary Linux build of the module, whose undefined Py*/_Py* symbols are the
   interpreter functions and data the module uses (with --linux-build, that of an existing
   CMake build folder of this interpreter's release build, brought up to date rather than
   configured anew);
2. from them, with the interpreter's own symbol table telling data from functions, a
   .def file and, with dlltool, the import library of python3XY.dll;
3. a copy of the interpreter's include tree whose pyconfig.h is the Windows x64 one of
   tools/windows/include;
4. the module itself, with the project's CMakeLists (its warning set, -Werror) and the
   toolchain file tools/windows/mingw-w64-x86_64.cmake;
5. checks on the result: a PE32+ DLL named vrel_dll.cp3XY-win_amd64.pyd that exports
   PyInit_vrel_dll only and imports python3XY.dll and nothing but the C runtime and
   system DLLs besides.

The cross toolchain comes from Debian's packages and is installed when missing (as root).
Exit status 0 when the DLL was built and passed every check, 1 otherwise.
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent.parent
TRIPLET = "x86_64-w64-mingw32"
DEBIAN_PACKAGES = ["g++-mingw-w64-x86-64-posix", "binutils-mingw-w64-x86-64"]
# The DLLs a module may import besides the interpreter's: the C runtime (msvcrt.dll from
# mingw-w64, the Universal CRT and its VC runtime from MSVC) and the Windows system DLLs.
SYSTEM_DLLS = re.compile(
    r"(kernel32|msvcrt|ucrtbase|vcruntime140(_1)?|api-ms-win-crt-[a-z]+-l1-1-0)\.dll", re.IGNORECASE
)
# nm's letters for data symbols: initialised, uninitialised, read-only, small, weak objects.
DATA_KINDS = set("BDGRSVbdgrsv")


class BuildError(Exception):
    pass


def run(cmd: list[str], **kwargs) -> str:
    print("+ " + " ".join(str(c) for c in cmd), flush=True)
    done = subprocess.run([str(c) for c in cmd], text=True, capture_output=True, **kwargs)
    if done.returncode != 0:
        raise BuildError(f"{Path(str(cmd[0])).name} failed (exit {done.returncode}):\n{done.stdout}{done.stderr}")
    return done.stdout


def tool(name: str) -> str:
    return f"{TRIPLET}-{name}"


def ensure_toolchain() -> None:
    """The mingw-w64 cross compiler and binutils, from Debian's packages when missing."""
    needed = [tool("g++"), tool("dlltool"), tool("nm")]
    if all(shutil.which(t) for t in needed):
        return
    if shutil.which("apt-get") is None or os.geteuid() != 0:
        raise BuildError(f"the mingw-w64 cross toolchain is missing; install {' '.join(DEBIAN_PACKAGES)}")
    print("build.py: installing the mingw-w64 cross toolchain from Debian's packages", flush=True)
    env = {**os.environ, "DEBIAN_FRONTEND": "noninteractive"}
    run(["apt-get", "update", "-qq"], env=env)
    run(["apt-get", "install", "-y", "-qq", *DEBIAN_PACKAGES], env=env)
    missing = [t for t in needed if not shutil.which(t)]
    if missing:
        raise BuildError(f"still missing after the install: {', '.join(missing)}")


def cmake_build(build_dir: Path, *defines: str) -> None:
    run(
        [
            "cmake",
            "-S",
            ROOT,
            "-B",
            build_dir,
            "-G",
            "Ninja",
            "-DCMAKE_BUILD_TYPE=Release",
            "-DVREL_WERROR=ON",
            *defines,
        ]
    )
    run(["cmake", "--build", build_dir])


def only_file(directory: Path, pattern: str) -> Path:
    found = sorted(directory.glob(pattern))
    if len(found) != 1:
        raise BuildError(f"expected one {pattern} in {directory}, found {[f.name for f in found]}")
    return found[0]


def undefined_api(shared_object: Path) -> list[str]:
    """The interpreter symbols (Py*, _Py*) a Linux build of the module leaves undefined."""
    out = run(["nm", "-D", "--undefined-only", "--format=posix", shared_object])
    return sorted({line.split()[0] for line in out.splitlines() if re.match(r"_?Py", line)})


def interpreter_symbols() -> dict[str, str]:
    """Name -> nm letter of every symbol the running interpreter exports: from its
    executable and, for a shared build, from its libpython."""
    files = [Path(getattr(sys, "_base_executable", sys.executable)).resolve()]
    libdir, soname = sysconfig.get_config_var("LIBDIR"), sysconfig.get_config_var("INSTSONAME")
    if libdir and soname and (Path(libdir) / soname).exists():
        files.append(Path(libdir) / soname)
    kinds: dict[str, str] = {}
    for file in files:
        out = run(["nm", "-D", "--defined-only", "--format=posix", file])
        for line in out.splitlines():
            parts = line.split()
            if len(parts) >= 2:
                kinds.setdefault(parts[0], parts[1])
    return kinds


def plain_api_references(objects: list[Path]) -> list[str]:
    """Interpreter symbols the Windows objects reference directly rather than through their
    __imp_ pointer: symbols the headers do not declare for import from python3XY.dll, which
    the DLL would then not be sure to export."""
    out = run([tool("nm"), "--undefined-only", "--format=posix", *objects])
    return sorted({line.split()[0] for line in out.splitlines() if re.match(r"_?Py", line)})


def def_file(dll: str, names: list[str], kinds: dict[str, str]) -> str:
    """A module-definition file for `dll`: every name, data symbols marked DATA (they are
    reached only through their __imp_ pointer, never called)."""
    unknown = [n for n in names if n not in kinds]
    if unknown:
        raise BuildError(f"the module uses symbols the interpreter does not export: {', '.join(unknown)}")
    lines = [f"LIBRARY {dll}", "EXPORTS"]
    lines += [f"    {n} DATA" if kinds[n] in DATA_KINDS else f"    {n}" for n in names]
    return "\n".join(lines) + "\n"


def staged_include(out: Path) -> Path:
    """The interpreter's include tree with the Windows pyconfig.h in place of its own. A
    copy, not an include path ahead of the original: Python.h includes "pyconfig.h" from
    its own folder first, whatever the include path says."""
    source = Path(sysconfig.get_path("include"))
    staged = out / "include"
    shutil.rmtree(staged, ignore_errors=True)
    shutil.copytree(source, staged, ignore=shutil.ignore_patterns("pyconfig.h"))
    shutil.copy2(HERE / "include" / "pyconfig.h", staged / "pyconfig.h")
    return staged


class PeImage:
    """The facts the checks need from a PE image: its machine, optional-header magic and
    characteristics, its exported names and its imported names per DLL."""

    def __init__(self, data: bytes) -> None:
        self.data = data
        if data[:2] != b"MZ":
            raise BuildError("not a PE image (no MZ header)")
        pe = self.u32(0x3C)
        if data[pe : pe + 4] != b"PE\0\0":
            raise BuildError("not a PE image (no PE signature)")
        coff = pe + 4
        (
            self.machine,
            sections,
        ) = self.u16(coff), self.u16(coff + 2)
        optional_size, self.characteristics = self.u16(coff + 16), self.u16(coff + 18)
        optional = coff + 20
        self.magic = self.u16(optional)
        # The data directories of a PE32+ optional header start at offset 112.
        directories = optional + (112 if self.magic == 0x20B else 96)
        self.sections = [
            (self.u32(at + 12), max(self.u32(at + 8), self.u32(at + 16)), self.u32(at + 20))
            for at in range(optional + optional_size, optional + optional_size + 40 * sections, 40)
        ]
        self.exports = self.read_exports(self.u32(directories))
        self.imports = self.read_imports(self.u32(directories + 8))

    def u16(self, at: int) -> int:
        return int.from_bytes(self.data[at : at + 2], "little")

    def u32(self, at: int) -> int:
        return int.from_bytes(self.data[at : at + 4], "little")

    def offset(self, rva: int) -> int:
        for address, size, raw in self.sections:
            if address <= rva < address + size:
                return rva - address + raw
        raise BuildError(f"address {rva:#x} lies in no section")

    def text(self, rva: int) -> str:
        at = self.offset(rva)
        return self.data[at : self.data.index(b"\0", at)].decode("ascii")

    def read_exports(self, rva: int) -> list[str]:
        if rva == 0:
            return []
        at = self.offset(rva)
        count, names = self.u32(at + 24), self.offset(self.u32(at + 32))
        return [self.text(self.u32(names + 4 * i)) for i in range(count)]

    def read_imports(self, rva: int) -> dict[str, list[str]]:
        imports: dict[str, list[str]] = {}
        at = self.offset(rva) if rva else 0
        while rva and any(self.data[at : at + 20]):
            lookup = self.u32(at) or self.u32(at + 16)  # the lookup table, else the address table
            names, entry = imports.setdefault(self.text(self.u32(at + 12)), []), self.offset(lookup)
            while (thunk := int.from_bytes(self.data[entry : entry + 8], "little")) != 0:
                # The top bit marks an import by ordinal; otherwise a hint/name entry.
                names.append(f"#{thunk & 0xFFFF}" if thunk >> 63 else self.text((thunk & 0x7FFFFFFF) + 2))
                entry += 8
            at += 20
        return imports

    @property
    def is_pe32_plus_x64_dll(self) -> bool:
        return self.magic == 0x20B and self.machine == 0x8664 and bool(self.characteristics & 0x2000)


def check_module(image: PeImage, python_dll: str) -> list[str]:
    """Every way the built module falls short of what the interpreter loads."""
    problems = []
    if not image.is_pe32_plus_x64_dll:
        problems.append(
            f"not a PE32+ x64 DLL (magic {image.magic:#x}, machine {image.machine:#x}, "
            f"characteristics {image.characteristics:#x})"
        )
    if image.exports != ["PyInit_vrel_dll"]:
        problems.append(f"exports {image.exports}, expected PyInit_vrel_dll alone")
    if python_dll.lower() not in {d.lower() for d in image.imports}:
        problems.append(f"does not import {python_dll}")
    others = [d for d in image.imports if d.lower() != python_dll.lower() and not SYSTEM_DLLS.fullmatch(d)]
    if others:
        problems.append(f"imports DLLs beyond the interpreter, the C runtime and the system: {', '.join(others)}")
    return problems


def linux_module(out: Path, existing: Path | None) -> Path:
    """The module built for Linux: in `existing`, a configured build folder, brought up to date
    by its own build tool (nothing is compiled when it is current); otherwise in a folder of
    its own under `out`."""
    if existing is not None:
        if not (existing / "CMakeCache.txt").exists():
            raise BuildError(f"{existing} is not a configured CMake build folder")
        run(["cmake", "--build", existing])
        module = existing / f"vrel_dll{sysconfig.get_config_var('EXT_SUFFIX')}"
        if not module.exists():
            raise BuildError(f"{existing} holds no {module.name}: not a build for this interpreter")
        return module
    linux = out / "linux"
    cmake_build(linux, f"-DPython_EXECUTABLE={sys.executable}")
    return only_file(linux, "vrel_dll*.so")


def build(out: Path, existing_linux_build: Path | None = None) -> Path:
    major, minor = sys.version_info[:2]
    tag = f"{major}{minor}"
    python_dll = f"python{tag}.dll"
    out.mkdir(parents=True, exist_ok=True)
    ensure_toolchain()

    names = undefined_api(linux_module(out, existing_linux_build))
    (out / f"python{tag}.def").write_text(def_file(python_dll, names, interpreter_symbols()))
    import_lib = out / f"libpython{tag}.dll.a"
    run([tool("dlltool"), "--input-def", out / f"python{tag}.def", "--dllname", python_dll, "--output-lib", import_lib])
    print(f"build.py: import library for {python_dll} with {len(names)} symbols", flush=True)

    windows = out / "windows"
    cmake_build(
        windows,
        f"-DCMAKE_TOOLCHAIN_FILE={HERE / 'mingw-w64-x86_64.cmake'}",
        f"-DVREL_WINDOWS_PYTHON_INCLUDE={staged_include(out)}",
        f"-DVREL_WINDOWS_PYTHON_LIBRARY={import_lib}",
    )
    module = windows / f"vrel_dll.cp{tag}-win_amd64.pyd"
    if not module.exists():
        raise BuildError(f"{module.name} was not built: {sorted(p.name for p in windows.glob('*.pyd'))}")

    plain = plain_api_references(sorted(windows.glob("CMakeFiles/**/*.obj")))
    if plain:
        raise BuildError(f"referenced without the headers' import declaration: {', '.join(plain)}")
    image = PeImage(module.read_bytes())
    print(f"build.py: {module}\n  exports: {', '.join(image.exports)}\n  imports:", flush=True)
    for dll, imported in image.imports.items():
        listed = "" if dll.lower() == python_dll.lower() else f": {', '.join(imported)}"
        print(f"    {dll}, {len(imported)} names{listed}")
    problems = check_module(image, python_dll)
    if problems:
        raise BuildError(f"{module.name}: " + "; ".join(problems))
    return module


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    default = ROOT / "build" / f"windows-{sys.version_info[0]}.{sys.version_info[1]}"
    parser.add_argument("--out", type=Path, default=default, help=f"work folder (default {default})")
    parser.add_argument(
        "--linux-build",
        type=Path,
        help="a configured CMake build folder of the module for this interpreter (Release, VREL_WERROR), "
        "reused for the symbols instead of a build of its own",
    )
    args = parser.parse_args()
    try:
        module = build(args.out.resolve(), args.linux_build.resolve() if args.linux_build else None)
    except BuildError as error:
        print(f"build.py: FAILED: {error}", file=sys.stderr)
        return 1
    print(f"build.py: {module.name} built and checked", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
