"""What the tests, the benchmarks and the fuzz targets share, importable from the repository's root.

    packet_model   the packet rules written out plainly: the reference for the parser's results
    corpus         the seeded corpus of inbound messages and outbound requests
    hostile_peer   what a parser keeps whatever a peer sends (python3 -m vrel_testkit.hostile_peer)

pytest finds the package through `pythonpath` in pyproject.toml; the nox sessions that run
scripts (bench, instructions, fuzz) put the repository's root on PYTHONPATH. By hand, from the
root: `PYTHONPATH=. python bench/run.py`.
"""
