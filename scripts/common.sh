# Sourced by every script here, from the checkout's root.
#
# JOBS: the parallel jobs of every build and test run (default 2, this
# machine's cores); set it in the environment to change it everywhere.
JOBS=${JOBS:-2}
# The plug-in's version and stage, read from the one place they are kept:
# the CMake project (CMakeLists.txt), from which the code's header is made.
VERSION=$(sed -n 's/^project(tolvanrix VERSION \([0-9][0-9.]*\) .*/\1/p' CMakeLists.txt)
VERSION_STAGE=$(sed -n 's/^set(QL_VERSION_STAGE \([a-z0-9]*\))$/\1/p' CMakeLists.txt)
if [ -z "$VERSION" ] || [ -z "$VERSION_STAGE" ]; then
  echo "scripts/common.sh: no project version in $(pwd)/CMakeLists.txt" >&2
  exit 1
fi
