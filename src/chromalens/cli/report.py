"""``chromalens report``: placeholder until the report page lands."""

from __future__ import annotations

import argparse
from typing import Any

__all__ = ["add_parser", "run"]


def add_parser(subparsers: Any) -> argparse.ArgumentParser:
    parser: argparse.ArgumentParser = subparsers.add_parser("report")
    parser.set_defaults(run=run)
    return parser


def run(args: argparse.Namespace) -> int:
    return 2
