# Sourced by the other scripts: installs what a fresh Debian 12 lacks.
# need_packages PKG... installs the missing ones (apt-get update first); where
# it cannot, it returns non-zero with the reason in NEED_WHY.

missing_packages() {
    local pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}\n' "$pkg" 2>/dev/null | grep -q '^install ok installed$' ||
            echo "$pkg"
    done
}

need_packages() {
    local missing
    missing=$(missing_packages "$@")
    [ -z "$missing" ] && return 0
    if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null; then
        NEED_WHY="$(echo $missing) missing, and installing needs root and apt-get"
        return 1
    fi
    echo "installing: $(echo $missing)"
    case " $(echo $missing) " in
        *" wine32 "*) dpkg --add-architecture i386 ;;
    esac
    NEED_WHY="apt-get could not install $(echo $missing)"
    apt-get update -q >/dev/null &&
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q $missing >/dev/null
}

NATIVE_PACKAGES="g++ cmake ninja-build googletest libgtest-dev libgmock-dev libbenchmark-dev python3 binutils strace groff-base dpkg-dev lintian"
WIN32_PACKAGES="g++-mingw-w64-i686 wine wine32 bsdutils"
WIN64_PACKAGES="g++-mingw-w64-x86-64 wine64"

# wine's 32-bit side where the kernel runs no 32-bit code (no IA-32
# emulation): qemu's user-mode i386 emulator, started for every i386 ELF by a
# binfmt_misc entry. Debian 12's qemu-user 7.2 cannot start wine (it ignores
# MAP_FIXED_NOREPLACE), so it comes from bookworm-backports, 9.1 or later. The
# entry is global to the kernel and gone at reboot: each run checks it.
QEMU_VERSION_NEEDED=1:9.1~
QEMU_I386=/usr/libexec/qemu-binfmt/i386-binfmt-P
BINFMT=/proc/sys/fs/binfmt_misc
# i386 ELF executables and shared objects (e_type 2 or 3, e_machine 3).
I386_MAGIC='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
I386_MASK='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

win32_runs() { wine --version >/dev/null 2>&1; }

codename() { (. /etc/os-release && echo "$VERSION_CODENAME"); }

# An apt entry derived from this machine's own Debian entry (the same URIs and
# keyring), of TYPE (deb or deb-src) for SUITE, written to FILE (.sources) once.
add_derived_source() {
    local type=$1 suite=$2 list=$3 codename
    codename=$(codename)
    [ -n "$codename" ] || return 1
    grep -qs "^Types: $type\$" $list && grep -qs "^Suites: $suite\$" $list && return 0
    awk -v suite="$codename" -v type="$type" -v wanted="$suite" '
        /^$/ { if (found && uris) exit; uris = keys = ""; found = 0; next }
        /^URIs:/ { uris = $0 }
        /^Signed-By:/ { keys = $0 }
        /^Suites:/ { for (i = 2; i <= NF; ++i) if ($i == suite) found = 1 }
        END { if (!(found && uris)) exit 1
              print "Types: " type; print uris; print "Suites: " wanted
              print "Components: main"; if (keys) print keys }
    ' /etc/apt/sources.list.d/*.sources >$list.new 2>/dev/null ||
        awk -v suite="$codename" -v type="$type" -v wanted="$suite" '
            $1 == "deb" { for (i = 2; i <= NF; ++i) if ($i == suite) { line = $0; exit } }
            END { if (!line) exit 1; sub(" " suite " ", " " wanted " ", line); sub("^deb ", type " ", line)
                  print line }
        ' /etc/apt/sources.list >${list%.sources}.list.new 2>/dev/null || return 1
    [ -s $list.new ] && mv $list.new $list
    [ -s ${list%.sources}.list.new ] && mv ${list%.sources}.list.new ${list%.sources}.list
    rm -f $list.new ${list%.sources}.list.new
}

# The backports suite, for qemu-user.
add_backports() {
    add_derived_source deb "$(codename)-backports" /etc/apt/sources.list.d/div100-backports.sources
}

# The source packages of the machine's own suite, for Google Benchmark's.
add_deb_src() {
    add_derived_source deb-src "$(codename)" /etc/apt/sources.list.d/div100-deb-src.sources
}

# Google Benchmark's Debian source package, of the version Debian 12's
# libbenchmark-dev is built from, for the static library the programs link:
# fetched once into build/benchmark-source, where CMake looks for it (a
# configure fetches and installs nothing). As root, a deb-src entry derived
# from the machine's own is added where there is none. Returns non-zero with
# the reason in NEED_WHY where it cannot be had.
BENCHMARK_VERSION=1.7.1-1
BENCHMARK_SOURCE=build/benchmark-source
benchmark_fetched() { compgen -G "$BENCHMARK_SOURCE/benchmark-*/CMakeLists.txt" >/dev/null; }
benchmark_apt_source() {
    mkdir -p "$BENCHMARK_SOURCE" &&
        (cd "$BENCHMARK_SOURCE" && apt-get source -q "benchmark=$BENCHMARK_VERSION" >/dev/null 2>&1) &&
        benchmark_fetched
}
fetch_benchmark_source() {
    benchmark_fetched || benchmark_apt_source && return 0
    NEED_WHY="Google Benchmark's source: no deb-src entry, and adding one needs root"
    [ "$(id -u)" -eq 0 ] || return 1
    NEED_WHY="apt-get could not fetch Google Benchmark's source $BENCHMARK_VERSION"
    add_deb_src && apt-get update -q >/dev/null && benchmark_apt_source
}

qemu_new_enough() {
    local version
    version=$(dpkg-query -W -f='${Version}' qemu-user 2>/dev/null) &&
        dpkg --compare-versions "$version" ge "$QEMU_VERSION_NEEDED"
}

# Makes wine's 32-bit side start where it does not; returns non-zero with
# the reason in NEED_WHY where that cannot be done.
run_i386_under_qemu() {
    win32_runs && return 0
    if [ "$(id -u)" -ne 0 ]; then
        NEED_WHY="setting up qemu's i386 emulation needs root"
        return 1
    fi
    echo "wine's 32-bit side does not start on this kernel: running i386 programs under qemu (binfmt_misc)."
    if ! qemu_new_enough || [ ! -x $QEMU_I386 ]; then
        NEED_WHY="qemu-user $QEMU_VERSION_NEEDED or later could not be installed from backports"
        add_backports && apt-get update -q >/dev/null &&
            DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
                "qemu-user/$(codename)-backports" >/dev/null &&
            qemu_new_enough && [ -x $QEMU_I386 ] || return 1
    fi
    [ -e $BINFMT/register ] || mount -t binfmt_misc binfmt_misc $BINFMT 2>/dev/null
    NEED_WHY="binfmt_misc cannot take an entry here"
    [ -w $BINFMT/register ] || return 1
    [ -e $BINFMT/qemu-i386 ] && echo -1 >$BINFMT/qemu-i386
    echo ":qemu-i386:M::$I386_MAGIC:$I386_MASK:$QEMU_I386:OPF" >$BINFMT/register || return 1
    NEED_WHY="wine's 32-bit side does not start under qemu either"
    win32_runs
}
