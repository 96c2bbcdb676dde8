# Shared by scripts/demo and scripts/test: where things are, how to build,
# and a virtual X server for when no display is set.

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
jobs=$(nproc 2>/dev/null || echo 2)

# build NAME [configure options...] [-- build options...]: configure and build
# into build/NAME, quietly unless something fails.
build() {
  local name=$1; shift
  local dir="$top/build/$name" log
  local configure=() extra=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do configure+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  extra=("$@")
  log=$(mktemp)
  echo "== building $name"
  if ! cmake -S "$top" -B "$dir" "${configure[@]}" >"$log" 2>&1 ||
     ! cmake --build "$dir" --parallel "$jobs" "${extra[@]}" >>"$log" 2>&1; then
    cat "$log" >&2
    rm -f "$log"
    echo "build $name failed" >&2
    return 1
  fi
  rm -f "$log"
}

# with_display: when DISPLAY is not set, start an Xvfb of our own and export
# DISPLAY; it is stopped when the calling script exits.
xvfb_pid=
with_display() {
  [ -n "${DISPLAY:-}" ] && return 0
  local fdfile
  fdfile=$(mktemp)
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$fdfile" >/dev/null 2>&1 &
  xvfb_pid=$!
  trap 'kill "$xvfb_pid" 2>/dev/null || true' EXIT
  local i
  for i in $(seq 100); do
    [ -s "$fdfile" ] && break
    sleep 0.1
  done
  if [ ! -s "$fdfile" ]; then
    echo "could not start Xvfb" >&2
    return 1
  fi
  export DISPLAY=":$(tr -d '[:space:]' <"$fdfile")"
  rm -f "$fdfile"
}

# bench_build DIR SUBSYSTEM TARGET...: the benchmarks' one way to build.
# Configures DIR in Release with the benchmarks and without the tests when
# it is not configured yet, adds SUBSYSTEM when an earlier configuration
# left it out, and builds the targets.
bench_build() {
  local dir=$1 subsystem=$2 cache=$1/CMakeCache.txt subsystems type
  shift 2
  if [ ! -f "$cache" ]; then
    cmake -S "$top" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DKIT_TESTS=OFF -DKIT_BENCH=ON >/dev/null
  fi
  subsystems=$(sed -n 's/^KIT_SUBSYSTEMS:[A-Z]*=//p' "$cache")
  if [[ ";$subsystems;" != *";$subsystem;"* ]]; then
    cmake -S "$top" -B "$dir" -DKIT_BENCH=ON "-DKIT_SUBSYSTEMS=$subsystems;$subsystem" >/dev/null
  fi
  type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$cache")
  [ "$type" = Release ] || echo "note: $dir is a $type build, not Release" >&2
  cmake --build "$dir" --parallel "$jobs" --target "$@" >/dev/null
}
