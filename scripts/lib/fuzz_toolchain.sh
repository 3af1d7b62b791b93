# Sourced by the fuzz scripts: picks a clang that can build this C++23 code
# and sets `cxx`, `flags` (libFuzzer + ASan + UBSan) and `libs`. Needs `root`
# (the source tree), `work` (a scratch directory) and `script` (the caller's
# name, for messages).
cxx=""
for candidate in clang++-16 clang++-15 clang++; do
  if command -v "$candidate" >/dev/null; then cxx=$candidate; break; fi
done
[ -n "$cxx" ] || { echo "$script: no clang++ found" >&2; exit 1; }

flags=(-std=c++2b -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
       -fno-omit-frame-pointer -I"$root/src")
# clang 14 implements what libstdc++'s <expected> uses for trivial types
# but does not advertise C++20 concepts in full, so the header would hide
# itself; a Result holding a string (a parsed response) needs clang 16.
printf '#include <expected>\n#include <string>\nstd::expected<std::string, int> e;\n' > "$work/probe.cpp"
if ! "$cxx" -std=c++2b -fsyntax-only "$work/probe.cpp" 2>/dev/null; then
  flags+=(-D__cpp_concepts=202002L -Wno-macro-redefined)
  if ! "$cxx" "${flags[@]}" -fsyntax-only "$work/probe.cpp" 2>/dev/null; then
    echo "$script: $cxx cannot compile std::expected of a class type; install clang-16 and libclang-rt-16-dev" >&2
    exit 1
  fi
fi
# zlib and zstd: the formats module decodes gzip payloads and casync chunks.
libs=(-lz -lzstd)
if [ -e /usr/include/isa-l/igzip_lib.h ]; then
  flags+=(-DQUILLSTEAD_HAVE_ISAL=1)
  libs+=(-lisal)
fi
