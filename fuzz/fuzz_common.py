"""What the fuzz targets share: the driver, module-global swapping, and the seed packets."""

import contextlib
import gc
import os
import sys

import atheris

import vrel_dll

MISSING = object()

SEED_PACKETS = [
    b"%xt%abc%0%{}%",
    b"%xt%abc%1%5%[1,2]%",
    b"%xt%ext%abc%1%0%{}%",
    b"%xt%ext%abc%",
    b"%xt%ext%abc%x%{}%",
    b"%xt%abc%0",
    b"%xt%abc%0%%",
    b"%xt%abc%0%7%",
    b"%xt%abc%-3%-%",
    b"%xt%abc%2147483648%{}%",
    b"%xt%abc%12345678901234567890123%{}%",
    b"%xt%abc%+1%{}%",
    b"%xt%ABC%0%{}%",
    b"%xt%a\xc3\xa9b%0%{}%",
    b"%xt%%0%{}%",
    b'%xt%abc%0%{"a":"b%c"}%',
    b"<msg t='sys'><body action='verChk' r='0'></body></msg>",
    b'%xt%x%1%0%{"k":[1,2.5,null,true,"\\u00e9"],"n":{"m":[]}}%',
    b"%xt%X%1%453%[]%%%%%%%%",
    b"%xt%ext%Cmd%-2147483649%-0%[[[]]]%",
]


class Namespace:
    def __init__(self, **attrs):
        self.__dict__.update(attrs)


def cache_of(parser):
    """The parser's command cache (a dict the type does not expose), or None."""
    found = [r for r in gc.get_referents(parser) if type(r) is dict]
    return found[0] if found else None


@contextlib.contextmanager
def global_bound(name, value):
    """vrel_dll.<name> rebound (or deleted, for MISSING) for the duration."""
    old = vrel_dll.__dict__.get(name, MISSING)
    if value is MISSING:
        vrel_dll.__dict__.pop(name, None)
    else:
        vrel_dll.__dict__[name] = value
    try:
        yield
    finally:
        if old is MISSING:
            vrel_dll.__dict__.pop(name, None)
        else:
            vrel_dll.__dict__[name] = old


def write_seeds(argv, seeds):
    """Fills every empty corpus directory named on the command line with the seeds."""
    for arg in argv[1:]:
        if not arg.startswith("-") and os.path.isdir(arg) and not os.listdir(arg):
            for i, seed in enumerate(seeds):
                with open(os.path.join(arg, f"seed-{i:03d}"), "wb") as f:
                    f.write(seed)


def main(argv, check, seeds):
    write_seeds(argv, seeds)
    atheris.Setup(argv, check)
    atheris.Fuzz()


def run_once(check, paths):
    """Replays inputs (files) through a target without the fuzzing engine."""
    for path in paths:
        with open(path, "rb") as f:
            check(f.read())
    print(f"replayed {len(paths)} inputs", file=sys.stderr)
