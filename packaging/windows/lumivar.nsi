; The installer: pynsist's own, as a 64-bit Unicode installer that installs
; for the current user without asking for administrator rights.
[% extends "pyapp.nsi" %]

[% block modernui %]
Target amd64-unicode
RequestExecutionLevel user
[[ super() ]]
[% endblock modernui %]

[% block uninstall_files %]
[[ super() ]]
  ; The launcher's log (the user's working folder and reports stay).
  Delete "$APPDATA\Lumivar\lumivar.log"
  RMDir "$APPDATA\Lumivar"
[% endblock uninstall_files %]
