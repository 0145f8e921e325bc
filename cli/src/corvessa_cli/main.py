"""Command line: corvessa-image generate ... | corvessa-image demo ..."""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
from collections.abc import Iterator
from importlib.metadata import PackageNotFoundError, version
from typing import Any, NoReturn
from urllib.parse import urlsplit

from . import checks, output
from .checks import UsageError
from .logs import client_logger
from .report import (
    EXIT_CODES,
    EXIT_FAILED,
    EXIT_OK,
    EXIT_UNREACHABLE,
    EXIT_USAGE,
    HINTS,
    Console,
    address,
    picture_size,
    unreachable,
)
from .run import CLIENTS, DEFAULT_MODELS, LOCAL_API_KEY, ClientUnavailable, Job, Outcome, client_class, run
from .spinner import Spinner

EMULATOR = "emulator"  # the "service" of --json when the local emulator answered
EMULATOR_NOTE = (
    "the local emulator answered, not a real service (no --base-url or CORVESSA_BASE_URL given); "
    "its pictures are placeholders"
)

GENERATE_NOTES = f"""options per client:
  sorvanel (Gemini): --ratio one of the client's ratios (default 2:3); --size 1K, 2K or 4K in
    capitals (default 1K); --model one of the client's Gemini models.
  tovarin (images API): --ratio W:H or auto; --size 1k, 2k or 4k in lower case, used only
    together with a ratio (without one the service picks the size); --quality low, medium,
    high or auto; --model any name the service knows (default gpt-image-2).

references (--ref): a path to a non-empty regular file, a link starting with lower-case
http:// or https://, or - for bytes on stdin; at most {checks.REF_CAP // (1024 * 1024)} MiB each. Each is read
(links downloaded) before the request: the clients would skip one they cannot read.

output: without --out a new file in the current folder, named from the prompt and the time
(or SOURCE_DATE_EPOCH, which must be whole seconds since 1970), is written and its path
printed; an existing file is never touched. --out FILE replaces a regular file (keeping its
mode) or writes through a symlink to one, and refuses folders, FIFOs and devices. In a sticky,
world-writable folder such as /tmp it follows a symlink only when it is the user's own or the
folder owner's, and never a dangling one, as the kernel does for links others may plant there.
--out - writes the picture to stdout, and is refused when stdout is a terminal. Should writing
where asked fail after the request, the picture is kept in a new file (here, else in the
temporary folder) and its path is said.
Without --base-url the local emulator answers; its pictures are placeholders, and a line on
stderr says so. --json prints one object on stdout instead, whenever a request was made:
client, model, service (its address, or "emulator"), code, message, output, bytes, width,
height, seconds. Problems go to stderr as one line each.

{EXIT_CODES}"""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        """One line, as every other mistake the tool reports."""
        self.exit(EXIT_USAGE, f"corvessa-image: {message} (see {self.prog} --help)\n")


def _positive_seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not value > 0:
        raise argparse.ArgumentTypeError("the time-out must be above zero")
    return value


def _own_version() -> str:
    try:
        return version("corvessa-image-cli")
    except PackageNotFoundError:
        return "unknown"


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="corvessa-image",
        description="Make pictures with the corvessa image clients.",
        epilog=EXIT_CODES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {_own_version()}")
    commands = parser.add_subparsers(dest="command", required=True, parser_class=_Parser)
    gen = commands.add_parser(
        "generate",
        help="make one picture",
        epilog=GENERATE_NOTES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Make one picture; without --base-url the local emulator answers.",
    )
    gen.add_argument("prompt", help="what to draw")
    gen.add_argument(
        "--client",
        choices=sorted(CLIENTS),
        default="sorvanel",
        help="sorvanel (Gemini) or tovarin (images API); default sorvanel",
    )
    gen.add_argument("--ratio", help="aspect ratio such as 2:3 (see below)")
    gen.add_argument("--size", help="sorvanel: 1K, 2K, 4K; tovarin: 1k, 2k, 4k with a ratio")
    gen.add_argument("--quality", help="low, medium, high or auto (tovarin only)")
    gen.add_argument("--model", help="model name (default: the client's)")
    gen.add_argument(
        "--ref",
        action="append",
        default=[],
        metavar="REF",
        help="reference picture: a path, an http(s) link, or - for stdin; repeatable",
    )
    gen.add_argument("--out", metavar="FILE", help="write the picture here (- for stdout)")
    gen.add_argument("--json", action="store_true", help="print one JSON object on stdout")
    gen.add_argument(
        "--base-url",
        default=os.environ.get("CORVESSA_BASE_URL") or None,
        help="service address (env CORVESSA_BASE_URL); default: start the local emulator",
    )
    gen.add_argument(
        "--api-key", default=os.environ.get("CORVESSA_API_KEY") or None, help="bearer token (env CORVESSA_API_KEY)"
    )
    gen.add_argument(
        "--timeout",
        type=_positive_seconds,
        metavar="SECONDS",
        help="request time-out in seconds (default: the HTTP client's)",
    )
    gen.add_argument(
        "-v",
        "--verbose",
        action="count",
        default=0,
        help="-v: the client's records and a summary on stderr (token redacted); -vv: tracebacks too",
    )
    demo = commands.add_parser("demo", help="make the demo pictures and an index.html through the local emulator")
    demo.add_argument("--out-dir", default="out", help="folder for the pictures and index.html (default: out)")
    return parser


