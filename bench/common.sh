# Shared by the benchmarks and demonstrations: builds the given targets into
# build-bench/ (Release, without the tests).
bench_dir=build-bench
bench_build() {
  if [ ! -f "$bench_dir/build.ninja" ]; then
    cmake -S . -B "$bench_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
  fi
  cmake --build "$bench_dir" -j2 --target "$@" >/dev/null
}
