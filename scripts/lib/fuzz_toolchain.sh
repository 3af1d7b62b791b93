# Sourced by the fuzz scripts: picks a clang that can build this C++23 code
# and defines `fuzz_build TARGET...`, which configures a clang build of the
# project in `out` with QUILLSTEAD_FUZZ (libFuzzer + ASan + UBSan over every
# module) and builds the named fuzz targets into `out`. Needs `root` (the
# source tree), `work` (a scratch directory), `out` and `script` (the
# caller's name, for messages).
cxx=""
for candidate in clang++-16 clang++-15 clang++; do
  if command -v "$candidate" >/dev/null; then cxx=$candidate; break; fi
done
[ -n "$cxx" ] || { echo "$script: no clang++ found" >&2; exit 1; }
cc=${cxx/clang++/clang}
command -v "$cc" >/dev/null || { echo "$script: no $cc beside $cxx" >&2; exit 1; }

extra=""
# clang 14 implements what libstdc++'s <expected> uses for trivial types
# but does not advertise C++20 concepts in full, so the header would hide
# itself; a Result holding a string (a parsed response) needs clang 16.
printf '#include <expected>\n#include <string>\nstd::expected<std::string, int> e;\n' > "$work/probe.cpp"
if ! "$cxx" -std=c++2b -fsyntax-only "$work/probe.cpp" 2>/dev/null; then
  extra="-D__cpp_concepts=202002L -Wno-macro-redefined"
  if ! "$cxx" -std=c++2b $extra -fsyntax-only "$work/probe.cpp" 2>/dev/null; then
    echo "$script: $cxx cannot compile std::expected of a class type; install clang-16 and libclang-rt-16-dev" >&2
    exit 1
  fi
fi

fuzz_build() {
  echo "== building $* with $cxx"
  local launcher=()
  if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  fi
  cmake -S "$root" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Fuzz \
    -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_C_COMPILER="$cc" "${launcher[@]}" \
    -DCMAKE_CXX_FLAGS_FUZZ="-O1 -g $extra" -DCMAKE_C_FLAGS_FUZZ="-O1 -g" \
    -DCMAKE_RUNTIME_OUTPUT_DIRECTORY="$out" \
    -DQUILLSTEAD_FUZZ=ON -DQUILLSTEAD_TESTS=OFF -DQUILLSTEAD_BENCH=OFF >"$work/configure.log" 2>&1 || {
    cat "$work/configure.log" >&2
    echo "$script: configuring the fuzz build failed" >&2
    exit 1
  }
  cmake --build "$out" -j2 --target "$@"
}
