# Shared by the bench scripts: sourced after they set `root` (the source
# tree). `bench_qel TARGET` leaves QEL as it is when the caller named a
# binary; otherwise it builds TARGET (qel or qel-run) in a release build in
# build/bench and points QEL at it.
bench_qel() {
  if [[ -z "${QEL:-}" ]]; then
    local build="$root/build/bench"
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQEL_TESTS=OFF >/dev/null
    ninja -C "$build" "$1" >/dev/null
    QEL="$build/$1"
  fi
}
