# Helpers shared by the scripts (sourced, not run).

# The Python to use: $PY if set, else $PYTHON, else python3.11, else python3.
PY=${PY:-${PYTHON:-python3.11}}
command -v "$PY" >/dev/null || PY=python3

die() { echo "$*" >&2; exit 1; }

# need_commands "Debian packages" command...
need_commands() {
  local packages=$1 missing=()
  shift
  for c in "$@"; do command -v "$c" >/dev/null || missing+=("$c"); done
  [ ${#missing[@]} -eq 0 ] && return 0
  die "missing: ${missing[*]}
install them with:  apt-get install $packages"
}

# pyproject SECTION KEY: a value of pyproject.toml, a list one item a line.
pyproject() {
  "$PY" -c 'import sys, tomllib
value = tomllib.load(open("pyproject.toml", "rb"))[sys.argv[1]][sys.argv[2]]
print("\n".join(value) if isinstance(value, list) else value)' "$1" "$2"
}
