# The ECMA-376 schemas of the tests' referee (sourced, not run; see
# tests/schemas/README.md).
#
#   first_edition_schemas
#
# With no 5th edition at hand (tests/schemas)
# and no LUMIVAR_SCHEMAS, fetches the 1st edition once into build/ecma-376-1st
# from Debian's source package of Apache POI: its ooxml-xsds/*.xsd and
# debian/copyright, nothing else kept. Never fails the run: without apt, a
# deb-src line or the network it says so in one line, and the referee checks
# the packages without schemas.

. scripts/lib/common.sh

ECMA376_FIRST=build/ecma-376-1st
ECMA376_SOURCE=libapache-poi-java

first_edition_schemas() {
  [ -f tests/schemas/strict/sml.xsd ] && return 0
  [ -n "${LUMIVAR_SCHEMAS:-}" ] && return 0
  [ -f "$ECMA376_FIRST/ooxml-xsds/sml-sheet.xsd" ] && return 0
  local why
  if why=$(_fetch_first_edition 2>&1); then
    echo "ECMA-376 schemas: the 1st edition from Debian's $ECMA376_SOURCE in $ECMA376_FIRST (the 5th: tests/schemas/README.md)"
  else
    why=$(printf '%s\n' "$why" | grep -v '^\s*$' | tail -1 || true)
    echo "ECMA-376 schemas: none (${why:-no reason given}); the referee checks packages without them, see tests/schemas/README.md" >&2
  fi
  return 0
}

# Fails, its last line saying why, when the schemas cannot be had; leaves nothing behind then.
_fetch_first_edition() {
  command -v apt-get >/dev/null || { echo "no apt-get"; return 1; }
  local work status=0
  # Called as a condition, so no errexit here: each step checked.
  mkdir -p build && work=$(mktemp -d "$ECMA376_FIRST.XXXXXX") || { echo "cannot write in build/"; return 1; }
  # apt (as root) downloads as its own user, who must be able to write here.
  chmod 755 "$work"
  # A network that does not answer must not hold the test run for long.
  (cd "$work" && timeout 300 apt-get source --download-only -qq -o Acquire::http::Timeout=30 "$ECMA376_SOURCE") ||
    status=$?
  [ "$status" -eq 124 ] && echo "no answer from the archive within 300 s"
  # Only the schema files, the licence and the signed description of the
  # source: the rest of POI's 76 MB is not needed.
  [ "$status" -eq 0 ] && { "$PY" - "$work" <<'PYTHON' || status=$?; }
import pathlib, shutil, sys, tarfile

work = pathlib.Path(sys.argv[1])
out = work / "extracted"
(out / "ooxml-xsds").mkdir(parents=True)
try:
    for kind, keep in (
        ("orig", lambda name: name.split("/")[-2:-1] == ["ooxml-xsds"] and name.endswith(".xsd")),
        ("debian", lambda name: name == "debian/copyright"),
    ):
        (archive,) = work.glob(f"*.{kind}.tar.*")
        with tarfile.open(archive) as tar:
            for member in tar:
                if member.isfile() and keep(member.name):
                    name = member.name.rsplit("/", 1)[-1]
                    (out / ("ooxml-xsds" if kind == "orig" else "") / name).write_bytes(tar.extractfile(member).read())
    for description in work.glob("*.dsc"):
        shutil.copy(description, out)
except (OSError, ValueError, tarfile.TarError) as error:
    sys.exit(f"the source package cannot be read ({error})")
for name in ("sml-sheet.xsd", "sml-workbook.xsd", "opc-contentTypes.xsd", "opc-relationships.xsd", "copyright"):
    if not any(out.glob(f"**/{name}")):
        sys.exit(f"the source package holds no {name}")
PYTHON
  if [ "$status" -eq 0 ]; then
    rm -rf "$ECMA376_FIRST"
    mv "$work/extracted" "$ECMA376_FIRST"
  fi
  rm -rf "$work"
  return "$status"
}
