# Builds and installs the product into a virtual environment (sourced, not run).
#
#   install_product VENV [pip arguments...]
#
# Nothing is rebuilt when the sources and the arguments are as at the last
# install. Otherwise pip builds in place (no isolated build environment), so
# CMake finds its build tree as it left it and compiles only what changed,
# showing the compiler's progress.

. scripts/lib/common.sh

source_stamp() {
  {
    printf '%s\n' "$@"
    find model common_ui lumivar 格式範本 cmake CMakeLists.txt pyproject.toml -type f \
      ! -name '*.pyc' -print0 | sort -z | xargs -0 sha256sum
  } | sha256sum | cut -d' ' -f1
}

install_product() {
  local venv=$1
  shift
  local python="$venv/bin/python" stamp_file="$venv/.lumivar-installed" stamp log status
  stamp=$(source_stamp "$@")
  if [ -x "$python" ] && [ -f "$stamp_file" ] && [ "$(cat "$stamp_file")" = "$stamp" ]; then
    return 0
  fi
  if [ ! -x "$python" ]; then
    "$PY" -m venv "$venv"
    "$python" -m pip install --quiet --upgrade pip
  fi
  # The build backend and its tools live in the environment itself.
  mapfile -t requires < <(pyproject build-system requires)
  "$python" -m pip install --quiet "${requires[@]}" cmake ninja
  echo "building Lumivar (only what changed)..."
  log=$(mktemp)
  # The compiler's progress and warnings as they come; the whole log on failure.
  # pip's own status, kept aside: the filters after it may end without a match.
  { "$python" -m pip install -v --no-build-isolation "$@" 2>&1; echo $? >"$log.status"; } | tee "$log" |
    grep --line-buffered -E '^\s*\[[0-9]+/[0-9]+\]|warning:' | sed -u 's/^ */  /' || true
  status=$(cat "$log.status")
  rm -f "$log.status"
  if [ "$status" -ne 0 ]; then
    cat "$log" >&2
    rm -f "$log"
    return "$status"
  fi
  rm -f "$log"
  echo "$stamp" >"$stamp_file"
}
