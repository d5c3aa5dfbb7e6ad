# Reads the version resource of Windows programs with python3-pefile.
# Usage: bash resource_test.sh tallier <tallier.exe> <the version in project()>
#          Tallier's own resource names that version, and it carries tool/tallier.manifest.
#        bash resource_test.sh example <Tallier's build directory> <Tallier's sources>
#          Installs Tallier to a scratch prefix and cross-builds a copy of examples/ for 64-bit
#          Windows with MinGW-w64, with Ninja and with Makefiles, three times each: each
#          program's version resource holds the number that its build printed, and a counter
#          too large for a resource stops the build.
# Exits with 77, counted as skipped, when python3-pefile, MinGW-w64, ninja or make is missing.
. "$(dirname "$0")/lib.sh"
# A python3 of its own (pyenv, a venv) may lack the system's pefile.
python=$(for python in python3 /usr/bin/python3; do "$python" -c 'import pefile' 2>/dev/null && echo "$python" && break; done)
[ -n "$python" ] || { echo "SKIP: python3-pefile not found"; exit 77; }

# resource <program> [manifest]: its file and product versions, then its strings (name=value)
# from the table that its translation names, as Windows' VerQueryValue finds them, and whether
# it carries the manifest given, byte for byte, all joined by '|'.
resource() {
  "$python" - "$@" <<'EOF' | paste -sd '|'
import pefile, sys
pe = pefile.PE(sys.argv[1])
f = pe.VS_FIXEDFILEINFO[0]
for ms, ls in [(f.FileVersionMS, f.FileVersionLS), (f.ProductVersionMS, f.ProductVersionLS)]:
    print("%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF))
info = pe.FileInfo[0]
language, codepage = [var.entry[b"Translation"].split() for i in info for var in getattr(i, "Var", [])][0]
print(*[name.decode() + "=" + value.decode() for i in info for table in getattr(i, "StringTable", [])
        if int(table.LangID, 16) == int(language, 16) << 16 | int(codepage, 16)
        for name, value in table.entries.items()], sep="\n")
if len(sys.argv) > 2:
    found = [pe.get_data(entry.data.struct.OffsetToData, entry.data.struct.Size)
             for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries if kind.id == 24
             for name in kind.directory.entries for entry in name.directory.entries]
    print("manifest=" + ("tallier.manifest" if found == [open(sys.argv[2], "rb").read()] else "%d others" % len(found)))
EOF
}

if [ "$1" = tallier ]; then
  check "$2" "$(resource "$2" "$(dirname "$0")/../../tool/tallier.manifest")" "$3.0|$3.0|FileDescription=Tallier, the build counter|FileVersion=$3|LegalCopyright=MIT License, the Tallier developers|OriginalFilename=tallier.exe|ProductName=Tallier|ProductVersion=$3|manifest=tallier.manifest"
  exit $((FAILED > 0))
fi

require x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-windres ninja make
cmake --install "$2" --prefix "$SCRATCH/prefix" >/dev/null && SOURCES=$(cd "$3" && pwd) || exit 1
for generator in Ninja "Unix Makefiles"; do
  src=$SCRATCH/$generator build=$SCRATCH/$generator/build
  cp -r "$SOURCES/examples" "$src"
  out=$(cmake -S "$src" -B "$build" -G "$generator" -DCMAKE_TOOLCHAIN_FILE="$SOURCES/cmake/mingw-x86_64.cmake" \
    -DTallier_DIR="$SCRATCH/prefix/lib/cmake/Tallier" 2>&1) || { fail "$generator: configure: $out"; continue; }
  for step in 1 2 3; do
    out=$(cmake --build "$build" 2>&1) || fail "$generator: build $step: $out"
    check "$generator: build $step printed; the resource holds" "$(sed -n 's/.*Upcount: BuildCount = //p' <<<"$out"); $(
      resource "$build/example.exe")" "$step; 1.0.0.$step|1.0.0.$step|FileDescription=Tallier's example|FileVersion=1.0.0.$step|ProductName=Tallier example|ProductVersion=1.0.0.$step"
  done
  printf '#define BuildCount 65535\n' >"$src/counter/Version.h"
  out=$(cmake --build "$build" 2>&1) && fail "$generator: a program built with BuildCount 65536"
  grep -q '#error "BuildCount in counter/Version.h is outside 0 to 65535' <<<"$out" || fail "$generator: no #error: $out"
done
finish "Windows version resources"
