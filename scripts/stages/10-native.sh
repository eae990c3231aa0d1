# Native optimised build, warnings fatal, every test.
source "$(dirname "$0")/../lib.sh"
dir=$BUILD_ROOT/native
configure "$dir" -DWERROR=ON && build "$dir" && run_ctest native "$dir"
