# Shared by the benchmarks and demonstrations: builds the given targets into
# build-bench/ (Release, without the tests).
bench_dir=build-bench
bench_build() {
  if [ ! -f "$bench_dir/build.ninja" ]; then
    cmake -S . -B "$bench_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
  fi
  cmake --build "$bench_dir" -j2 --target "$@" >/dev/null
}

# best COMMAND ARGS... : runs a copy $runs times; NS is the shortest.
best() {
  local i min=
  for ((i = 0; i < runs; i++)); do
    "$@"
    if [ -z "$min" ] || [ "$NS" -lt "$min" ]; then min=$NS; fi
  done
  NS=$min
}
