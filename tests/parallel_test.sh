#!/usr/bin/env bash
# GNU parallel cutting a generated 50 MB K-file at record boundaries gives
# byte for byte the output of a single run: with --pipe, with --pipepart, and
# with --sshlogin to two hosts through a stand-in for ssh that runs the job
# on this machine (so the many-machine path runs without a network).
# usage: parallel_test.sh KUNPACK_BINARY
set -euo pipefail
kunpack=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
here=$(cd "$(dirname "$0")" && pwd)
command -v parallel >/dev/null || { echo "GNU parallel is missing: run scripts/setup"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
# parallel asks the remote login shell for $SHELL and fails without a word
# when it is unset (as under some CI runners); the stand-in's shell is bash.
export LC_ALL=C.UTF-8 SHELL=/bin/bash HOME=$work
list='tags,num:/;/:%d'  # ';' must reach Kunpack unquoted by parallel's shell: -q

python3 "$here/gen_kfile.py" 50 > big.k
"$kunpack" "$list" big.k > single.out

# The stand-in drops ssh's options, notes the host and runs the command
# locally, as the remote login shell would.
cat > ssh <<'STANDIN'
#!/usr/bin/env bash
while [ $# -gt 0 ]; do
  case $1 in
    -[bcDEeFIiJLlmOopQRSWw]) shift 2 ;;
    --) shift; break ;;
    -*) shift ;;
    *) break ;;
  esac
done
echo "$1" >> hosts.log
shift
[ "${1:-}" = -- ] && shift
exec bash -c "$*"
STANDIN
chmod +x ssh

split=(--recend '\n\n' --block 2M -k -q "$kunpack" "$list")
parallel --pipe "${split[@]}" < big.k > pipe.out
parallel --pipepart -a big.k "${split[@]}" > pipepart.out
parallel --pipe --ssh "$work/ssh" --sshlogin 1/alpha,1/beta "${split[@]}" < big.k > sshlogin.out
for run in pipe pipepart sshlogin; do
  cmp single.out $run.out || { echo "$run: output differs from a single run"; exit 1; }
  echo "$run: same output as a single run"
done
for host in alpha beta; do
  grep -qx "$host" hosts.log || { echo "no job ran on $host"; exit 1; }
done
