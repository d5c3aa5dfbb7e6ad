#!/usr/bin/env bash
# Times tallier against a durable copy (cp, then sync of the copy), a plain cp, sed -i and
# perl -pi on the same headers, in alternating runs, and prints the medians, the ratios of
# tallier to each of them and every command's peak resident memory.
#
# Usage: bench/run.sh [--smoke] [path to tallier]
#   --smoke     tiny headers and two runs, to check that the script still works
# Environment:
#   RUNS        timed runs of each command on each header, five times as many on the small
#               one (default 7, 2 with --smoke)
#   CASES       which headers to time, of: first last small line (default: all four)
#   BENCH_DIR   where the headers are made (default: a new directory under $TMPDIR or /tmp);
#               its file system is part of what is measured
set -euo pipefail
export LC_ALL=C

smoke=false
if [ "${1:-}" = --smoke ]; then
  smoke=true
  shift
fi
tallier=${1:-build/tallier}
[ -x "$tallier" ] || { echo "bench: no tallier at $tallier (build it first)" >&2; exit 1; }
tallier=$(cd "$(dirname "$tallier")" && pwd)/$(basename "$tallier")
[ -x /usr/bin/time ] || { echo "bench: /usr/bin/time is missing (apt-get install time)" >&2; exit 1; }

if $smoke; then
  runs=${RUNS:-2}
  big=$((300 * 1000)) line=$((200 * 1000))
else
  runs=${RUNS:-7}
  big=$((100 * 1000 * 1000)) line=$((50 * 1000 * 1000))
fi

if [ -n "${BENCH_DIR:-}" ]; then
  mkdir -p "$BENCH_DIR"
  scratch=$(mktemp -d "$BENCH_DIR/tallier-bench.XXXXXX")
else
  scratch=$(mktemp -d "${TMPDIR:-/tmp}/tallier-bench.XXXXXX")
fi
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"

# --- Headers -------------------------------------------------------------------------------

# Generated tables, as large generated headers hold them: a size #define and 256 rows of
# 16 bytes per table, about 25 KB a table, until the body has at least $1 bytes.
table_body() {
  perl -e '
    my ($want, $n) = (shift, 0);
    for (my $size = 0; $size < $want; $n++) {
      my $block = "#define TABLE_${n}_SIZE 4096\n"
        . "static const unsigned char table_$n\[TABLE_${n}_SIZE] = {\n";
      for my $row (0 .. 255) {
        $block .= " " . join("", map { sprintf " 0x%02x,", ($n * 7 + $row * 16 + $_) & 255 } 0 .. 15) . "\n";
      }
      $block .= "};\n";
      print $block;
      $size += length $block;
    }' "$1"
}

echo "bench: making the headers in $scratch" >&2
counter='#define BuildCount 41'
{ echo "$counter"; table_body "$big"; } >first.h
{ table_body "$big"; echo "$counter"; } >last.h
{
  printf '// Version.h: the build number, advanced on every build.\n'
  printf '#ifndef VERSION_H_\n#define VERSION_H_\n\n'
  printf '#define VersionMajor 3\n#define VersionMinor 14\n%s\n\n' "$counter"
  for i in $(seq 1 100); do printf '#define Feature%02d %d\n' "$i" $((i % 2)); done
  printf '\n#endif  // VERSION_H_\n'
} >small.h
# One long line of hexadecimal values, with no #define anywhere.
perl -e 'my $want = shift; my $row = join("", map { sprintf "0x%02x,", $_ } 0 .. 255);
  print substr($row x (int($want / length $row) + 1), 0, $want - 1), "\n"' "$line" >line.h

# Sizes as the table shows them: MB and KB of 1000 bytes.
size_of() {
  awk -v b="$(wc -c <"$1")" 'BEGIN { if (b >= 1e6) printf "%.0f MB", b / 1e6; else printf "%.0f KB", b / 1e3 }'
}

# Every command must leave the generated headers alone; checked once all runs are done.
cksum first.h last.h small.h line.h >sums

