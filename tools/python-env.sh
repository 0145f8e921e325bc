# Sourced (POSIX sh) by the tools that make virtual environments and install into them: the
# project's version, the one pip call they share, and the order the parts go in. Run from the
# checkout's top folder. $python_runner, when set, is the command that starts every interpreter
# named here (the aarch64 checks start theirs through qemu-aarch64), and $pip_options holds
# options every pip_install adds (there: --no-compile, as compiling under qemu is slow).

# The version, from the one place it is written.
project_version() {
    sed -n 's/^version = "\(.*\)"$/\1/p' pyproject.toml
}

# pip_install PYTHON PIP_ARG...: PYTHON's pip installs what it is given into PYTHON's
# environment, offline and without dependencies (the environments see the system's packages).
pip_install() {
    _python=$1
    shift
    ${python_runner:-} "$_python" -m pip install --quiet --no-index --no-deps --no-build-isolation \
        --disable-pip-version-check ${pip_options:-} "$@"
}

# make_venv PYTHON VENV [VENV_ARG...]: a virtual environment of PYTHON that sees the system's
# site packages, unless VENV already has one.
make_venv() {
    _python=$1
    _venv=$2
    shift 2
    [ -x "$_venv/bin/python" ] || ${python_runner:-} "$_python" -m venv --system-site-packages "$@" "$_venv"
}

# install_parts PYTHON CONTRACTS EMULATOR CLI [PRODUCT...]: the stand-ins of the host's modules,
# the emulator and the product (a folder or a wheel; none where a check copies its own build in)
# in one pip run, then the tool in a run of its own: in an environment made before the tool had
# its own package, its files belong to the old stand-ins, which must be gone before the tool's go in.
install_parts() {
    _python=$1
    _contracts=$2
    _emulator=$3
    _cli=$4
    shift 4
    pip_install "$_python" "$_contracts" "$_emulator" "$@"
    pip_install "$_python" "$_cli"
}
