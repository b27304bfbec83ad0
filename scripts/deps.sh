# shellcheck shell=bash disable=SC2034 # the package lists are the scripts'
# Sourced by the other scripts, from the top of the sources: installs what a
# fresh Debian 12 lacks with apt-get, whatever state the package archive is in.
#
# - An update that fails on some index (a mirror in mid-sync, a proxy's stale
#   copy) is tried again APT_TRIES times, APT_PAUSE seconds apart; then the
#   lists that came are used, and one line names the index that did not.
# - Every install is tried first as a simulation, so that a way that cannot
#   work changes nothing: as the archive stands, then, where that fails (the
#   i386 packages lagging the amd64 ones that a security update brought), with
#   the machine's own release as the target release, which is said.
# - Entries the machine lacks (Debian's source packages, backports) live in an
#   apt state of our own under build/apt, for the commands that need them,
#   derived from the machine's own Debian entry; nothing under /etc/apt is
#   written. The i386 architecture, added for wine32, is taken away again
#   where its install fails.
#
# need_packages PKG... installs the missing ones; where it cannot, it returns
# non-zero with the reason in NEED_WHY. INSTALLED names what was installed.

NATIVE_PACKAGES="g++ cmake ninja-build googletest libgtest-dev libgmock-dev libbenchmark-dev libbenchmark-tools python3 python3-scipy binutils strace groff-base dpkg-dev lintian"
WIN32_PACKAGES="g++-mingw-w64-i686 wine wine32 bsdutils"
WIN64_PACKAGES="g++-mingw-w64-x86-64 wine64"

APT_TRIES=${APT_TRIES:-3}
APT_PAUSE=${APT_PAUSE:-10}
APT_STATE=$PWD/build/apt
INSTALLED=""
NEED_WHY=""

# shellcheck source=/dev/null # the machine's own, read where it runs
codename() { (. /etc/os-release && echo "$VERSION_CODENAME"); }

is_root() { [ "$(id -u)" -eq 0 ]; }

missing_packages() {
    local pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}\n' "$pkg" 2>/dev/null | grep -q '^install ok installed$' ||
            echo "$pkg"
    done
}

# The last error apt wrote to LOG, without its "E: ".
apt_error() {
    local said
    said=$(grep '^E: ' "$1" | tail -n 1 | cut -c 4-)
    echo "${said:-$(tail -n 1 "$1")}"
}

# apt-get update with OPTIONS..., tried again while an index fails. It never
# fails itself: whether what is needed can be installed from the lists that
# came is the install's question.
apt_update() {
    local log try failed
    log=$(mktemp)
    for ((try = 1; ; ++try)); do
        LC_ALL=C apt-get "$@" -q update >/dev/null 2>"$log" && { rm -f "$log"; return 0; }
        [ "$try" -lt "$APT_TRIES" ] || break
        sleep "$APT_PAUSE"
    done
    failed=$(sed -n 's/^E: Failed to fetch \([^ ]*\) *\(.*\)$/\1 (\2)/p' "$log" | head -n 1)
    echo "apt-get update failed $APT_TRIES times on ${failed:-"$(apt_error "$log")"}: going on with the lists that came."
    rm -f "$log"
}

# apt-get install with OPTIONS... of the PACKAGES after "--": as the archive
# stands, else with the machine's release as the target release. Where both
# fail, NEED_WHY says what was tried and why each failed; a real install that
# fails halfway is configured as far as dpkg can, and fails.
apt_install() {
    local options=() release target=() log plain_why
    while [ "$1" != -- ]; do options+=("$1"); shift; done
    shift
    release=$(codename)
    log=$(mktemp)
    for way in plain target; do
        [ $way = target ] && target=(-t "$release")
        if ! LC_ALL=C apt-get "${options[@]}" "${target[@]}" -q -s -y install "$@" >"$log" 2>&1; then
            [ $way = plain ] && plain_why=$(apt_error "$log")
            continue
        fi
        [ $way = target ] && echo "installing $* with the target release $release, as the archive stands it cannot be: $plain_why"
        if DEBIAN_FRONTEND=noninteractive LC_ALL=C apt-get "${options[@]}" "${target[@]}" -q -y install "$@" >"$log" 2>&1; then
            INSTALLED="$INSTALLED${INSTALLED:+; }$*"
            rm -f "$log"
            return 0
        fi
        NEED_WHY="apt-get could not install $*: $(apt_error "$log")"
        DEBIAN_FRONTEND=noninteractive dpkg --configure -a >/dev/null 2>&1 ||
            NEED_WHY="$NEED_WHY; dpkg --configure -a failed too"
        rm -f "$log"
        return 1
    done
    NEED_WHY="apt-get could not install $*: as the archive stands ($plain_why), nor with the target release $release ($(apt_error "$log"))"
    rm -f "$log"
    return 1
}

