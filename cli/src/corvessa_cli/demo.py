"""The demo: each client makes one plain picture and one from a reference, via the emulator."""

from __future__ import annotations

import html
import os
import sys
from dataclasses import dataclass, replace

from .checks import UsageError
from .logs import client_logger
from .output import LinkRefused, open_folder, resolve, write_new
from .run import LOCAL_API_KEY, ClientUnavailable, Job, run

INDEX = "index.html"


@dataclass
class Shot:
    name: str
    job: Job
    ref_name: str | None = None  # an earlier shot whose picture is the reference


SHOTS = [
    Shot(
        "sorvanel-plain",
        Job(client="sorvanel", prompt="A lighthouse on a cliff at dusk, oil painting", ratio="2:3", size="1K"),
    ),
    Shot(
        "tovarin-plain",
        Job(client="tovarin", prompt="A red bicycle leaning on a blue door", ratio="3:2", size="1k", quality="medium"),
    ),
    Shot(
        "sorvanel-edit",
        Job(client="sorvanel", prompt="The same bicycle at night in the rain", ratio="3:2", size="1K"),
        ref_name="tovarin-plain",
    ),
    Shot(
        "tovarin-edit",
        Job(client="tovarin", prompt="The same lighthouse in deep winter", ratio="2:3", size="1k", quality="medium"),
        ref_name="sorvanel-plain",
    ),
]
NAMES = [f"{shot.name}.png" for shot in SHOTS] + [INDEX]

# Two rows of two cards fit a 1400x1000 window: every picture box has the same height, so the
# cards of a row match, and the grid stretches each row's cards to the taller caption.
_PAGE = """<!doctype html>
<html lang="en"><head><meta charset="utf-8"><title>corvessa image demo</title>
<style>
body {{ font-family: sans-serif; margin: 0; padding: 12px 24px; background: #f4f4f4; }}
h1 {{ font-size: 1.4em; margin: 0 0 4px; }}
p {{ margin: 0 0 6px; font-size: .9em; }}
.note {{ color: #6a4a00; }}
code {{ background: #e8e8e8; padding: 0 3px; }}
.grid {{ display: grid; grid-template-columns: repeat(2, minmax(0, 1fr)); grid-auto-rows: 1fr; gap: 12px; }}
figure {{ margin: 0; padding: 8px; background: #fff; border-radius: 6px; box-shadow: 0 1px 3px #0002;
          display: flex; flex-direction: column; }}
.picture {{ height: 300px; display: flex; align-items: center; justify-content: center; }}
img {{ max-width: 100%; max-height: 100%; display: block; }}
figcaption {{ margin-top: 6px; font-size: .85em; }}
.meta {{ color: #555; }}
.failed {{ color: #a00; }}
</style></head><body>
<h1>corvessa image demo</h1>
<p>Both clients against the local emulator. Left: sorvanel (Gemini generateContent); right: tovarin
(images API). Top row: text only; bottom row: edited from the other client's picture.</p>
<p class="note">These pictures are the emulator's placeholders. For real ones, point the tool at a
service: <code>corvessa-image generate "a red fox" --client sorvanel --base-url https://your-gateway.example --api-key TOKEN</code>.</p>
<div class="grid">
{figures}
</div></body></html>
"""


def _figure(shot: Shot, job: Job, picture: str | None, seconds: float, failure: str) -> str:
    caption = f"<strong>{html.escape(job.client)}</strong> &mdash; &ldquo;{html.escape(job.prompt)}&rdquo;"
    details = f"ratio {html.escape(job.ratio or '-')}, size {html.escape(job.size or '-')}, {seconds:.3f} s"
    if shot.ref_name:
        details += f', reference <a href="{shot.ref_name}.png">{shot.ref_name}.png</a>'
    if picture is None:
        body = f'<div class="picture"><p class="failed">{html.escape(failure)}</p></div>'
    else:
        image = f'<img src="{picture}" alt="{html.escape(job.prompt)}">'
        body = f'<a class="picture" href="{picture}">{image}</a>'
    return f'<figure>{body}<figcaption>{caption}<br><span class="meta">{details}</span></figcaption></figure>'


def _shoot(shot: Shot, base_url: str, folder_fd: int, made: dict[str, bytes]) -> tuple[bool, str]:
    """Make one picture into a new file; returns whether it worked and its figure for the page.
    The pictures made so far are in `made`, by shot name: a reference is taken from there, not
    read back from the folder."""
    picture = f"{shot.name}.png"
    ref = made.get(shot.ref_name) if shot.ref_name else None
    job = replace(shot.job, refs=[ref] if ref else [])
    if shot.ref_name and not ref:
        print(f"{shot.name:15} skipped: its reference {shot.ref_name}.png was not made")
        return False, _figure(shot, job, None, 0.0, f"skipped: reference {shot.ref_name}.png was not made")
    logger, _, catcher = client_logger(job.client, 0, [], sys.stderr)
    try:
        outcome = run(job, base_url, LOCAL_API_KEY, logger, catcher)
    except ClientUnavailable as err:
        print(f"{shot.name:15} {err}")
        return False, _figure(shot, job, None, 0.0, str(err))
    print(f"{shot.name:15} {outcome.summary()}")
    if outcome.image is None:
        return False, _figure(shot, job, None, outcome.seconds, outcome.summary())
    write_new(picture, outcome.image, folder_fd)
    made[shot.name] = outcome.image
    return True, _figure(shot, job, picture, outcome.seconds, "")


def _folder(out: str) -> str:
    """The folder for the demo, made when missing; UsageError when it holds a file of the names
    the demo writes, for a file this run did not make is never replaced."""
    try:
        real = resolve(out)
    except LinkRefused as err:
        raise UsageError(f"--out-dir {out}: {err}") from None
    if not os.path.lexists(real):
        os.makedirs(real)
    elif not os.path.isdir(real):
        raise UsageError(f"--out-dir {out}: not a folder")
    taken = [name for name in NAMES if os.path.lexists(os.path.join(real, name))]
    if taken:
        raise UsageError(
            f"--out-dir {out}: {', '.join(taken)} there already, and the demo never replaces a file "
            "it did not make; remove them or name another folder"
        )
    return real


def make_demo(out: str) -> int:
    """Make the four pictures and index.html as new files in the folder out; 0 when every call
    succeeded."""
    from corvessa_emulator import serve

    real = _folder(out)
    folder_fd = open_folder(real)
    made: dict[str, bytes] = {}
    try:
        with serve() as emulator:
            shots = [_shoot(shot, emulator.base_url, folder_fd, made) for shot in SHOTS]
        page = _PAGE.format(figures="\n".join(figure for _, figure in shots))
        write_new(INDEX, page.encode("utf-8"), folder_fd)
    finally:
        os.close(folder_fd)
    index = os.path.join(real, INDEX)
    print(f"pictures and {INDEX} written to {real}/ (open {index})")
    return 0 if all(ok for ok, _ in shots) else 1
