"""Command line: corvessa-image generate ... | corvessa-image demo ..."""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
import tempfile
from collections.abc import Iterator
from pathlib import Path

from .logs import client_logger
from .run import CLIENTS, ClientUnavailable, Job, client_class, run
from .spinner import Spinner

LOCAL_API_KEY = "local-emulator-key"
EXIT_OK, EXIT_FAILED, EXIT_USAGE = 0, 1, 2


class UsageError(Exception):
    """A mistake in the command line; reported with exit status 2."""


def _positive_seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not value > 0:
        raise argparse.ArgumentTypeError("the time-out must be above zero")
    return value


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="corvessa-image", description="Make pictures with the corvessa image clients.")
    commands = parser.add_subparsers(dest="command", required=True)
    gen = commands.add_parser(
        "generate", help="make one picture", description="Make one picture; without --base-url the local emulator answers."
    )
    gen.add_argument("prompt", help="what to draw")
    gen.add_argument(
        "--client", choices=sorted(CLIENTS), default="sorvanel", help="sorvanel (Gemini) or tovarin (images API); default sorvanel"
    )
    gen.add_argument("--ratio", help="aspect ratio such as 2:3 (sorvanel default 2:3)")
    gen.add_argument("--size", help="1K, 2K or 4K (sorvanel default 1K)")
    gen.add_argument("--quality", help="low, medium, high or auto (tovarin only)")
    gen.add_argument("--model", help="model name (default: the client's)")
    gen.add_argument(
        "--ref", action="append", default=[], metavar="REF", help="reference image: a path, an http(s) link, or - for bytes on stdin; repeatable"
    )
    gen.add_argument("--out", type=Path, help="write the picture to this file")
    gen.add_argument(
        "--base-url",
        default=os.environ.get("CORVESSA_BASE_URL") or None,
        help="service address (env CORVESSA_BASE_URL); default: start the local emulator",
    )
    gen.add_argument("--api-key", default=os.environ.get("CORVESSA_API_KEY") or None, help="bearer token (env CORVESSA_API_KEY)")
    gen.add_argument("--timeout", type=_positive_seconds, help="request time-out in seconds (default: the HTTP client's)")
    gen.add_argument("-v", "--verbose", action="store_true", help="show the client's debug records (token redacted)")
    demo = commands.add_parser("demo", help="make the demo pictures and an index.html through the local emulator")
    demo.add_argument("--out-dir", type=Path, default=Path("out"), help="folder for the pictures and index.html (default: out)")
    return parser


def _reference(value: str, stdin_used: bool) -> str | bytes:
    if value == "-":
        if stdin_used:
            raise UsageError("--ref - may be given only once")
        data = sys.stdin.buffer.read()
        if not data:
            raise UsageError("--ref -: nothing was read from stdin")
        return data
    scheme, sep, rest = value.partition("://")
    if sep and scheme.lower() in ("http", "https"):
        return f"{scheme.lower()}://{rest}"  # the clients recognise lower-case schemes only
    if not os.path.isfile(value):
        raise UsageError(f"--ref {value}: no such file")
    return value


def _job(args: argparse.Namespace) -> Job:
    if args.quality is not None and args.client != "tovarin":
        raise UsageError("--quality applies to --client tovarin only")
    if args.base_url and not args.api_key:
        raise UsageError("--base-url needs --api-key (or CORVESSA_API_KEY)")
    refs: list[str | bytes] = []
    for value in args.ref:
        refs.append(_reference(value, any(isinstance(ref, bytes) for ref in refs)))
    return Job(args.client, args.prompt, args.ratio, args.size, args.quality, args.model, refs, args.timeout)


@contextlib.contextmanager
def _service(base_url: str | None, api_key: str | None) -> Iterator[tuple[str, str]]:
    """The given service, or the local emulator for the length of the call."""
    if base_url:
        yield base_url, api_key or ""
        return
    try:
        from corvessa_emulator import serve
    except ImportError:
        raise ClientUnavailable("no --base-url given and the local emulator (corvessa_emulator) is not installed") from None
    with serve() as emulator:
        yield emulator.base_url, api_key or LOCAL_API_KEY


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def _write_atomically(path: Path, data: bytes) -> None:
    """Write via a temporary file in the same folder, so a failure leaves no partial picture."""
    fd, tmp = tempfile.mkstemp(prefix=f".{path.name}.", dir=path.parent)
    try:
        with os.fdopen(fd, "wb") as out:
            out.write(data)
        os.chmod(tmp, 0o666 & ~_umask())
        os.replace(tmp, path)
    except BaseException:
        os.unlink(tmp)
        raise


def _generate(args: argparse.Namespace) -> int:
    job = _job(args)
    client_class(job.client)  # fail early, before an emulator is started for nothing
    with _service(args.base_url, args.api_key) as (base_url, api_key):
        logger, handler = client_logger(job.client, args.verbose, [api_key], sys.stderr)
        with Spinner(sys.stderr, f"{job.client}: generating") as spinner:
            if handler is not None:
                handler.spinner = spinner
            outcome = run(job, base_url, api_key, logger)
    print(outcome.summary(), flush=True)
    if outcome.image is None:
        if outcome.ok:
            print(f"corvessa-image: the reply named a picture that could not be downloaded: {outcome.result.data}", file=sys.stderr)
        return EXIT_FAILED
    if args.out is not None:
        _write_atomically(args.out, outcome.image)
        print(f"wrote {args.out}")
    return EXIT_OK


def main(argv: list[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    try:
        if args.command == "demo":
            from .demo import make_demo

            return make_demo(args.out_dir)
        return _generate(args)
    except UsageError as err:
        print(f"corvessa-image: error: {err}", file=sys.stderr)
        return EXIT_USAGE
    except (ClientUnavailable, OSError) as err:
        print(f"corvessa-image: {err}", file=sys.stderr)
        return EXIT_FAILED
    except KeyboardInterrupt:
        print("corvessa-image: interrupted", file=sys.stderr)
        return 130
