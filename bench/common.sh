# Shared by the benchmark scripts (sourced).
#
#   bench_require NAME TARGET FILE...
#       each FILE of the build must be there, else "NAME: FILE is missing; build the
#       target TARGET first" and exit 1
#   bench_snapshot BUILD SNAP CLASSPATH PROGRAM...
#       a run takes minutes and the build tree may be rebuilt meanwhile: copies the
#       PROGRAMs of BUILD/bin, the libraries of BUILD/lib and the jars of CLASSPATH that
#       are in BUILD into SNAP; sets bench_classpath to CLASSPATH with those copies and
#       puts SNAP/lib first in LD_LIBRARY_PATH

bench_require() {
  local name=$1 target=$2 needed
  shift 2
  for needed in "$@"; do
    if [ ! -e "$needed" ]; then
      echo "$name: $needed is missing; build the target $target first" >&2
      exit 1
    fi
  done
}

bench_snapshot() {
  local build=$1 snap=$2 path=$3 program jar
  shift 3
  rm -rf "$snap"
  mkdir -p "$snap/bin" "$snap/lib" "$snap/java"
  for program in "$@"; do cp "$build/bin/$program" "$snap/bin/"; done
  cp "$build"/lib/*.so* "$snap/lib/"
  bench_classpath=""
  local jars
  IFS=: read -r -a jars <<<"$path"
  for jar in "${jars[@]}"; do
    case "$jar" in
      "$build"/*)
        cp "$jar" "$snap/java/"
        jar="$snap/java/$(basename "$jar")"
        ;;
    esac
    bench_classpath="${bench_classpath:+$bench_classpath:}$jar"
  done
  export LD_LIBRARY_PATH="$snap/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
}
