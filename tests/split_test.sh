#!/usr/bin/env bash
# A list run in parts gives the bytes, the message and the status of one
# kelvane run over the whole list:
#
#   split_test.sh parallel KELVANE SOURCE
#     the README's GNU parallel recipe, run as it is written there;
#   split_test.sh slurm KELVANE SOURCE SCRIPT
#     kelvane-slurm (SCRIPT) through a private single-node Slurm cluster
#     started here from Debian's slurmctld and slurmd, on a table of lists.
#
# Exits 77 (skipped, with the reason) where the tools or the daemons are
# missing or the cluster cannot start.
set -euo pipefail
mode=$1 kelvane=$(realpath "$2") src=$(realpath "$3")
skip() { echo "SKIPPED: $*"; exit 77; }
tmp=$(mktemp -d)
pids=()
stop() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$tmp"
}
trap stop EXIT
ex=$src/examples

# A few hundred models, in list order 3 1 2 3 1 2 ...
for i in $(seq 100); do printf '%s\n' "$ex/model0003.gmm" "$ex/model0001.gmm" "$ex/model0002.gmm"; done > "$tmp/many.lst"

if [ "$mode" = parallel ]; then
  command -v parallel >/dev/null || skip "GNU parallel not installed (Debian: parallel)"
  cd "$tmp"
  cp "$ex/ubm.gmm" .
  mv many.lst models.lst
  "$kelvane" ubm.gmm models.lst whole.sv
  # The README's recipe, word for word but for the program's path.
  split -n l/8 -d models.lst part.
  ls part.?? | parallel --will-cite "$kelvane" ubm.gmm {} {}.sv
  cat part.??.sv > supervectors.bin
  cmp whole.sv supervectors.bin
  echo "parallel ok: $(wc -l < models.lst) models in 8 parts"
  exit 0
fi

script=$(realpath "$4")
for d in slurmctld slurmd sbatch sinfo; do
  command -v "$d" >/dev/null || skip "$d not installed (Debian: slurmctld slurmd slurm-client)"
done
[ "$(id -u)" = 0 ] || skip "the Slurm daemons are run as root"

# The cluster: one node of this machine, with CPUs declared for 8 tasks at
# once, and every task started as soon as it is submitted.
free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
host=$(hostname -s)
c=$tmp/cluster
mkdir -p "$c/state" "$c/spool"
cat > "$c/slurm.conf" <<EOF
ClusterName=gmmtest
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=$(free_port)
SlurmdPort=$(free_port)
AuthType=auth/none
CredType=cred/none
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
SlurmUser=root
SlurmdUser=root
StateSaveLocation=$c/state
SlurmdSpoolDir=$c/spool
SlurmctldPidFile=$c/slurmctld.pid
SlurmdPidFile=$c/slurmd.pid
SlurmctldLogFile=$c/slurmctld.log
SlurmdLogFile=$c/slurmd.log
SchedulerParameters=batch_sched_delay=0
SlurmdParameters=config_overrides
ReturnToService=2
MpiDefault=none
JobCompType=jobcomp/none
AccountingStorageType=accounting_storage/none
MailProg=/bin/true
NodeName=$host NodeAddr=127.0.0.1 CPUs=16 RealMemory=$(( $(awk '/MemTotal/ { print int($2 / 1024) }' /proc/meminfo) / 2 )) State=UNKNOWN
PartitionName=test Nodes=ALL Default=YES MaxTime=INFINITE State=UP OverSubscribe=YES
EOF
export SLURM_CONF=$c/slurm.conf
slurmctld -D -c -f "$SLURM_CONF" > "$c/slurmctld.out" 2>&1 & pids+=($!)
slurmd -D -f "$SLURM_CONF" > "$c/slurmd.out" 2>&1 & pids+=($!)
for i in $(seq 60); do
  [ "$(sinfo -h -o %T 2>/dev/null)" = idle ] && break
  [ "$i" -lt 60 ] || skip "the cluster did not start: $(tail -n 1 "$c/slurmctld.log" "$c/slurmd.log" 2>&1 | tr '\n' ' ')"
  sleep 0.5
done
echo "cluster up: $(sinfo -h -o '%N %c CPUs %T')"

# Lists beside the many models.
{ head -n 5 "$tmp/many.lst"; printf '\n%.0s' $(seq 40); head -n 4 "$tmp/many.lst"; printf '\n\n'; } > "$tmp/blanks.lst"
{ printf '\n'; cat "$tmp/many.lst"; } > "$tmp/first_blank.lst"
head -n 60 "$ex/model0001.gmm" > "$tmp/short.gmm"
awk -v short="$tmp/short.gmm" -v missing="$tmp/missing.gmm" \
  'NR == 150 { print short; next } NR == 250 { print missing; next } { print }' "$tmp/many.lst" > "$tmp/failing.lst"

