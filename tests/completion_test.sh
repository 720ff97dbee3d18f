#!/usr/bin/env bash
# The bash completion, loaded into a non-interactive bash as the completion
# loader would: each row is a command line and what completing its end offers.
set -uo pipefail
source "$(dirname "$0")/../completion/kunpack"
cd "$(dirname "$0")/../examples"

rows=(
  "Kunpack --v|--version"
  "kunpack -|-t -z -K --version --help --"
  "Kunpack -K |datautf= idatautf= odatautf= rsize= tsize= nsize= wsize="
  "Kunpack -K id|idatautf="
  "Kunpack -K idatautf=|0 8 16 32 -16 -32"
  "Kunpack -K idatautf=-|-16 -32"
  "Kunpack -Kodatautf=1|16"
  "Kunpack -K rsize=8,o|8,odatautf="
  "Kunpack -K rsize=|"
  "Kunpack -t |"
  "Kunpack tags pack|packages.k packages.out"
)
failed=0
for name in kunpack Kunpack; do
  registered=$(complete -p $name)
  [ "$registered" = "complete -F _kunpack $name" ] || { echo "$registered"; failed=1; }
done
for row in "${rows[@]}"; do
  COMP_LINE=${row%%|*} COMP_POINT=${#COMP_LINE} COMPREPLY=()
  _kunpack
  got=$(compgen -W "${COMPREPLY[*]}" | sort | tr '\n' ' ')
  want=$(printf '%s\n' ${row#*|} | sort | tr '\n' ' ')
  [ "${want}" = " " ] && want=""
  [ "$got" = "$want" ] || { echo "'${row%%|*}': got '$got', want '$want'"; failed=1; }
done
exit $failed
