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

# The interpreter versions a wheel is built for, each with its own ABI tag (cp314, cp315);
# CORVESSA_PYTHON_VERSIONS narrows a build or a check to some of them.
python_versions=${CORVESSA_PYTHON_VERSIONS:-3.14 3.15}

# abi_tag VERSION: the wheel tag part of an interpreter version (3.15: cp315).
abi_tag() {
    echo "cp$(echo "$1" | tr -d .)"
}

# built_wheel VERSION ARCH: the wheel tools/wheel made in dist/ for that interpreter version and
# architecture; fails, printing nothing, when there is none.
built_wheel() {
    _abi=$(abi_tag "$1")
    ls dist/corvessa_image-"$(project_version)-$_abi-$_abi"-manylinux_*_"$2".whl 2>/dev/null
}

# check_installed PYTHON: every extension module the installed corvessa-image distribution
# holds imports from where pip put it, without the warning of a module built for another
# interpreter version; prints what was installed from which wheel tag.
check_installed() {
    ${python_runner:-} "$1" - <<'PY'
import importlib, importlib.metadata as metadata, pathlib, platform, sysconfig, warnings
warnings.simplefilter("error", RuntimeWarning)
distribution = metadata.distribution("corvessa-image")
site = pathlib.Path(sysconfig.get_paths()["platlib"]).resolve()
files = [file for file in distribution.files or () if file.suffix == ".so"]
assert files, "the distribution holds no extension module"
for file in files:
    name = ".".join((*file.parent.parts, file.name.split(".")[0]))
    path = pathlib.Path(importlib.import_module(name).__file__).resolve()
    assert path == (site / file).resolve(), (name, path)
tag = distribution.read_text("WHEEL").split("Tag: ")[1].split()[0]
print(platform.machine(), "installed", distribution.version, "from", tag + ":",
      ", ".join(file.name for file in files))
PY
}
