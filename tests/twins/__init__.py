"""Pure-Python twins of the two native clients: the differential oracle of the tests, and the
pure-Python row of the benchmarks (bench/ imports them from here)."""
