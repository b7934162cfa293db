#!/usr/bin/env bash
# Builds and runs every benchmark and prints its figures, with the machine and its load (the
# figures of BENCHMARKS.md come from here). Not a test: nothing here passes or fails on a time.
#   bench/bench.sh [REPETITIONS]          each figure is taken REPETITIONS times (default 5),
#                                         and reported as min and median
# VELLUMO_BENCH_DIR sets the build root (default build/bench, with native/, windows/ and
# windows64/ in it).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
reps=${1:-5}
out=${VELLUMO_BENCH_DIR:-$root/build/bench}
native=$out/native
windows=$out/windows
windows64=$out/windows64
results=$out/results
mkdir -p "$results"

machine() {
  echo "machine: $(nproc) cores, $(lscpu | sed -n 's/^Model name: *//p'), memory $(free -h | awk '/^Mem:/ {print $2 " total, " $7 " available"}')"
  echo "load: $(cut -d' ' -f1-3 /proc/loadavg)"
}

# Google Benchmark's JSON, summed up: CPU time per repetition, min and median.
summarise() {
  python3 - "$@" <<'EOF'
import json, statistics, sys

def load(path):
    runs = {}
    for b in json.load(open(path))["benchmarks"]:
        if b.get("run_type") != "iteration":
            continue
        runs.setdefault(b["run_name"], []).append(b)
    return runs

def mb_per_s(b):  # decimal megabytes per second of CPU time
    return b["bytes_per_second"] / 1e6 if "bytes_per_second" in b else 0.0

def line(name, runs):
    cpu = [b["cpu_time"] for b in runs]
    mbs = [mb_per_s(b) for b in runs]
    return (f"  {name:32} cpu min {min(cpu)/1e3:9.2f} us  median {statistics.median(cpu)/1e3:9.2f} us"
            f"   {max(mbs):8.1f} / {statistics.median(mbs):8.1f} MB/s (best/median)")

kind, path = sys.argv[1], sys.argv[2]
runs = load(path)
for name, r in runs.items():
    print(line(name, r))
med = {n: statistics.median(b["cpu_time"] for b in r) for n, r in runs.items()}
low = {n: min(b["cpu_time"] for b in r) for n, r in runs.items()}
if kind in ("format", "diff"):
    prefix = "BM_Diff" if kind == "diff" else "BM_"
    small, full = prefix + "Ordinary20K", prefix + "OrdinaryFull"
    per_byte = {n: statistics.median(mb_per_s(b) for b in r) for n, r in runs.items()}
    worst = sorted((n for n in per_byte if n not in (small, full)), key=per_byte.get)
    print(f"  worst shape: {worst[0]}, {per_byte[worst[0]]:.1f} MB/s (median); ordinary full-size "
          f"is {per_byte[full] / per_byte[worst[0]]:.2f}x faster per byte, ordinary "
          f"20 KB {per_byte[small] / per_byte[worst[0]]:.2f}x (goal: within 2x)")
    for n in worst[1:5]:
        print(f"  next: {n}, {per_byte[n]:.1f} MB/s, {per_byte[full] / per_byte[n]:.2f}x")
else:
    for base in ["BM_CopyWhole", "BM_CopyAsSessionReads"]:
        for n in med:
            if n.startswith("BM_Session") or n.startswith("BM_Simulated"):
                print(f"  {n:32} / {base:22} = {low[n]/low[base]:5.2f}x (min)  "
                      f"{med[n]/med[base]:5.2f}x (median)")
EOF
}

native_benchmarks() {
  cmake --preset native -B "$native" >/dev/null
  cmake --build "$native" --target format-benchmark diff-benchmark session-benchmark \
    usb-reading-benchmark >/dev/null
  # Interleaved: a slow spell of the shared machine then hits one repetition of many figures,
  # not every repetition of one.
  local flags=(--benchmark_repetitions="$reps" --benchmark_min_time=0.2 --benchmark_format=json
               --benchmark_enable_random_interleaving=true)
  echo "== formatter (format-benchmark)"; machine
  "$native/bench/format-benchmark" "${flags[@]}" >"$results/format.json" 2>/dev/null
  summarise format "$results/format.json"
  echo "== diff of two raw reports, whole command in-process (diff-benchmark)"; machine
  "$native/bench/diff-benchmark" "${flags[@]}" >"$results/diff.json" 2>/dev/null
  summarise diff "$results/diff.json"
  echo "== session over the simulated printer, 100 chunks of 1000 bytes (session-benchmark)"; machine
  "$native/bench/session-benchmark" "${flags[@]}" >"$results/session.json" 2>/dev/null
  summarise session "$results/session.json"
  echo "== 100 KB reading over the libusb link from an emulated printer (usb-reading-benchmark)"
  machine
  umockdev-wrapper "$native/bench/usb-reading-benchmark" $((reps * 4)) | tee "$results/usb.txt"
}

