"""Benchmarks of the native image clients: what they cost next to the least a client of these
APIs can do through the same transport, their pure-Python twins and the `openai` SDK.

Run from the repository root as a module, so that the twins import as `tests.twins`:

    make bench                                              # the full run, report to bench/RESULTS.md
    .venv/bin/python -m bench.run --quick --only gemini-small --no-write     # smoke check

See bench/README.md for what each row, column and verdict means.
"""
