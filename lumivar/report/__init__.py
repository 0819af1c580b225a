"""The report job: reads the user's list of publication numbers and writes
the search report. One module per concern: `numbers` (number forms and their
standard IDs), `reading` (finding the list in any workbook), `layout` (what
the report shows), `xlsx` and `template` (writing it), `files` (paths and
saving), `job` (one request, start to marker) and `__main__` (the command
line)."""
from .files import ReportError, user_path
from .job import check_request, handle_request, make_report

__all__ = ["ReportError", "check_request", "handle_request", "make_report", "user_path"]
