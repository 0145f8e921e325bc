"""Pure-Python transcriptions of the two native clients, for benchmarks and differential tests."""
