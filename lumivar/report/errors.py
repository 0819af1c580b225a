"""The report's errors, shared by every layer: the package layer below and
saving above both raise them, so neither imports the other."""

from __future__ import annotations

from ..messages import reason

__all__ = ["ReportError", "reason"]


class ReportError(Exception):
    """A problem the user can fix; its text is shown in the window as is."""
