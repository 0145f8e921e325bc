# Every target builds what it needs, the Python 3.14 toolchain included (tools/sysroot).
.PHONY: demo test bench wheel clean

# One plain and one edited picture with each client, through the local emulator: out/index.html.
demo:
	tools/sysroot run sh -c 'tools/install && tools/demo'

# The whole test suite (arguments for pytest: make test ARGS="tests/sorvanel -k body").
test:
	tools/test $(ARGS)

# The benchmarks; the table goes to bench/RESULTS.md.
bench:
	tools/sysroot --with bench run sh -c 'tools/install && .venv/bin/python -m bench.run'

# The manylinux wheels for x86_64 and aarch64 and the sdist, in dist/ (one: make wheel ARCH=x86_64).
wheel:
	tools/wheel $(ARCH)

clean:
	rm -rf dist build .venv .venv.lock out contracts/build emulator/build cli/build