def _checked(args: argparse.Namespace) -> tuple[Job, output.Target]:
    """The call and the picture's destination, every part checked; the references are read
    (links downloaded) last, once everything that costs nothing to check has passed."""
    checks.prompt(args.prompt)
    checks.options(args.client, args.ratio, args.size, args.quality, args.model)
    checks.service(args.base_url, args.api_key)
    if args.json and args.out == output.STDOUT:
        raise UsageError("--json and --out - both want stdout; give --out a file")
    checks.source_date_epoch()
    where = output.target(args.out)
    refs = checks.references(args.ref, sys.stdin.buffer)
    job = Job(
        client=args.client,
        prompt=args.prompt,
        ratio=args.ratio,
        size=args.size,
        quality=args.quality,
        model=args.model,
        refs=refs,
        timeout=args.timeout,
    )
    return job, where


@contextlib.contextmanager
def _service(base_url: str | None, api_key: str | None) -> Iterator[tuple[str, str, str]]:
    """Address, token and the name --json gives it: the given service, or the local emulator
    for the length of the call."""
    if base_url:
        yield base_url, api_key or "", address(base_url)
        return
    try:
        from corvessa_emulator import serve
    except ImportError:
        raise ClientUnavailable(
            "no --base-url given and the local emulator is not installed: "
            "pip install ./emulator (in the corvessa source tree), or give --base-url"
        ) from None
    with serve() as emulator:
        yield emulator.base_url, api_key or LOCAL_API_KEY, EMULATOR


def _call(args: argparse.Namespace, job: Job, console: Console) -> tuple[Outcome, str, str]:
    with _service(args.base_url, args.api_key) as (base_url, api_key, service):
        console.secrets.append(api_key)
        logger, handler, catcher = client_logger(job.client, args.verbose, console.secrets, sys.stderr)
        with Spinner(sys.stderr, f"{job.client}: generating") as spinner:
            if handler is not None:
                handler.spinner = spinner
            return run(job, base_url, api_key, logger, catcher), base_url, service


def _failure(outcome: Outcome, base_url: str) -> tuple[int, str]:
    """Exit status and the line that says what went wrong and what to do."""
    if address := unreachable(outcome.error, base_url):
        return EXIT_UNREACHABLE, f"cannot reach {address}: check --base-url and that the service is up"
    if outcome.ok and isinstance(outcome.result.data, str):
        return EXIT_FAILED, (
            f"the service made a picture but its link could not be downloaded: {outcome.result.data} "
            "(no file written; fetch it yourself while it lasts)"
        )
    if outcome.ok:
        return EXIT_FAILED, "the service reported success but sent no picture; no file written"
    msg = getattr(outcome.result, "msg", None)
    if msg is None and outcome.error is not None:
        msg = f"{type(outcome.error).__name__} in the client"  # the images client records, but does not return, it
    said = f": {msg}" if msg is not None else ""
    return EXIT_FAILED, f"{outcome.code}{said} ({HINTS.get(outcome.code, 'see -v')})"


def _keep(where: output.Target, prompt: str, image: bytes, report: dict[str, Any]) -> int:
    """Write the picture where asked; when that fails for any reason, into a new file, for it
    was paid for."""
    try:
        report["output"] = output.write(where, prompt, image)
    except Exception as err:
        wanted = where.given or "a new file here"
        try:
            report["output"] = output.keep_elsewhere(prompt, image)
        except OSError as lost:
            report["message"] = f"cannot write {wanted} ({err}), and {lost}"
        else:
            report["message"] = f"cannot write {wanted} ({err}); the picture is kept in {report['output']}"
        return EXIT_FAILED
    return EXIT_OK


def _generate(args: argparse.Namespace, console: Console) -> int:
    client_class(args.client)  # a missing module is reported before anything else is read
    job, where = _checked(args)
    outcome, base_url, service = _call(args, job, console)
    report: dict[str, Any] = {
        "client": job.client,
        "model": job.model or DEFAULT_MODELS[job.client],
        "service": service,
        "code": outcome.code,
        "message": None,
        "output": None,
        "bytes": 0,
        "width": None,
        "height": None,
        "seconds": round(outcome.seconds, 3),
    }
    if outcome.image is None:
        status, report["message"] = _failure(outcome, base_url)  # -vv showed the traceback in the records
    else:  # the picture was paid for: it is kept before anything else can fail
        status = _keep(where, job.prompt, outcome.image, report)
        report["bytes"] = len(outcome.image)
        report["width"], report["height"] = picture_size(outcome.image)
    console.talk(outcome.summary())
    if service == EMULATOR:
        console.note(EMULATOR_NOTE)
    if report["message"]:
        console.error(report["message"])
    if args.json:
        console.json(report)
    elif report["output"] not in (None, output.STDOUT):
        console.data(report["output"])
    return status


def _password(base_url: str | None) -> str:
    try:
        return urlsplit(base_url or "").password or ""
    except ValueError:
        return ""


def main(argv: list[str] | None = None) -> int:
    for stream in (sys.stdout, sys.stderr):
        stream.reconfigure(errors="backslashreplace")  # type: ignore[union-attr]
    args = _parser().parse_args(argv)
    console = Console([], getattr(args, "verbose", 0))
    if args.command == "generate":
        # The token, and a password written into the address, which the client's records show.
        console.secrets += [args.api_key or "", _password(args.base_url)]
    try:
        if args.command == "demo":
            from .demo import make_demo

            return make_demo(args.out_dir)
        return _generate(args, console)
    except (UsageError, ClientUnavailable) as err:
        console.error(err)
        return EXIT_USAGE
    except KeyboardInterrupt:
        console.error("interrupted")
        return 130
    except Exception as err:
        console.error(f"{type(err).__name__}: {err} (run with -vv for the traceback)")
        console.trace(err)
        return EXIT_FAILED
