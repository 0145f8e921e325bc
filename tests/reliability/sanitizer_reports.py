"""Reads the report files that the sanitizers wrote during a run and judges them.

    python tests/reliability/sanitizer_reports.py REPORT_DIR

Every AddressSanitizer or UndefinedBehaviorSanitizer error fails the run. A leak fails it when
any frame of its allocation stack lies in the modules (their sources under src/, the functions
of their layers' namespaces, or their shared objects); a leak whose stack holds
interpreter and library frames only is the interpreter's own and is listed, not counted.

LeakSanitizer's own suppression file cannot draw this line: a suppression matches a leak when
any frame of its stack matches, so suppressing an interpreter function such as
PyModule_ExecDef would also hide a leak made inside a module's exec step, which the interpreter
calls from there. Hence the run writes every report to files (log_path) with leaks not
affecting exit codes, and this script classifies them afterwards.
"""

from __future__ import annotations

import re
import sys
from dataclasses import dataclass
from pathlib import Path

# The modules' own code: their sources, the namespace of each layer (rt::, and one per folder of
# src/corvessa/image, common:: included, so a new client needs no entry here) and every shared
# object in the package.
MODULES = Path(__file__).resolve().parents[2] / "src" / "corvessa" / "image"
LAYERS = ["rt", *sorted(path.name for path in MODULES.iterdir() if path.is_dir())]
MODULE_FRAME = re.compile(rf"/src/(runtime|corvessa)/|\b({'|'.join(LAYERS)})::|/corvessa/image/\w+\.[^/]*\.so")
LEAK_HEAD = re.compile(r"^(Direct|Indirect) leak of (\d+) byte\(s\) in (\d+) object\(s\) allocated from:")
FRAME = re.compile(r"^\s+#\d+ ")


@dataclass
class Leak:
    head: str
    frames: list[str]

    @property
    def in_modules(self) -> bool:
        return any(MODULE_FRAME.search(frame) for frame in self.frames)

    @property
    def where(self) -> str:
        """The first frame past the allocator, for the listing."""
        for frame in self.frames[1:]:
            match = re.search(r" in (\S+)", frame)
            if match:
                return match.group(1)
        return "?"


def leaks_of(text: str) -> list[Leak]:
    """The leak records of a report: a head line, then its stack up to the next blank line."""
    leaks: list[Leak] = []
    for block in re.split(r"\n\s*\n", text):
        lines = block.strip("\n").splitlines()
        if lines and LEAK_HEAD.match(lines[0]):
            leaks.append(Leak(lines[0], [line for line in lines[1:] if FRAME.match(line)]))
    return leaks


def is_error_report(text: str) -> bool:
    """An error other than a leak: AddressSanitizer's memory errors, UBSan's runtime errors."""
    return bool(re.search(r"ERROR: AddressSanitizer|runtime error:|ERROR: UndefinedBehaviorSanitizer", text))


def judge(folder: Path) -> int:
    errors = 0
    module_leaks = 0
    interpreter_leaks: dict[str, int] = {}
    for report in sorted(folder.glob("*")):
        text = report.read_text(errors="replace")
        if is_error_report(text):
            errors += 1
            print(f"==== {report.name}: sanitizer error\n{text}")
        for leak in leaks_of(text):
            if leak.in_modules:
                module_leaks += 1
                print(f"==== {report.name}: leak in the modules\n{leak.head}\n" + "\n".join(leak.frames))
            else:
                interpreter_leaks[leak.where] = interpreter_leaks.get(leak.where, 0) + 1
    for where, count in sorted(interpreter_leaks.items()):
        print(f"interpreter/library leak (not counted): allocated in {where}, {count} report(s)")
    print(
        f"sanitizer reports: {errors} error(s), {module_leaks} leak(s) in the modules, "
        f"{sum(interpreter_leaks.values())} interpreter/library leak(s)"
    )
    return 1 if errors or module_leaks else 0


if __name__ == "__main__":
    sys.exit(judge(Path(sys.argv[1])))
