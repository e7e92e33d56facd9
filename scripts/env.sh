# Sourced by the project's scripts: finds CPython 3.13 and prepares the virtual environment
# .venv with the package built and installed from this checkout.
set -euo pipefail

TRELKIN_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VENV="$TRELKIN_ROOT/.venv"

# Prints the path of a CPython 3.13 that has its C headers, or fails with a clear message.
find_python313() {
    local candidates=()
    [ -n "${TRELKIN_PYTHON:-}" ] && candidates+=("$TRELKIN_PYTHON")
    candidates+=(/usr/bin/python3.13 /usr/local/bin/python3.13)
    local pyenv_root
    pyenv_root=$( (command -v pyenv >/dev/null && pyenv root) 2>/dev/null || echo "$HOME/.pyenv")
    for found in "$pyenv_root"/versions/3.13*/bin/python3.13; do
        [ -e "$found" ] && candidates+=("$found")
    done
    local python
    for python in "${candidates[@]}"; do
        [ -x "$python" ] || continue
        if "$python" -c 'import sys, sysconfig, os
assert sys.version_info[:2] == (3, 13)
assert os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))' 2>/dev/null; then
            echo "$python"
            return 0
        fi
    done
    # Debian 13 ships 3.13 as the system Python; its headers come in a separate package.
    if [ -x /usr/bin/python3.13 ] && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
        echo "trelkin: installing the headers and venv support of /usr/bin/python3.13" >&2
        apt-get update -qq >&2 && apt-get install -y -qq python3.13-dev python3.13-venv >&2
        echo /usr/bin/python3.13
        return 0
    fi
    echo "trelkin: no CPython 3.13 with its headers found (looked at \$TRELKIN_PYTHON," \
         "/usr/bin/python3.13, /usr/local/bin/python3.13 and pyenv's versions/3.13*)." \
         "Install CPython 3.13 with its development headers, or set TRELKIN_PYTHON." >&2
    return 1
}

# Creates .venv (once) with the build and test tools, then builds the package into it as an
# editable install: the Python code runs from python/, and the core is rebuilt only when its
# sources changed since the last build (a stamp in .venv records their digest).
prepare_venv() {
    if [ ! -x "$VENV/bin/python" ] || ! "$VENV/bin/python" -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null; then
        local python
        python=$(find_python313)
        echo "trelkin: creating .venv with $python" >&2
        rm -rf "$VENV"
        "$python" -m venv "$VENV"
    fi
    local tools=("scikit-build-core>=0.10" ninja cmake "pytest>=8" "hypothesis>=6" attrs pytest-xdist)
    local tools_stamp="$VENV/.trelkin-tools"
    export TRELKIN_ORACLE_SITE="$VENV/oracle-site"
    if [ "$(cat "$tools_stamp" 2>/dev/null)" != "${tools[*]}" ]; then
        echo "trelkin: installing the build and test tools into .venv (${tools[*]})" >&2
        "$VENV/bin/python" -m pip install -q --disable-pip-version-check "${tools[@]}" 2>&1 \
            | grep -v '^WARNING: Location' >&2 || true
        # pytest-reportlog apart from .venv (it would change pytest's plugin list there): the
        # report-log tests compare trelkin's log with its.
        "$VENV/bin/python" -m pip install -q --disable-pip-version-check --no-deps \
            --target "$VENV/oracle-site" pytest-reportlog 2>&1 | grep -v '^WARNING: Location' >&2 || true
        echo "${tools[*]}" > "$tools_stamp"
    fi
    local digest build_stamp="$VENV/.trelkin-build"
    digest=$(cd "$TRELKIN_ROOT" && cat CMakeLists.txt pyproject.toml src/* | sha256sum | cut -c1-16)
    if [ "$(cat "$build_stamp" 2>/dev/null)" != "$digest" ] \
        || ! "$VENV/bin/python" -c 'import trelkin._core' 2>/dev/null; then
        echo "trelkin: building the core (C++, about a minute the first time)" >&2
        "$VENV/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation \
            -e "$TRELKIN_ROOT" 2>&1 | grep -v '^WARNING: Location' >&2 || true
        "$VENV/bin/python" -c 'import trelkin._core' || {
            echo "trelkin: building or installing the package failed" >&2
            return 1
        }
        echo "$digest" > "$build_stamp"
    fi
}
