"""The report package's layers: an import goes down, never up.

The package layer (opening and parsing a workbook, the parts' order, rows as
a stream, the zip, the errors and texts everything shares) must stand alone,
so the readers and writers above it can change without touching it; reading
a list must not depend on writing a report. Checked from each module's
source with ast, so an upward import fails here before anything is imported,
also one made only for type hints or inside a function.
"""

from __future__ import annotations

import ast
from collections import deque
from pathlib import Path

REPORT = Path(__file__).resolve().parent.parent / "lumivar" / "report"
PACKAGE_NAME = "lumivar.report"

PACKAGE = frozenset({"ooxml", "schema", "sheetrows", "packager", "errors", "text"})
READING = frozenset({"reading", "textlists", "spread"})
WRITING = frozenset(
    {"newbook", "template", "template_parts", "splice", "sheetxml", "styles", "detailsheet", "pictures"}
)
# The host runs the report in its worker; the report never reaches back into either.
HOST = frozenset({"lumivar.host", "lumivar.worker", "lumivar.trial", "lumivar.__main__"})


def imports(path: Path) -> list[tuple[int, str]]:
    """Each import of the report module at `path` as (line, dotted name):
    relative imports resolved, and "from X import y" as X.y, since y may be
    a module."""
    found = []
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"), str(path))):
        if isinstance(node, ast.Import):
            found += [(node.lineno, alias.name) for alias in node.names]
        elif isinstance(node, ast.ImportFrom):
            if node.level:
                base = PACKAGE_NAME.split(".")[: PACKAGE_NAME.count(".") + 2 - node.level]
                target = ".".join(base + ([node.module] if node.module else []))
            else:
                target = node.module or ""
            found += [(node.lineno, f"{target}.{alias.name}") for alias in node.names]
    return found


def report_module(name: str, modules: set[str]) -> str | None:
    """The report module a dotted name lies in, None outside the report
    package; a name of the package itself runs its __init__."""
    if name == PACKAGE_NAME:
        return "__init__"
    if not name.startswith(PACKAGE_NAME + "."):
        return None
    first = name[len(PACKAGE_NAME) + 1 :].split(".")[0]
    return first if first in modules else "__init__"


def graph(root: Path = REPORT) -> dict[str, list[tuple[int, str | None, str]]]:
    """Each report module's imports as (line, the report module imported or
    None, the dotted name)."""
    modules = {path.stem for path in root.glob("*.py")}
    return {
        path.stem: [(line, report_module(name, modules), name) for line, name in imports(path)]
        for path in sorted(root.glob("*.py"))
    }


def test_every_module_a_layer_names_is_there():
    # A module renamed or moved would leave its layer's rule checking nothing.
    assert sorted((PACKAGE | READING | WRITING) - graph().keys()) == []


def test_the_package_layer_imports_only_itself():
    upward = [
        f"{module}.py:{line} imports {name}"
        for module, found in graph().items()
        if module in PACKAGE
        for line, target, name in found
        if target is not None and target not in PACKAGE
    ]
    assert upward == []


def test_reading_reaches_nothing_of_writing():
    imported = graph()
    reached = []
    for start in sorted(READING & imported.keys()):
        # Breadth first, keeping how each module was reached, to name the chain.
        how = {start: [start]}
        waiting = deque([start])
        while waiting:
            module = waiting.popleft()
            for _, target, _ in imported.get(module, ()):
                if target is None or target in how:
                    continue
                how[target] = [*how[module], target]
                if target in WRITING:
                    reached.append(" → ".join(how[target]))
                else:
                    waiting.append(target)
    assert reached == []


def test_the_report_never_imports_the_host():
    back = [
        f"{module}.py:{line} imports {name}"
        for module, found in graph().items()
        for line, _, name in found
        if any(name == host or name.startswith(host + ".") for host in HOST)
    ]
    assert back == []
