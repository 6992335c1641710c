#!/usr/bin/env bash
# The demo builds only what it runs: from a fresh clone it compiled every
# test and benchmark before the login came up, most of the build. Runs
# scripts/demo with a stand-in cmake that records the build
# command and stops it there, then checks that no test or benchmark is an
# input of the two targets it names.
# Usage: demo_build_check.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source_dir="$1"
build_dir="$2"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

mkdir "$work/bin"
cat >"$work/bin/cmake" <<'STUB'
#!/usr/bin/env bash
# Configures nothing; records a build and fails it, which ends the demo.
if [ "${1:-}" = --build ]; then
    printf '%s\n' "$@" >"$DEMO_BUILD_RECORD"
    exit 3
fi
exit 0
STUB
chmod +x "$work/bin/cmake"

# The demo stops at its build, before its server or its folder; the timeout
# guards against a demo that no longer calls cmake by name.
DEMO_BUILD_RECORD="$work/build-command" BUILD_DIR="$work/build" PATH="$work/bin:$PATH" \
    QT_QPA_PLATFORM=offscreen timeout 120 bash "$source_dir/scripts/demo" </dev/null >"$work/demo.log" 2>&1 || true
if [ ! -f "$work/build-command" ]; then
    if grep -q "missing packages" "$work/demo.log"; then
        echo "skipped: the demo needs packages this machine lacks:"
        cat "$work/demo.log"
        exit 77
    fi
    cat "$work/demo.log"
    echo "FAIL: the demo never asked cmake to build"
    exit 1
fi
targets="$(sed -n '/^--target$/,$p' "$work/build-command" | tail -n +2 | sort | tr '\n' ' ')"
if [ "$targets" != "tavelo-client tavelo-sync " ]; then
    echo "FAIL: the demo builds with: $(tr '\n' ' ' <"$work/build-command")"
    echo "      it should name exactly the targets tavelo-client and tavelo-sync"
    exit 1
fi

if [ -f "$build_dir/build.ninja" ]; then
    dragged="$(ninja -C "$build_dir" -t inputs tavelo-client tavelo-sync | grep -E '(^|/)(tests|bench)/' || true)"
    if [ -n "$dragged" ]; then
        echo "FAIL: building the demo's targets builds test or benchmark code too:"
        echo "$dragged"
        exit 1
    fi
fi
echo "PASS: the demo builds only tavelo-client and tavelo-sync"