failures=0
# check NAME PARTS LIST [OPTION ...]: kelvane-slurm against one kelvane run,
# each writing over an old output: status, message and output bytes, and
# nothing left beside the output or in the folder the call is made from.
check() {
  local name=$1 parts=$2 list=$3
  shift 3
  mkdir -p "$tmp/one" "$tmp/run" "$tmp/cwd"
  echo old > "$tmp/one/out.sv"
  echo old > "$tmp/run/out.sv"
  local want_status=0 got_status=0
  "$kelvane" "$@" "$ex/ubm.gmm" "$list" "$tmp/one/out.sv" 2> "$tmp/one.err" || want_status=$?
  (cd "$tmp/cwd" && KELVANE=$kelvane sh "$script" -p "$parts" "$@" "$ex/ubm.gmm" "$list" "$tmp/run/out.sv") \
    2> "$tmp/run.err" || got_status=$?
  local ok=yes
  [ "$got_status" = "$want_status" ] || { echo "  status $got_status, want $want_status"; ok=no; }
  cmp -s "$tmp/one.err" "$tmp/run.err" || { echo "  message: $(cat "$tmp/run.err"), want $(cat "$tmp/one.err")"; ok=no; }
  cmp -s "$tmp/one/out.sv" "$tmp/run/out.sv" || { echo "  output differs"; ok=no; }
  [ -z "$(ls -A "$tmp/cwd")" ] && [ "$(ls -A "$tmp/run")" = out.sv ] ||
    { echo "  left behind: $(ls -A "$tmp/run" "$tmp/cwd" | tr '\n' ' ')"; ok=no; }
  echo "$ok: $name ($(wc -c < "$tmp/run/out.sv") bytes, status $got_status)"
  [ "$ok" = yes ] || failures=$((failures + 1))
  rm -rf "$tmp/one" "$tmp/run" "$tmp/cwd"
}

check "300 models, 1 part" 1 "$tmp/many.lst"
check "300 models, 3 parts" 3 "$tmp/many.lst"
check "300 models, 8 parts" 8 "$tmp/many.lst"
check "blank lines at part boundaries and whole blank parts" 8 "$tmp/blanks.lst"
check "blank first line" 3 "$tmp/first_blank.lst"
check "short model in the middle part, missing one in a later part" 3 "$tmp/failing.lst"
check "-j 2 and --normalize passed through" 3 "$tmp/many.lst" -j 2 --normalize
check "--check passed through" 4 "$tmp/failing.lst" --check

# expect NAME STATUS MESSAGE-PATTERN [ARG ...]: a call that cannot give one
# run's result.
expect() {
  local name=$1 want=$2 pattern=$3 got=0
  shift 3
  (cd "$tmp" && "$@") > "$tmp/x.out" 2> "$tmp/x.err" || got=$?
  if [ "$got" = "$want" ] && grep -Eq "$pattern" "$tmp/x.err"; then
    echo "yes: $name"
  else
    echo "no: $name: status $got, $(cat "$tmp/x.err")"
    failures=$((failures + 1))
  fi
}
mkdir "$tmp/nosbatch"
for t in sh awk sed head mktemp dirname cat rm; do ln -s "$(command -v $t)" "$tmp/nosbatch/$t"; done
expect "no sbatch" 2 '^kelvane-slurm: sbatch not found$' \
  env PATH="$tmp/nosbatch" KELVANE="$kelvane" sh "$script" "$ex/ubm.gmm" many.lst nosbatch.sv
expect "bad parts" 1 "^kelvane-slurm: bad value '0' for -p" sh "$script" -p 0 "$ex/ubm.gmm" many.lst out.sv
expect "output is the list" 1 '^many.lst: input file is output file$' \
  env KELVANE="$kelvane" sh "$script" "$ex/ubm.gmm" many.lst many.lst
# A task killed, and sbatch refusing the job: the work folder is kept.
printf '#!/bin/sh\ncase "$*" in *part.1*) kill -9 $$ ;; esac\nexec "%s" "$@"\n' "$kelvane" > "$tmp/dies"
chmod +x "$tmp/dies"
expect "a task killed" 2 '^kelvane-slurm: the job could not run \(task 1 .*\); its files are kept in .*/\.kelvane-slurm\.[^ ]+ \(Slurm job [0-9]+\)$' \
  env KELVANE="$tmp/dies" sh "$script" -p 3 "$ex/ubm.gmm" many.lst killed.sv
expect "sbatch refuses" 2 '^kelvane-slurm: the job could not run \(sbatch refused it.*\); its files are kept in ' \
  env KELVANE="$kelvane" sh "$script" --sbatch=--partition=none "$ex/ubm.gmm" many.lst refused.sv
[ "$(ls -d "$tmp"/.kelvane-slurm.* | wc -l)" = 2 ] || { echo "no: work folders kept"; failures=$((failures + 1)); }
[ "$failures" = 0 ]
