#!/usr/bin/env bash
# The package every recording of the suite was made with: a 1 KiB image for a normal-mode
# controller and one for the emulated boot loader's model and variant.
#   tests/replay/package.sh OUT.dat
set -euo pipefail
here=$(dirname "$0")
"${KESTRO_PACKAGE:-$here/../../build/native/tools/package/kestro-package}" build "$1" \
  --record model=0,variant=0,version=123,size=1024,seed=3,base=0x08004000 \
  --record model=0x0102,variant=3,version=150,beta=2,size=1024,seed=4,base=0x08004000
