"""Runs the report job on every list and template of the test corpus and
prints, per case, the messages and a digest of every part of the report:

    python tools/corpus_run.py > after.json
    python tools/corpus_run.py --compare before.json after.json

A change to the report package shows here as the cases and parts it
changed; a refactoring should change none."""

from __future__ import annotations

import argparse
import hashlib
import json
import sys
import tempfile
import zipfile
from datetime import datetime
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
CORPUS = ROOT / "tests" / "corpus"
sys.path.insert(0, str(ROOT))

from lumivar import protocol  # noqa: E402
from lumivar.report import job  # noqa: E402


def corpus(kinds=(".xlsx", ".xlsm", ".xls", ".ods")) -> list[Path]:
    return sorted(p for p in CORPUS.rglob("*") if p.suffix in kinds)


def run(patents: Path, template: Path | None, folder: Path) -> dict:
    messages: list[str] = []
    request = {
        protocol.TEMPLATE_PATH: str(template or ""),
        protocol.PATENT_PATH: str(patents),
        protocol.SIZE_RATIO: 1,
        protocol.CJK_FONT: protocol.DEFAULT_CJK_FONT,
        protocol.LATIN_FONT: protocol.DEFAULT_LATIN_FONT,
    }
    path = job.handle_request(request, messages.append, now=lambda: datetime(2024, 5, 6), folder=folder)
    parts = {}
    if path is not None:
        with zipfile.ZipFile(path) as package:
            parts = {i.filename: hashlib.sha256(package.read(i)).hexdigest()[:16] for i in package.infolist()}
        path.unlink()
    return {"messages": [str(m).replace(str(folder), "<out>") for m in messages], "parts": parts}


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--compare", nargs=2, type=Path)
    args = parser.parse_args()
    if args.compare:
        before, after = (json.loads(p.read_text()) for p in args.compare)
        changed = 0
        for case in sorted(set(before) | set(after)):
            a, b = before.get(case, {}), after.get(case, {})
            if a != b:
                changed += 1
                print(case)
                for key in ("messages",):
                    if a.get(key) != b.get(key):
                        print("  messages:", a.get(key), "→", b.get(key))
                for part in sorted(set(a.get("parts", {})) | set(b.get("parts", {}))):
                    if a.get("parts", {}).get(part) != b.get("parts", {}).get(part):
                        print("  part changed:", part)
        print(f"{changed} of {len(set(before) | set(after))} cases differ")
        return 0
    templates = corpus()
    results = {}
    with tempfile.TemporaryDirectory() as folder:
        for patents in corpus((".xlsx", ".xlsm", ".xls", ".ods", ".csv", ".txt")):
            for template in [None, *templates]:
                case = f"{patents.relative_to(CORPUS)} × {template.relative_to(CORPUS) if template else '-'}"
                results[case] = run(patents, template, Path(folder))
    json.dump(results, sys.stdout, ensure_ascii=False, indent=1, sort_keys=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