need_packages() {
    local missing added_i386=no
    missing=$(missing_packages "$@")
    [ -z "$missing" ] && return 0
    missing=$(tr "\n" " " <<<"$missing")
    missing=${missing% }
    if ! is_root || ! command -v apt-get >/dev/null; then
        NEED_WHY="$missing missing, and installing needs root and apt-get"
        return 1
    fi
    echo "installing: $missing"
    case " $missing " in
        *" wine32 "* | *:i386" "*)
            if ! dpkg --print-foreign-architectures | grep -qx i386; then
                dpkg --add-architecture i386
                added_i386=yes
            fi
            ;;
    esac
    apt_update
    # shellcheck disable=SC2086
    apt_install -- $missing && return 0
    if [ $added_i386 = yes ] && dpkg --remove-architecture i386 2>/dev/null; then
        NEED_WHY="$NEED_WHY (the i386 architecture added for it is taken away again)"
    fi
    return 1
}

# The machine's own Debian entry for its release, as apt read it at its last
# update: "URI|FILE:ENTRY". Its origin is Debian and its codename the
# release's, so a third-party repository for the same release (Docker's, say)
# is never taken for it, whichever form either entry is written in.
debian_entry() {
    # shellcheck disable=SC2016 # apt's own fields
    apt-get indextargets --format '$(ORIGIN)|$(CODENAME)|$(TARGET_OF)|$(REPO_URI)|$(SOURCESENTRY)' 2>/dev/null |
        awk -F '|' -v release="$(codename)" '
            $1 == "Debian" && $2 == release && $3 == "deb" { print $4 "|" $5; exit }'
}

# The keyring of the entry at FILE:ENTRY (a stanza of a .sources file, or a
# line of a one-line file) as a Signed-By field, its continuation lines with
# it where the key is written inline; nothing where the entry names none.
entry_keyring() {
    local file=${1%:*} entry=${1##*:}
    case $file in
        *.sources)
            awk -v entry="$entry" '
                /^#/ { next }
                /^[ \t]*$/ { if (open) { ++done; open = 0 }; taking = 0; next }
                { open = 1 }
                done + 1 != entry { next }
                /^[^ \t]/ { taking = tolower($0) ~ /^signed-by:/ }
                taking { print }' "$file"
            ;;
        *)
            awk -v entry="$entry" 'NR == entry && match($0, /signed-by=[^] \t]+/) {
                print "Signed-By: " substr($0, RSTART + 10, RLENGTH - 10) }' "$file"
            ;;
    esac
}

# A deb822 entry of TYPE (deb or deb-src) for SUITE, with the URI and keyring
# of the machine's own Debian entry.
derived_entry() {
    local found
    found=$(debian_entry)
    if [ -z "$found" ]; then
        NEED_WHY="apt names no Debian entry for $(codename) on this machine"
        return 1
    fi
    printf 'Types: %s\nURIs: %s\nSuites: %s\nComponents: main\n' "$1" "${found%%|*}" "$2"
    entry_keyring "${found#*|}"
}