# name|file|what it holds|tallier's exit status
cases=(
  "first|first.h|$(size_of first.h), counter on the first line|0"
  "last|last.h|$(size_of last.h), counter on the last line|0"
  "small|small.h|$(size_of small.h) Version.h|0"
  "line|line.h|$(size_of line.h) single line, no #define|2"
)

if [ -n "${CASES:-}" ]; then
  chosen=()
  for entry in "${cases[@]}"; do
    IFS='|' read -r name _ <<<"$entry"
    case " $CASES " in *" $name "*) chosen+=("$entry") ;; esac
  done
  cases=("${chosen[@]}")
fi

# --- Commands --------------------------------------------------------------------------------

commands=(tallier cp_sync cp sed perl)
declare -A title=([tallier]=tallier [cp_sync]="cp+sync" [cp]=cp [sed]="sed -i" [perl]="perl -pi")
# Every command does the work of one build step on Version.h: tallier and the editors
# rewrite it in place keeping a backup, the copies make a new file beside it.
substitution='s/^#define BuildCount 41$/#define BuildCount 42/'
wrap=()
run_tallier() { ${wrap[@]+"${wrap[@]}"} "$tallier" Version.h >/dev/null; }
run_cp_sync() { ${wrap[@]+"${wrap[@]}"} cp Version.h copy.h && ${wrap[@]+"${wrap[@]}"} sync copy.h; }
run_cp() { ${wrap[@]+"${wrap[@]}"} cp Version.h copy.h; }
run_sed() { ${wrap[@]+"${wrap[@]}"} sed -i.bak "$substitution" Version.h; }
run_perl() { ${wrap[@]+"${wrap[@]}"} perl -pi.bak -e "$substitution" Version.h; }

# Puts the header back as it was, with nothing beside it, and writes everything out, so that
# every run does the same work from the same clean start. A hard link keeps the generated
# header itself out of reach: every command replaces Version.h rather than writing into it.
reset_work() {
  rm -f Version.h Version.bak Version.new copy.h
if ! cksum first.h last.h small.h line.h | cmp -s - sums; then
  echo "bench: a command wrote into a generated header, so runs did not all do the same work" >&2
  exit 1
fi
  ln "$1" Version.h
  sync
}

# Runs one command on a fresh Version.h, under the wrap if any; sets status.
run_fresh() {
  reset_work "$2"
  status=0
  start=$EPOCHREALTIME
  "run_$1" || status=$?
  end=$EPOCHREALTIME
}

# Stops the benchmark when a command failed or did not do its work.
check_run() {
  local command=$1 file=$2 expected=$3
  if [ "$command" = tallier ] && [ "$status" != "$expected" ]; then
    echo "bench: tallier ended with status $status on $file, expected $expected" >&2
    exit 1
  elif [ "$command" != tallier ] && [ "$status" != 0 ]; then
    echo "bench: ${title[$command]} failed on $file" >&2
    exit 1
  fi
  case $command in cp | cp_sync) return ;; esac
  if [ "$expected" = 0 ] && ! grep -qx '#define BuildCount 42' Version.h; then
    echo "bench: ${title[$command]} did not advance the counter in $file" >&2
    exit 1
  fi
}

declare -A times memory
median() {
  tr ' ' '\n' <<<"$1" | grep . | sort -n | awk '{ v[NR] = $1 }
    END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'
}

