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

NATIVE_PACKAGES="g++ cmake ninja-build googletest libgtest-dev libgmock-dev libbenchmark-dev python3 binutils"
WIN32_PACKAGES="g++-mingw-w64-i686 wine wine32 bsdutils"
WIN64_PACKAGES="g++-mingw-w64-x86-64 wine64"