# An apt state of our own, build/apt/NAME, whose sources are ENTRY and, with
# "machine", the machine's own; its lists and caches its own too. Sets
# APT_OPTIONS, which every apt-get command on that state takes.
private_apt() {
    local name=$1 with=$2 entry=$3 dir=$APT_STATE/$1 LIST PARTS file
    rm -rf "$dir/sources"
    mkdir -p "$dir/sources" "$dir/lists/partial"
    eval "$(apt-config shell LIST Dir::Etc::sourcelist/f PARTS Dir::Etc::sourceparts/d)"
    if [ "$with" = machine ]; then
        for file in "$PARTS"*.list "$PARTS"*.sources; do
            [ -e "$file" ] && ln -s "$file" "$dir/sources/"
        done
    else
        LIST=$dir/sources.list
        : >"$LIST"
    fi
    printf '%s\n' "$entry" >"$dir/sources/div100-$name.sources"
    APT_OPTIONS=(-o "Dir::Etc::SourceList=$LIST" -o "Dir::Etc::SourceParts=$dir/sources"
        -o "Dir::State::Lists=$dir/lists" -o "Dir::Cache::pkgcache=$dir/pkgcache.bin"
        -o "Dir::Cache::srcpkgcache=$dir/srcpkgcache.bin")
}

# Google Benchmark's Debian source package, of the version Debian 12's
# libbenchmark-dev is built from, for the static library the programs link:
# fetched once into build/benchmark-source, where CMake looks for it (a
# configure fetches and installs nothing), through a deb-src entry of our
# own; it needs no root. Returns non-zero with the reason in NEED_WHY where it
# cannot be had.
BENCHMARK_VERSION=1.7.1-1
BENCHMARK_SOURCE=build/benchmark-source
benchmark_fetched() { compgen -G "$BENCHMARK_SOURCE/benchmark-*/CMakeLists.txt" >/dev/null; }
fetch_benchmark_source() {
    local entry log
    benchmark_fetched && return 0
    entry=$(derived_entry deb-src "$(codename)") || return 1
    private_apt deb-src own "$entry"
    apt_update "${APT_OPTIONS[@]}"
    log=$(mktemp)
    mkdir -p "$BENCHMARK_SOURCE"
    if (cd "$BENCHMARK_SOURCE" &&
        LC_ALL=C apt-get "${APT_OPTIONS[@]}" -q source "benchmark=$BENCHMARK_VERSION" >"$log" 2>&1) &&
        benchmark_fetched; then
        INSTALLED="$INSTALLED${INSTALLED:+; }Google Benchmark's source $BENCHMARK_VERSION"
    else
        NEED_WHY="apt-get could not fetch Google Benchmark's source $BENCHMARK_VERSION: $(apt_error "$log")"
    fi
    rm -f "$log"
    benchmark_fetched
}

# Entries an earlier version of these scripts wrote into /etc/apt, taken out.
forget_old_entries() {
    local old
    for old in /etc/apt/sources.list.d/div100-deb-src.sources /etc/apt/sources.list.d/div100-backports.sources \
        /etc/apt/sources.list.d/div100-deb-src.list /etc/apt/sources.list.d/div100-backports.list; do
        [ -e "$old" ] && is_root && rm -f "$old" && echo "removed $old, which an earlier version of these scripts wrote"
    done
    return 0
}

# The last line of a run: what it installed.
say_installed() {
    if [ -n "$INSTALLED" ]; then
        echo "Installed by this run: $INSTALLED."
    else
        echo "Installed by this run: nothing."
    fi
}

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

qemu_new_enough() {
    local version
    version=$(dpkg-query -W -f='${Version}' qemu-user 2>/dev/null) &&
        dpkg --compare-versions "$version" ge "$QEMU_VERSION_NEEDED"
}

# qemu-user from the backports suite, through an entry of our own beside the
# machine's.
install_qemu() {
    local entry backports
    backports="$(codename)-backports"
    entry=$(derived_entry deb "$backports") || return 1
    private_apt backports machine "$entry"
    apt_update "${APT_OPTIONS[@]}"
    apt_install "${APT_OPTIONS[@]}" --no-install-recommends -- "qemu-user/$backports"
}

# Makes wine's 32-bit side start where it does not; returns non-zero with
# the reason in NEED_WHY where that cannot be done.
run_i386_under_qemu() {
    win32_runs && return 0
    if ! is_root; then
        NEED_WHY="setting up qemu's i386 emulation needs root"
        return 1
    fi
    echo "wine's 32-bit side does not start on this kernel: running i386 programs under qemu (binfmt_misc)."
    if ! qemu_new_enough || [ ! -x $QEMU_I386 ]; then
        install_qemu || return 1
        NEED_WHY="qemu-user $QEMU_VERSION_NEEDED or later is not what backports installed"
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
