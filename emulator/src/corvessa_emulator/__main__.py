"""python -m corvessa_emulator [--port N]: serve the emulator until interrupted."""

from __future__ import annotations

import argparse

from .server import serve


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="corvessa-emulator", description="Local emulator of the Gemini and images APIs on 127.0.0.1."
    )
    parser.add_argument("--port", type=int, default=0, help="port to listen on (default: a free one)")
    parser.add_argument("--quiet", action="store_true", help="do not print a line per request")
    args = parser.parse_args(argv)
    server = serve(args.port, quiet=args.quiet)
    print(f"corvessa emulator listening on {server.base_url} (Ctrl-C stops it)", flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.close()
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
