"""The report job: reads the user's list of publication numbers and writes
the search report. One module per concern:

- `publications` number forms and their standard IDs; `text` text as shown
- `ooxml` the package layer (namespaces, limits, the parser, relationships,
  opening a package); `schema` the parts' element order; `sheetrows` a
  worksheet's rows as a stream
- `reading` finding the list in any workbook
- `layout` what the report shows and how it looks (its columns as records)
- `placement` where the table goes; `sheetxml` and `styles` the XML the
  report writes; `newbook` a new workbook; `template`, `template_parts` and
  `splice` writing into a template; `packager` the zip
- `files` paths and saving; `job` one request, start to marker;
  `__main__` the command line
"""

from .files import ReportError, user_path
from .job import check_request, handle_request, make_report

__all__ = ["ReportError", "check_request", "handle_request", "make_report", "user_path"]
