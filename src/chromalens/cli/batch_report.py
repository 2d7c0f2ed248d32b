"""What ``chromalens batch`` tells: the summary line, what a resume dropped, refused settings."""

import argparse
from typing import Any, Dict, List, Optional, Tuple

from chromalens._text import hex_code
from chromalens.catalog.results import Recorded, Tally
from chromalens.cli.inputs import plural
from chromalens.cli.progress import duration
from chromalens.cli.terminal import PROG

__all__ = ["dropped_lines", "settings_refusal", "summary"]


def _line_numbers(numbers: List[int], shown: int = 5) -> str:
    listed = ", ".join(map(str, numbers[:shown]))
    more = f" and {len(numbers) - shown} more" if len(numbers) > shown else ""
    return f"line{'s' if len(numbers) > 1 else ''} {listed}{more}"


def dropped_lines(out: str, recorded: Recorded) -> Optional[str]:
    """What reading `out` back left out of it, or None when it kept every line."""
    parts = []
    for numbers, one, many in ((recorded.duplicates, "second record of an image", "second records of images"),
                               (recorded.malformed, "line that is no record", "lines that are no record"),
                               (recorded.retried, "failed record to analyse again", "failed records to analyse again")):
        if numbers:
            parts.append(f"{len(numbers)} {one if len(numbers) == 1 else many} ({_line_numbers(numbers)})")
    if recorded.cut_short:
        parts.append("its partial last line (an interrupted write)")
    if not parts:
        return None
    listed = ", ".join(parts[:-1]) + (" and " if len(parts) > 1 else "") + parts[-1]
    return f"{out}: dropped {listed}"


def _setting(name: str, value: Any) -> str:
    """A setting of a results file's records, as the command line gives it."""
    if name == "n_colors":
        return f"--colors {value}"
    if name == "algorithm":
        return f"--algorithm {value}"
    if name in ("preprocessing", "lab_space", "use_alpha", "detailed"):
        flag = {"preprocessing": "--no-preprocessing", "lab_space": "--rgb", "use_alpha": "--ignore-alpha",
                "detailed": "--detailed"}[name]
        given = bool(value) if name == "detailed" else not value
        return flag if given else f"no {flag}"
    if name == "max_side":
        return f"--max-side {value}" if value is not None else "no --max-side"
    if name == "similarity_threshold":
        return f"--threshold {value:g}" if value is not None else "no --threshold"
    if name == "targets":
        if not value:
            return "no --target"
        return " ".join(f"-t {target}={hex_code(rgb)}" for target, rgb in value.items())
    return f"{name} {value}"


def settings_refusal(out: str, changes: List[Tuple[str, Any, Any]]) -> str:
    recorded = ", ".join(_setting(name, old) for name, old, _ in changes)
    wanted = ", ".join(_setting(name, new) for name, _, new in changes)
    return (f"{out} holds records made with {recorded}; this run asks for {wanted}. Give the same options "
            "to continue it, or write to another file")


def _skipped(skipped: Dict[str, int]) -> str:
    count = sum(skipped.values())
    kinds = ", ".join(extension or "no extension" for extension, _ in
                      sorted(skipped.items(), key=lambda item: (-item[1], item[0])))
    return f"{count} skipped: not an image type ({kinds})"


def summary(tally: Tally, before: int, skipped: Dict[str, int], targets: bool, args: argparse.Namespace,
            seconds: float) -> str:
    """The run's last line: what its images' records say (this run's and earlier ones)."""
    total = tally.analysed + tally.failed
    counts = [f"{tally.analysed} analysed"]
    if tally.failed:
        again = "" if args.retry_failed else " (--resume --retry-failed tries again)"
        counts.append(f"{tally.failed} failed{again}")
    if before == total and before:
        head = f"{plural(total, 'image')}, all recorded before: "
    else:
        head = f"{plural(total, 'image')}: "
        if before:
            counts.append(f"{before} recorded before")
    text = f"{PROG}: {head}{', '.join(counts)}"
    if skipped:
        text += f"; {_skipped(skipped)}"
    if targets:
        text += f"; target colours in {tally.with_target}" if tally.with_target else "; no target colour found"
    return f"{text}; results in {args.out} ({duration(seconds)})"
