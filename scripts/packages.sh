# Debian packages the project needs, and the one function that installs the missing ones.

# The default preset builds the test programs too, so GoogleTest belongs to the build.
BUILD_PACKAGES=(cmake g++ make pkg-config libssl-dev zlib1g-dev nlohmann-json3-dev libgtest-dev
                libgmock-dev)
# The real-stack tier boots Debian's own kernel under QEMU; the fuzz tier needs clang's libFuzzer.
# Its host set builds an md array and a device-mapper mapping in the guest (the filesystem and
# the swap with busybox).
VM_PACKAGES=(qemu-system-x86 qemu-utils linux-image-amd64 busybox-static cpio kmod mdadm dmsetup)
FUZZ_PACKAGES=(clang libclang-rt-14-dev)
# tests/ship builds the Debian packages with debhelper and checks them with lintian.
PACKAGING_PACKAGES=(build-essential dpkg-dev debhelper lintian)
# The lint tests (scripts/lint): clang-tidy (run-clang-tidy comes with it) and cppcheck.
LINT_PACKAGES=(clang-tidy cppcheck)
# scripts/mutation-run finds its sites with libclang; its self-test runs with the other tests.
MUTATION_PACKAGES=(python3-clang-14)
# Debian's own clients of the sg driver, which the end-to-end tests run against the simulated
# bay: smartctl, hdparm and sdparm beside sg3-utils.
CLIENT_PACKAGES=(sg3-utils smartmontools hdparm sdparm)
# promtool (in Debian's prometheus package) checks the fleet role's metrics file.
TEST_PACKAGES=("${BUILD_PACKAGES[@]}" libbenchmark-dev valgrind "${CLIENT_PACKAGES[@]}" openssl man-db
               ansible-core ansible-lint python3-jsonschema time linux-perf prometheus
               "${PACKAGING_PACKAGES[@]}" "${LINT_PACKAGES[@]}" "${VM_PACKAGES[@]}"
               "${FUZZ_PACKAGES[@]}" "${MUTATION_PACKAGES[@]}")

# install_packages PKG...: installs those of PKG that are not installed yet. Needs root (or
# everything already installed); runs apt-get update once before installing.
install_packages() {
    local missing=() p
    for p in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$p")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing Debian packages: ${missing[*]} (run as root to install them)" >&2
        return 1
    fi
    echo "installing: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}