for entry in "${cases[@]}"; do
  IFS='|' read -r name file _ expected <<<"$entry"
  rounds=$runs
  # A run on the small header takes milliseconds, and a single slow sync on a busy machine
  # moves it by as much: more runs cost little and steady its median.
  [ "$name" = small ] && rounds=$((runs * 5))
  echo "bench: $file, $rounds runs of each command" >&2
  for round in $(seq 0 $((rounds - 1))); do
    # Each round starts with another command, so that none always follows the same one.
    for k in "${!commands[@]}"; do
      command=${commands[$(((k + round) % ${#commands[@]}))]}
      wrap=()
      run_fresh "$command" "$file"
      check_run "$command" "$file" "$expected"
      times[$name,$command]+=" $((${end/./} - ${start/./}))"
      # Memory comes from a run of its own, so that no timed run pays for the wrapper.
      : >"$scratch/rss"
      wrap=(/usr/bin/time -a -o "$scratch/rss" -f %M)
      run_fresh "$command" "$file"
      check_run "$command" "$file" "$expected"
      peak=$(sort -n "$scratch/rss" | tail -1)
      if [ "${memory[$name,$command]:-0}" -lt "$peak" ]; then
        memory[$name,$command]=$peak
      fi
    done
  done
done
rm -f Version.h Version.bak Version.new copy.h
if ! cksum first.h last.h small.h line.h | cmp -s - sums; then
  echo "bench: a command wrote into a generated header, so runs did not all do the same work" >&2
  exit 1
fi

# --- Report ----------------------------------------------------------------------------------

declare -A med
for entry in "${cases[@]}"; do
  IFS='|' read -r name _ <<<"$entry"
  for command in "${commands[@]}"; do
    med[$name,$command]=$(median "${times[$name,$command]}")
  done
done
ratio() { awk -v a="${med[$1,tallier]}" -v b="${med[$1,$2]}" 'BEGIN { printf "%.2f", a / b }'; }
ms() { awk -v us="$1" 'BEGIN { printf "%.1f", us / 1000 }'; }

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')," \
  "$(df --output=fstype "$scratch" | tail -1) in $scratch, Linux $(uname -r)"
echo "medians of $runs alternating runs of each command ($((runs * 5)) on the small header);" \
  "ratios are tallier's median over the other's"
echo
echo "| header | tallier ms | cp+sync ms | cp ms | sed -i ms | perl -pi ms | tallier / cp+sync | tallier / cp | tallier / sed -i | tallier / perl -pi |"
echo "|---|---|---|---|---|---|---|---|---|---|"
for entry in "${cases[@]}"; do
  IFS='|' read -r name _ what _ <<<"$entry"
  row="| $what"
  for command in "${commands[@]}"; do row+=" | $(ms "${med[$name,$command]}")"; done
  for command in "${commands[@]:1}"; do row+=" | $(ratio "$name" "$command")"; done
  echo "$row |"
done
echo
echo "| header | peak RSS KiB: tallier | cp+sync | cp | sed -i | perl -pi |"
echo "|---|---|---|---|---|---|"
for entry in "${cases[@]}"; do
  IFS='|' read -r name _ what _ <<<"$entry"
  row="| $what"
  for command in "${commands[@]}"; do row+=" | ${memory[$name,$command]}"; done
  echo "$row |"
done

# The goals, judged here for the reader only: the exit status never depends on them.
[ -z "${CASES:-}" ] || exit 0
if $smoke; then
  echo
  echo "smoke run: headers too small and runs too few for these figures to mean anything"
  exit 0
fi
verdict() { awk -v v="$1" -v limit="$2" 'BEGIN { print (v <= limit ? "met" : "MISSED") }'; }
big_rss=${memory[first,tallier]}
[ "${memory[last,tallier]}" -gt "$big_rss" ] && big_rss=${memory[last,tallier]}
first_ratio=$(ratio first cp_sync) last_ratio=$(ratio last cp_sync) small_ratio=$(ratio small sed)
big_growth=$((big_rss - memory[small,tallier]))
line_growth=$((memory[line,tallier] - memory[small,tallier]))
echo
echo "| goal | measured | limit | verdict |"
echo "|---|---|---|---|"
echo "| counter on first line: tallier / cp+sync | $first_ratio | 1.25 | $(verdict "$first_ratio" 1.25) |"
echo "| counter on last line: tallier / cp+sync | $last_ratio | 1.5 | $(verdict "$last_ratio" 1.5) |"
echo "| 2 KB header: tallier / sed -i | $small_ratio | 1.0 | $(verdict "$small_ratio" 1.0) |"
echo "| peak RSS, large header minus 2 KB header | $big_growth KiB | 1024 KiB | $(verdict "$big_growth" 1024) |"
echo "| peak RSS, single long line minus 2 KB header | $line_growth KiB | 1024 KiB | $(verdict "$line_growth" 1024) |"
