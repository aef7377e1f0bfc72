#!/usr/bin/env bash
# Prints the project's version, x.y.z, from the one place that holds it: project(... VERSION x.y.z
# ...) in CMakeLists.txt, which also gives every program its --version and the Windows programs
# their version resources. For the release scripts, which need it before anything is built.
#   scripts/project-version.sh
set -euo pipefail
cd "$(dirname "$0")/.."
version=$(sed -n 's/^project([^)]*VERSION[[:space:]]\{1,\}\([0-9]\{1,\}\.[0-9]\{1,\}\.[0-9]\{1,\}\)[[:space:])].*/\1/p' CMakeLists.txt)
if [[ $(wc -l <<<"$version") -ne 1 || -z $version ]]; then
  echo "project-version: no one project(... VERSION x.y.z ...) line in CMakeLists.txt" >&2
  exit 1
fi
echo "$version"
