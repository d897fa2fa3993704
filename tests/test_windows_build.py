"""The checks of the Windows x64 cross build (tools/windows/build.py): the PE reader, the
rules for the built DLL, and the import-library definition."""

import importlib.util
import re
import struct
from pathlib import Path
from types import SimpleNamespace

import pytest

SCRIPT = Path(__file__).resolve().parent.parent / "tools" / "windows" / "build.py"
if not SCRIPT.exists():
    pytest.skip("the source tree's tools/ is not beside these tests", allow_module_level=True)
spec = importlib.util.spec_from_file_location("windows_build", SCRIPT)
build = importlib.util.module_from_spec(spec)
spec.loader.exec_module(build)

SECTION_RVA, SECTION_RAW = 0x1000, 0x400


def pe_image(exports, imports, machine=0x8664, magic=0x20B, characteristics=0x2022):
    """A minimal PE image with one section holding an export table (names only) and an
    import table ({dll: [name or ordinal int]})."""
    body = bytearray()

    def put(data: bytes) -> int:
        at = SECTION_RVA + len(body)
        body.extend(data)
        body.extend(b"\0" * (-len(body) % 8))
        return at

    name_rvas = [put(name.encode() + b"\0") for name in exports]
    name_table = put(b"".join(struct.pack("<I", rva) for rva in name_rvas))
    export_dir = put(struct.pack("<6I4I", 0, 0, 0, 0, 1, len(exports), len(exports), 0, name_table, 0))
    descriptors = []
    for dll, names in imports.items():
        thunks = [(1 << 63) | n if isinstance(n, int) else put(b"\0\0" + n.encode() + b"\0") for n in names]
        lookup = put(b"".join(struct.pack("<Q", t) for t in thunks + [0]))
        descriptors.append(struct.pack("<5I", lookup, 0, 0, put(dll.encode() + b"\0"), lookup))
    import_dir = put(b"".join(descriptors) + b"\0" * 20)

    directories = struct.pack("<2I", export_dir, 0) + struct.pack("<2I", import_dir, 0) + b"\0" * 8 * 14
    optional = struct.pack("<H", magic) + b"\0" * 106 + struct.pack("<I", 16) + directories
    section = b".data\0\0\0" + struct.pack("<4I", len(body), SECTION_RVA, len(body), SECTION_RAW) + b"\0" * 16
    headers = (
        b"MZ"
        + b"\0" * 58
        + struct.pack("<I", 0x40)
        + b"PE\0\0"
        + struct.pack("<HHIIIHH", machine, 1, 0, 0, 0, len(optional), characteristics)
        + optional
        + section
    )
    return headers + b"\0" * (SECTION_RAW - len(headers)) + bytes(body)


def test_reader_finds_exports_and_imports_by_name_and_ordinal():
    imports = {"python312.dll": ["PyLong_AsLong", "PyExc_TypeError"], "KERNEL32.dll": ["Sleep", 7]}
    image = build.PeImage(pe_image(["PyInit_vrel_dll"], imports))
    assert image.is_pe32_plus_x64_dll
    assert image.exports == ["PyInit_vrel_dll"]
    assert image.imports == {"python312.dll": ["PyLong_AsLong", "PyExc_TypeError"], "KERNEL32.dll": ["Sleep", "#7"]}


@pytest.mark.parametrize(
    "changes",
    [
        {"magic": 0x10B},  # PE32, a 32-bit image
        {"machine": 0x14C},  # i386
        {"machine": 0xAA64},  # ARM64
        {"characteristics": 0x0022},  # an executable, not a DLL
    ],
)
def test_reader_tells_other_images_from_an_x64_dll(changes):
    assert not build.PeImage(pe_image([], {}, **changes)).is_pe32_plus_x64_dll


@pytest.mark.parametrize("data", [b"", b"ELF" + b"\0" * 100, b"MZ" + b"\0" * 58 + struct.pack("<I", 0x40) + b"NE\0\0"])
def test_reader_refuses_what_is_not_a_pe_image(data):
    with pytest.raises(build.BuildError, match="not a PE image"):
        build.PeImage(data)


GOOD_IMPORTS = {"python313.dll": ["Py_BuildValue"], "KERNEL32.dll": ["Sleep"], "msvcrt.dll": ["malloc"]}


def image(exports=("PyInit_vrel_dll",), imports=GOOD_IMPORTS, dll=True):
    return SimpleNamespace(
        is_pe32_plus_x64_dll=dll,
        magic=0x20B,
        machine=0x8664,
        characteristics=0x2022,
        exports=list(exports),
        imports=dict(imports),
    )


@pytest.mark.parametrize(
    "module, problem",
    [
        (image(), None),
        (
            image(
                imports={
                    **GOOD_IMPORTS,
                    "api-ms-win-crt-runtime-l1-1-0.dll": ["_initterm"],
                    "VCRUNTIME140.dll": ["memcpy"],
                    "kernel32.DLL": ["Sleep"],
                }
            ),
            None,
        ),
        (image(dll=False), r"not a PE32\+ x64 DLL"),
        (image(exports=()), "expected PyInit_vrel_dll alone"),
        (image(exports=("PyInit_vrel_dll", "_ZN4vrel3fooEv")), "expected PyInit_vrel_dll alone"),
        (image(imports={"KERNEL32.dll": ["Sleep"]}), "does not import python313.dll"),
        (image(imports={**GOOD_IMPORTS, "python312.dll": ["Py_BuildValue"]}), "beyond the interpreter.*python312.dll"),
        (image(imports={**GOOD_IMPORTS, "libstdc++-6.dll": ["_Znwy"]}), "beyond the interpreter.*libstdc"),
        (image(imports={**GOOD_IMPORTS, "libgcc_s_seh-1.dll": ["_Unwind_Resume"]}), "beyond the interpreter.*libgcc"),
        (image(imports={**GOOD_IMPORTS, "libwinpthread-1.dll": ["pthread_mutex_lock"]}), "beyond the interpreter"),
    ],
)
def test_module_rules(module, problem):
    problems = build.check_module(module, "python313.dll")
    if problem is None:
        assert problems == []
    else:
        assert len(problems) == 1 and re.search(problem, problems[0]), problems


def test_definition_marks_data_and_refuses_what_the_interpreter_lacks():
    kinds = {"PyLong_AsLong": "T", "PyExc_TypeError": "D", "Py_Version": "R", "_Py_NoneStruct": "D"}
    text = build.def_file("python314.dll", sorted(kinds), kinds)
    assert text.splitlines() == [
        "LIBRARY python314.dll",
        "EXPORTS",
        "    PyExc_TypeError DATA",
        "    PyLong_AsLong",
        "    Py_Version DATA",
        "    _Py_NoneStruct DATA",
    ]
    with pytest.raises(build.BuildError, match="does not export: _PyGone"):
        build.def_file("python314.dll", ["PyLong_AsLong", "_PyGone"], kinds)