# Prints min and median of the numbers on standard input.
min_median() {
  sort -n | awk '{v[NR] = $1} END {m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2;
                                    printf "min %.1f  median %.1f  (n=%d)", v[1], m, NR}'
}

field() { sed -n "s/.*$1 \([-0-9.]*\).*/\1/p"; }

start_figures() {
  local wine=$1 program=$2 runs=$3
  "$wine" "$windows/bench/start-benchmark.exe" "$program" "$runs" >"$results/start.txt"
  echo "  start to window shown, ms:   $(field start_to_window_ms <"$results/start.txt" | min_median)"
  echo "  peak working set, KiB:       $(field peak_working_set_kib <"$results/start.txt" | min_median)"
}

windows_benchmarks() {
  # The 32-bit product where this machine runs 32-bit Windows programs, else the 64-bit copy.
  local preset=windows exe_name=VellumoPrinterInfo.exe objdump=i686-w64-mingw32-objdump
  cmake --preset windows -B "$windows" -DVELLUMO_BUILD_BENCHMARKS=ON >/dev/null
  cmake --build "$windows" --target wine-probe >/dev/null
  if ! "$windows/wine-run.sh" --can-run 2>/dev/null; then
    echo "== 32-bit Windows programs do not run here: the 64-bit build is measured"
    windows=$windows64 preset=windows64 exe_name=VellumoPrinterInfo64.exe
    objdump=x86_64-w64-mingw32-objdump
  fi
  cmake --preset "$preset" -B "$windows" -DVELLUMO_BUILD_BENCHMARKS=ON >/dev/null
  cmake --build "$windows" --target retrieval-benchmark start-benchmark release >/dev/null
  local wine=$windows/wine-run.sh exe=$windows/release/$exe_name
  local program="Z:${exe//\//\\}"
  "$wine" --start && "$wine" --stop  # makes the prefix first, so that cold starts do not

  echo "== release executable"
  echo "  $(stat -c %s "$exe") bytes: $exe"
  "$objdump" -p "$exe" | sed -n 's/.*DLL Name: /  imports /p'

  echo "== cold start (no wineserver running before), through wine-run.sh"; machine
  : >"$results/cold.txt"
  for _ in $(seq "$reps"); do
    "$wine" --stop; sleep 1
    local t0; t0=$(date +%s%3N)
    "$wine" "$windows/bench/start-benchmark.exe" "$program" 1 | sed "s/^/t0_unix_ms $t0 /" >>"$results/cold.txt"
  done
  # Lines: t0_unix_ms T launched_unix_ms L shown_unix_ms S start_to_window_ms ...
  echo "  launch to window shown, ms:  $(awk '{print $6 - $2}' "$results/cold.txt" | min_median)"
  echo "  of which Wine and the helper starting, ms: $(awk '{print $4 - $2}' "$results/cold.txt" | min_median)"
  echo "  program start to window, ms: $(field start_to_window_ms <"$results/cold.txt" | min_median)"

  "$wine" --start
  echo "== warm start (wineserver running)"; machine
  start_figures "$wine" "$program" $((reps * 2))
  echo "  for comparison, Wine's own notepad:"
  start_figures "$wine" 'C:\windows\system32\notepad.exe' $((reps * 2))
  echo "== peak resident set of the wine process running the program (/usr/bin/time -v)"
  "$wine" "$windows/bench/start-benchmark.exe" --close >"$results/close.txt" &
  local closer=$!
  /usr/bin/time -v "$wine" "$program" 2>"$results/time.txt" || true
  wait "$closer" || true
  echo "  max RSS $(sed -n 's/.*Maximum resident set size (kbytes): //p' "$results/time.txt") KiB;" \
       "peak working set seen by Windows $(field peak_working_set_kib <"$results/close.txt") KiB"

  echo "== whole retrieval over named pipes (retrieval-benchmark)"; machine
  "$wine" "$windows/bench/retrieval-benchmark.exe" $((reps * 2)) 0 1 5 20
  "$wine" --stop
}

native_benchmarks
windows_benchmarks
