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
# once, every task started as soon as it is submitted, and arrays of at most
# 6 tasks.
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
MaxArraySize=6
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
slurm_only=() # kelvane-slurm's own options, for the next check
both_env=()   # an environment for both runs of the next check
# check NAME PARTS LIST [OPTION ...]: kelvane-slurm against one kelvane run,
# each writing over an old output: status, message and output bytes, and
# nothing left beside the output or in the folder the call is made from.
# OUTDIR and OUTNAME name another output folder and name, relative to the
# run's own folder.
check() {
  local name=$1 parts=$2 list=$3 outdir=${OUTDIR:-.} outname=${OUTNAME:-out.sv}
  shift 3
  mkdir -p "$tmp/one/$outdir" "$tmp/run/$outdir" "$tmp/cwd"
  echo old > "$tmp/one/$outdir/$outname"
  echo old > "$tmp/run/$outdir/$outname"
  local want_status=0 got_status=0
  (cd "$tmp/one" && env "${both_env[@]}" "$kelvane" "$@" "$ex/ubm.gmm" "$list" "$outdir/$outname") 2> "$tmp/one.err" || want_status=$?
  (cd "$tmp/run" && env "${both_env[@]}" KELVANE="$kelvane" "$script" -p "$parts" "${slurm_only[@]}" "$@" "$ex/ubm.gmm" "$list" "$outdir/$outname") \
    2> "$tmp/run.err" || got_status=$?
  local ok=yes
  [ "$got_status" = "$want_status" ] || { echo "  status $got_status, want $want_status"; ok=no; }
  cmp -s "$tmp/one.err" "$tmp/run.err" || { echo "  message: $(cat "$tmp/run.err"), want $(cat "$tmp/one.err")"; ok=no; }
  cmp -s "$tmp/one/$outdir/$outname" "$tmp/run/$outdir/$outname" || { echo "  output differs"; ok=no; }
  [ -z "$(ls -A "$tmp/cwd")" ] && [ -z "$(find "$tmp/run" -name '.kelvane-slurm.*')" ] ||
    { echo "  left behind: $(find "$tmp/run" "$tmp/cwd" -name '.kelvane-slurm.*')"; ok=no; }
  echo "$ok: $name ($(wc -c < "$tmp/run/$outdir/$outname") bytes, status $got_status)"
  [ "$ok" = yes ] || failures=$((failures + 1))
  rm -rf "$tmp/one" "$tmp/run" "$tmp/cwd"
  slurm_only=() both_env=()
}

check "300 models, 1 part" 1 "$tmp/many.lst"
check "300 models, 3 parts" 3 "$tmp/many.lst"
check "300 models, 8 parts" 8 "$tmp/many.lst"
check "blank lines at part boundaries and whole blank parts" 8 "$tmp/blanks.lst"
check "blank first line" 3 "$tmp/first_blank.lst"
check "short model in the middle part, missing one in a later part" 3 "$tmp/failing.lst"
check "-j 2 and --normalize passed through" 3 "$tmp/many.lst" -j 2 --normalize
check "-j 1024, the most" 2 "$tmp/many.lst" -j 1024
check "--check passed through" 4 "$tmp/failing.lst" --check
check "--keywords passed through" 2 "$tmp/many.lst" --keywords
# The same models as HMMs of a set, by name, the UBM a file: the set's files
# reach every task, each given in its spelling.
head -n 3 "$ex/model0001.gmm" > "$tmp/macros"
for m in 1 2 3; do tail -n +4 "$ex/model000$m.gmm"; done > "$tmp/hmmdefs"
sed 's|.*/\(model000.\)\.gmm|\1|' "$tmp/many.lst" > "$tmp/names.lst"
check "-H and --mmf passed through" 3 "$tmp/names.lst" -H "$tmp/macros" --mmf="$tmp/hmmdefs"
check "--npy" 3 "$tmp/many.lst" --npy
check "--npy --float32, the list failing" 3 "$tmp/failing.lst" --npy --float32
check "--float32 --normalize" 4 "$tmp/many.lst" --float32 --normalize
check "--npy, blank lines at part boundaries" 8 "$tmp/blanks.lst" --npy
printf '\n\n\n' > "$tmp/no_models.lst"
check "--npy of no models" 2 "$tmp/no_models.lst" --npy --sizes-from="$ex/model0001.gmm"
: > "$tmp/empty.lst"
check "an empty list" 2 "$tmp/empty.lst"
{ head -n 4 "$tmp/many.lst"; printf 'x%.0s' $(seq 20000); printf '\n'; head -n 5 "$tmp/many.lst"; } > "$tmp/long_line.lst"
check "a list line of 20000 characters" 3 "$tmp/long_line.lst"
check "-p 08, decimal" 08 "$tmp/many.lst"
check "-p 010, decimal, above MaxArraySize" 010 "$tmp/many.lst"
for name in 'k=v.lst' '-'; do
  cp "$tmp/failing.lst" "$tmp/$name"
  check "a list named $name" 3 "$tmp/$name"
done
OUTDIR='a\b%A_%a' check "a backslash and a % in the output's folder" 3 "$tmp/many.lst"
{ printf '%s\0junk\n' "$ex/model0002.gmm"; cat "$tmp/many.lst"; } > "$tmp/nul.lst"
check "a NUL in the list's first line" 3 "$tmp/nul.lst"
# The list's read fails with EIO at byte 5000, within a line: the lines
# before it are run, and the run fails as one run does.
both_env=(LD_PRELOAD="$READ_FAULT_LIB" ASAN_OPTIONS="${ASAN_OPTIONS:-}:verify_asan_link_order=0"
          READ_FAULT_FILE="$tmp/many.lst" READ_FAULT_AT=5000)
check "the list's read failing part way" 3 "$tmp/many.lst"
slurm_only=(--sbatch='--comment=nightly run' --sbatch=--parsable --sbatch=--quiet --max-running=2)
check "sbatch arguments, each one; --max-running" 3 "$tmp/many.lst"
slurm_only=(--sbatch=--chdir=/)
OUTNAME=rel.sv check "a relative output with --chdir=/" 3 "$tmp/many.lst"

# expect NAME STATUS MESSAGE-PATTERN [ARG ...]: a call that cannot give one
# run's result.
expect() {
  local name=$1 want=$2 pattern=$3 got=0
  shift 3
  (cd "$tmp" && "$@") > "$tmp/x.out" 2> "$tmp/x.err" || got=$?
  if [ "$got" = "$want" ] && { [ "$pattern" = - ] && [ ! -s "$tmp/x.err" ] || grep -Eq "$pattern" "$tmp/x.err"; }; then
    echo "yes: $name"
  else
    echo "no: $name: status $got, $(cat "$tmp/x.err")"
    failures=$((failures + 1))
  fi
}
same() { # NAME FILE WANT: the file holds what WANT holds
  if cmp -s "$2" "$3"; then echo "yes: $1"; else echo "no: $1"; failures=$((failures + 1)); fi
}
expect "--help" 0 - "$script" --help
grep -q '^Usage: \$ .*kelvane-slurm \[-p PARTS\]' "$tmp/x.out" && grep -q -- '--npy, --float32' "$tmp/x.out" ||
  { echo "no:   --help's usage and options on standard output"; failures=$((failures + 1)); }
mkdir "$tmp/nosbatch"
expect "no sbatch" 2 '^kelvane-slurm: sbatch not found$' \
  env PATH="$tmp/nosbatch" KELVANE="$kelvane" "$script" "$ex/ubm.gmm" many.lst nosbatch.sv
expect "bad parts" 1 "^kelvane-slurm: bad value '0' for -p" "$script" -p 0 "$ex/ubm.gmm" many.lst out.sv
# Calls refused before anything is submitted, each with its reason.
expect "-p without its value" 1 "^kelvane-slurm: option -p needs a value$" "$script" -p
expect "an unknown option" 1 "^kelvane-slurm: unknown option --fast$" "$script" --fast "$ex/ubm.gmm" many.lst out.sv
expect "-j not a number" 1 "^kelvane-slurm: bad value 'x' for -j: a whole number from 0 to 1024 expected$" \
  "$script" -j x "$ex/ubm.gmm" many.lst out.sv
expect "-j above 1024" 1 "^kelvane-slurm: bad value '1025' for -j" "$script" -j 1025 "$ex/ubm.gmm" many.lst out.sv
expect "--progress" 1 "^kelvane-slurm: option --progress is not for an array job" \
  "$script" --progress "$ex/ubm.gmm" many.lst out.sv
expect "--log-dir not a folder" 1 "^kelvane-slurm: --log-dir=.*/nowhere: not a folder$" \
  "$script" --log-dir=nowhere "$ex/ubm.gmm" many.lst out.sv
expect "two file arguments" 1 "^kelvane-slurm: 2 file arguments, 3 expected$" "$script" "$ex/ubm.gmm" many.lst
expect "--resume with file arguments" 1 "^kelvane-slurm: --resume takes no file arguments$" \
  "$script" --resume=folder "$ex/ubm.gmm" many.lst out.sv
# OUT in a folder that does not exist: the parts are made elsewhere, and
# the join fails to open OUT as one run does.
expect "OUT in a missing folder" 1 '^nowhere/out.sv: File open error!$' \
  env KELVANE="$kelvane" "$script" -p 2 "$ex/ubm.gmm" many.lst nowhere/out.sv
expect "--npy of no models, OUT in a missing folder" 1 '^nowhere/out.npy: File open error!$' \
  env KELVANE="$kelvane" "$script" --npy --sizes-from="$ex/model0001.gmm" "$ex/ubm.gmm" no_models.lst nowhere/out.npy
expect "output is the list" 1 '^many.lst: input file is output file$' \
  env KELVANE="$kelvane" "$script" "$ex/ubm.gmm" many.lst many.lst
"$kelvane" "$ex/ubm.gmm" "$tmp/many.lst" "$tmp/whole.sv"
kept='its files are kept in .*/\.kelvane-slurm\.[^ ]+ \(Slurm job [0-9, ]+\); resume it with kelvane-slurm --resume '

# KELVANE wrappers: part 1 killed, its output cut short or removed, or held
# up; each on its first attempt only (a file marks it), so that a resumed run
# goes through.
wrapper() { # NAME ACTION
  printf '#!/bin/sh\ncase "$*" in *part.1.sv*) [ -e "%s/%s.done" ] || { touch "%s/%s.done"; %s; } ;; esac\n' \
    "$tmp" "$1" "$tmp" "$1" "$2" > "$tmp/$1"
  printf 'for a in "$@"; do last=$a; done\n' >> "$tmp/$1"
  printf '"%s" "$@"; s=$?\ncase "$*" in *part.1.sv*) [ -e "%s/%s.after" ] || { touch "%s/%s.after"; %s; } ;; esac\nexit $s\n' \
    "$kelvane" "$tmp" "$1" "$tmp" "$1" "${3:-:}" >> "$tmp/$1"
  chmod +x "$tmp/$1"
}
wrapper dies 'kill -9 $$'
wrapper cut ':' 'truncate -s -100 "$last"'
wrapper gone ':' 'rm -f "$last"'
wrapper slow 'sleep 30'
echo old > "$tmp/killed.sv"
expect "a task killed, OUT untouched" 2 "^kelvane-slurm: the job could not run \(task 1 .*\); $kept" \
  env KELVANE="$tmp/dies" "$script" -p 3 "$ex/ubm.gmm" many.lst killed.sv
same "  OUT as it was" "$tmp/killed.sv" <(echo old)
expect "a part's output cut short" 2 "^kelvane-slurm: the job could not run \(part 1's output holds [0-9]+ bytes, [0-9]+ expected\); $kept" \
  env KELVANE="$tmp/cut" "$script" -p 3 "$ex/ubm.gmm" many.lst cut.sv
expect "a part's output missing" 2 "^kelvane-slurm: the job could not run \(part 1's output is missing\); $kept" \
  env KELVANE="$tmp/gone" "$script" -p 3 "$ex/ubm.gmm" many.lst gone.sv
expect "sbatch refuses" 2 '^kelvane-slurm: the job could not run \(sbatch refused it: .*\); its files are kept in ' \
  env KELVANE="$kelvane" "$script" --sbatch=--partition=none "$ex/ubm.gmm" many.lst refused.sv
[ "$(ls -d "$tmp"/.kelvane-slurm.* | wc -l)" = 4 ] || { echo "no: work folders kept"; failures=$((failures + 1)); }
# A run that was not detached has no join job to wait for.
for f in "$tmp"/.kelvane-slurm.*; do grep -q '/cut"' "$f/run.json" && cut_folder=$f; done
expect "--wait on a run not detached" 1 "^kelvane-slurm: .*: no join job to wait for \(the run was not detached\)$" \
  "$script" --wait "$cut_folder"
# A copy of a work folder is not the run's folder.
cp -a "$cut_folder" "$tmp/copied"
expect "--resume of a copied work folder" 2 "^kelvane-slurm: .*/copied: the work folder is no longer this run's$" \
  "$script" --resume "$tmp/copied"
# Resumed, the killed run gives one run's bytes, and its folder goes.
folder=$(ls -d "$tmp"/.kelvane-slurm.* | head -n 1)
for f in "$tmp"/.kelvane-slurm.*; do grep -q dies "$f/run.json" && folder=$f; done
# What else lies in the folder goes with it: a folder within, and a link
# to a folder outside, which is removed and never followed.
mkdir -p "$tmp/outside/within" "$folder/within/deeper"
echo kept > "$tmp/outside/within/file"
echo gone > "$folder/within/deeper/file"
ln -s "$tmp/outside" "$folder/link"
expect "resumed" 0 - env KELVANE="$kelvane" "$script" --resume "$folder"
same "  one run's bytes" "$tmp/killed.sv" "$tmp/whole.sv"
[ ! -e "$folder" ] || { echo "no: resumed folder removed"; failures=$((failures + 1)); }
same "  a folder the work folder linked to, untouched" "$tmp/outside/within/file" <(echo kept)
# --retries resubmits by itself.
rm -f "$tmp/dies.done" "$tmp/dies.after"
expect "--retries=1 after a killed task" 0 - env KELVANE="$tmp/dies" "$script" -p 3 --retries=1 "$ex/ubm.gmm" many.lst retried.sv
same "  one run's bytes" "$tmp/retried.sv" "$tmp/whole.sv"
# --resume takes a new --retries: the resumed task is killed too, and
# resubmitted.
rm -f "$tmp/dies.done" "$tmp/dies.after"
expect "a task killed" 2 "^kelvane-slurm: the job could not run \(task 1 .*\); $kept" \
  env KELVANE="$tmp/dies" "$script" -p 3 "$ex/ubm.gmm" many.lst killed_twice.sv
for f in "$tmp"/.kelvane-slurm.*; do grep -q killed_twice "$f/run.json" && folder=$f; done
rm -f "$tmp/dies.done"
expect "  resumed with --retries=1, killed again" 0 - env KELVANE="$tmp/dies" "$script" --resume "$folder" --retries=1
same "  one run's bytes" "$tmp/killed_twice.sv" "$tmp/whole.sv"

# Outputs that are no file in a folder: the null device, and a pipe.
expect "the null device as OUT" 0 - env KELVANE="$kelvane" "$script" -p 3 "$ex/ubm.gmm" many.lst /dev/null
(cd "$tmp" && KELVANE="$kelvane" "$script" -p 3 "$ex/ubm.gmm" many.lst /dev/stdout | cat > piped.sv)
same "a pipe as OUT" "$tmp/piped.sv" "$tmp/whole.sv"

# -j defaults to each task's CPUs.
printf '#!/bin/sh\necho "$*" >> "%s/args"\nexec "%s" "$@"\n' "$tmp" "$kelvane" > "$tmp/argsw"
chmod +x "$tmp/argsw"
expect "-j from --cpus-per-task" 0 - env KELVANE="$tmp/argsw" "$script" -p 2 --sbatch=--cpus-per-task=2 "$ex/ubm.gmm" many.lst cpus.sv
grep -q -- '^-j 2 --sizes-from=' "$tmp/args" || { echo "no:   -j 2 given: $(head -n 1 "$tmp/args")"; failures=$((failures + 1)); }

# Detached: the job and a join job, and --wait later; a task cancelled,
# then resumed, detached again.
mkdir "$tmp/logs"
(cd "$tmp" && KELVANE="$tmp/slow" "$script" -p 3 --detach --log-dir="$tmp/logs" "$ex/ubm.gmm" many.lst detached.sv) \
  > "$tmp/detach.out" 2>&1 || true
job=$(sed -n 's/.*submitted job \([0-9]*\) and join job \([0-9]*\).*/\1/p' "$tmp/detach.out")
folder=$(sed -n 's/.*work folder \(.*\)$/\1/p' "$tmp/detach.out")
if [ -n "$job" ] && [ -d "$folder" ]; then
  echo "yes: detached ($(head -n 1 "$tmp/detach.out"))"
  for i in $(seq 60); do squeue -h -j "${job}_1" -t R | grep -q . && break; sleep 0.5; done
  scancel "${job}_1"
  expect "--wait after a cancelled task" 2 "^kelvane-slurm: the job could not run \(task 1 .*\); $kept" "$script" --wait "$folder"
  (cd "$tmp" && "$script" --resume "$folder" --detach > "$tmp/resume.out" 2>&1) || echo "no: resume --detach: $(cat "$tmp/resume.out")"
  expect "--wait after the resume" 0 - "$script" --wait "$folder"
  same "  one run's bytes" "$tmp/detached.sv" "$tmp/whole.sv"
  [ -n "$(ls "$tmp/logs")" ] || { echo "no: --log-dir keeps the logs"; failures=$((failures + 1)); }
else
  echo "no: detached: $(cat "$tmp/detach.out")"; failures=$((failures + 1))
fi

# Detached, its join job cancelled before it ran: --wait says so, and
# keeps the files.
wrapper held 'sleep 30'
(cd "$tmp" && KELVANE="$tmp/held" "$script" -p 2 --detach "$ex/ubm.gmm" many.lst unjoined.sv) > "$tmp/detach3.out" 2>&1 || true
tasks=$(sed -n 's/.*submitted job \([0-9]*\) and join job \([0-9]*\).*/\1/p' "$tmp/detach3.out")
joiner=$(sed -n 's/.*submitted job \([0-9]*\) and join job \([0-9]*\).*/\2/p' "$tmp/detach3.out")
folder=$(sed -n 's/.*work folder \(.*\)$/\1/p' "$tmp/detach3.out")
scancel "$joiner"
expect "--wait on a run whose join job was cancelled" 2 \
  "^kelvane-slurm: the job could not run \(the join job $joiner ended without a result\); $kept" "$script" --wait "$folder"
scancel "$tasks"

# Detached with --retries: the join job resubmits the killed task, ends
# without waiting for it (the resubmitted task is held until then), and
# --wait follows it to the end.
wrapper dies_held 'kill -9 $$' 'while [ ! -e "'"$tmp"'/release" ]; do sleep 0.2; done'
rm -f "$tmp/release"
(cd "$tmp" && KELVANE="$tmp/dies_held" "$script" -p 3 --retries=1 --detach "$ex/ubm.gmm" many.lst retried_detached.sv) \
  > "$tmp/detach2.out" 2>&1 || true
folder=$(sed -n 's/.*work folder \(.*\)$/\1/p' "$tmp/detach2.out")
joiner=$(sed -n 's/.*submitted job \([0-9]*\) and join job \([0-9]*\).*/\2/p' "$tmp/detach2.out")
for i in $(seq 300); do [ -e "$tmp/dies_held.after" ] && break; sleep 0.2; done
for i in $(seq 150); do squeue -h -j "$joiner" 2>/dev/null | grep -q . || break; sleep 0.2; done
if squeue -h -j "$joiner" 2>/dev/null | grep -q .; then
  echo "no:   the join job $joiner waits for the task it resubmitted"; failures=$((failures + 1))
else
  echo "yes:   the join job ended while its resubmitted task ran"
fi
touch "$tmp/release"
expect "--wait on a detached run that retried" 0 - "$script" --wait "$folder"
same "  one run's bytes" "$tmp/retried_detached.sv" "$tmp/whole.sv"

# The join needs OUT's size and one part: 1.5 MB of records in a 2 MiB file
# system, where the parts and their copy would need twice that.
mkdir "$tmp/space"
if mount -t tmpfs -o size=2m tmpfs "$tmp/space" 2>/dev/null; then
  expect "the join in a 2 MiB file system" 0 - env KELVANE="$kelvane" "$script" -p 3 "$ex/ubm.gmm" many.lst space/out.sv
  same "  one run's bytes" "$tmp/space/out.sv" "$tmp/whole.sv"
  # An old OUT of that size stays until the join: the parts do not fit
  # beside it.  One line and no traceback, whatever runs short.
  status=0
  (cd "$tmp" && KELVANE="$kelvane" "$script" -p 3 "$ex/ubm.gmm" many.lst space/out.sv) 2> "$tmp/space.err" || status=$?
  if [ "$status" -ge 1 ] && [ "$status" -le 2 ] && [ "$(wc -l < "$tmp/space.err")" = 1 ] && ! grep -q Traceback "$tmp/space.err"; then
    echo "yes: a file system too small for the parts beside the old OUT ($(cat "$tmp/space.err"))"
  else
    echo "no: a file system too small beside the old OUT: status $status, $(cat "$tmp/space.err")"; failures=$((failures + 1))
  fi
  rm -rf "$tmp"/space/.kelvane-slurm.*
  umount "$tmp/space"
else
  echo "note: no tmpfs could be mounted: the join's space is not tried"
fi

# Signals: the job cancelled, its folder removed, at once.
for sig in HUP TERM INT; do
  echo old > "$tmp/signal.sv"
  (cd "$tmp" && exec env KELVANE="$kelvane" "$script" -p 3 --sbatch=--hold "$ex/ubm.gmm" many.lst signal.sv) \
    > /dev/null 2> "$tmp/signal.err" &
  pid=$!
  for i in $(seq 60); do [ -n "$(squeue -h -n kelvane-slurm -o %i)" ] && break; sleep 0.5; done
  kill -s "$sig" "$pid"
  status=0
  wait "$pid" || status=$?
  if grep -Eq "^kelvane-slurm: stopped by SIG$sig; Slurm job [0-9]+ cancelled$" "$tmp/signal.err" &&
     [ "$status" = $((128 + $(kill -l "$sig"))) ] && [ -z "$(squeue -h -n kelvane-slurm)" ] &&
     [ -z "$(ls -d "$tmp"/.kelvane-slurm.* 2>/dev/null | xargs -r grep -l signal.sv 2>/dev/null)" ]; then
    echo "yes: SIG$sig"
  else
    echo "no: SIG$sig: status $status, $(cat "$tmp/signal.err")"; failures=$((failures + 1))
  fi
  same "  OUT as it was" "$tmp/signal.sv" <(echo old)
done

# Another user who may write in OUT's folder swaps the work folder for a
# link to a folder of theirs, or for a pipe, while the job waits: no task
# writes there or waits on it, and the run ends with status 2 and OUT as it
# was.
if id nobody > /dev/null 2>&1 && command -v runuser > /dev/null; then
  chmod 755 "$tmp"
  mkdir -m 777 "$tmp/shared" "$tmp/theirs"
  for swap in "ln -s '$tmp/theirs'" "mkfifo"; do
    echo old > "$tmp/shared/swap.sv"
    (cd "$tmp" && exec env KELVANE="$kelvane" "$script" -p 2 --sbatch=--hold "$ex/ubm.gmm" many.lst shared/swap.sv) \
      > /dev/null 2> "$tmp/swap.err" &
    pid=$!
    for i in $(seq 60); do [ -n "$(squeue -h -n kelvane-slurm -o %i)" ] && break; sleep 0.5; done
    work=$(ls -d "$tmp"/shared/.kelvane-slurm.*)
    runuser -u nobody -- sh -c "mv '$work' '$tmp/shared/moved.$$' && $swap '$work'" || echo "no: the swap"
    scontrol release "$(squeue -h -n kelvane-slurm -o %F | head -n 1)"
    # A task that waits on the pipe would hold the run; the watchdog keeps
    # no descriptor of the test's, so that its sleep outliving it holds no one.
    (sleep 120; kill "$pid") > /dev/null 2>&1 & watchdog=$!
    status=0
    wait "$pid" || status=$?
    kill "$watchdog" 2> /dev/null || true
    if [ "$status" = 2 ] && grep -q "no longer this run's" "$tmp/swap.err" && [ -z "$(ls -A "$tmp/theirs")" ]; then
      echo "yes: the work folder swapped ($swap)"
    else
      echo "no: the work folder swapped ($swap): status $status, $(cat "$tmp/swap.err"), theirs: $(ls -A "$tmp/theirs")"
      failures=$((failures + 1))
    fi
    same "  OUT as it was" "$tmp/shared/swap.sv" <(echo old)
    rm -rf "$work" "$tmp"/shared/moved.*
  done
fi
# Faults a cluster user and a co-tenant met.
# A setgid project folder; a carriage return inside a path; relative paths
# with --chdir=/; sbatch's own abbreviations, and the ones it drops.
mkdir -p "$tmp/run/sg"
chmod 2775 "$tmp/run/sg"
OUTDIR=sg check "a setgid folder for OUT and the work folder" 2 "$tmp/many.lst"
cp "$ex/model0001.gmm" "$tmp/a"$'\r'"b.gmm"
printf '%s\n' "$ex/model0002.gmm" "$tmp/a"$'\r'"b.gmm" > "$tmp/cr.lst"
check "a carriage return inside a path" 3 "$tmp/cr.lst"
cp "$ex/model0002.gmm" "$tmp/m2.gmm"
slurm_only=(--sbatch=--chdir=/)
check "a relative --sizes-from with --chdir=/" 3 "$tmp/many.lst" --sizes-from=../m2.gmm
slurm_only=(--sbatch=--quie --sbatch=--pars --sbatch=-Q)
check "--quiet and --parsable abbreviated are dropped" 2 "$tmp/many.lst"
for own in -a0-1 --arr=0-1 --ar=0-1 -ofoo --outp=x --err=x -dafter:1 --dep=after:1 -W --wai -ifoo --inp=x; do
  expect "--sbatch=$own is refused" 1 "^kelvane-slurm: --sbatch=$own: --[a-z]+ is kelvane-slurm's own$" \
    "$script" --sbatch="$own" "$ex/ubm.gmm" many.lst own.sv
done
# Three file arguments are a plain call, as for kelvane, whatever they start with.
mkdir "$tmp/dash" && cp "$ex/ubm.gmm" "$tmp/dash/-ubm.gmm" && cp "$tmp/many.lst" "$tmp/dash/-l.lst"
(cd "$tmp/dash" && "$kelvane" -ubm.gmm -l.lst -o.sv && mv -- -o.sv one.sv)
expect "three dashed file names" 0 - env KELVANE="$kelvane" sh -c "cd dash && exec '$script' -ubm.gmm -l.lst -o.sv"
same "  one run's bytes" "$tmp/dash/-o.sv" "$tmp/dash/one.sv"

# A UBM moved after submission: the tasks stop before their outputs, as
# one run stops before OUT: its status and message, OUT as it was.
mkdir "$tmp/moved" && cp "$ex/ubm.gmm" "$tmp/moved/u.gmm" && echo old > "$tmp/moved/out.sv"
(cd "$tmp/moved" && KELVANE="$kelvane" "$script" -p 3 --detach --sbatch=--hold u.gmm ../many.lst out.sv) > "$tmp/moved.out" 2>&1
folder=$(sed -n 's/.*work folder \(.*\)$/\1/p' "$tmp/moved.out")
mv "$tmp/moved/u.gmm" "$tmp/moved/away.gmm"
(cd "$tmp/moved" && "$kelvane" u.gmm ../many.lst one.sv) 2> "$tmp/moved.want" || true
for j in $(squeue -h -n kelvane-slurm -t PD -o %F | sort -u); do scontrol release "$j"; done
expect "a UBM moved after submission" 1 "^$(sed 's/[.[\*^$]/\\&/g' "$tmp/moved.want")\$" "$script" --wait "$folder"
same "  OUT as it was" "$tmp/moved/out.sv" <(echo old)
[ ! -e "$folder" ] || { echo "no:   its folder removed"; failures=$((failures + 1)); }

# The join refused by sbatch: the array is cancelled with it, and --resume
# submits the parts once, for one run's bytes.
mkdir "$tmp/fake"
printf '#!/bin/sh\nn=$(cat "%s/fake/n" 2>/dev/null || echo 0); echo $((n + 1)) > "%s/fake/n"\n[ "$n" = 1 ] && { echo "sbatch: error: refused once" >&2; exit 1; }\nexec "%s" "$@"\n' \
  "$tmp" "$tmp" "$(command -v sbatch)" > "$tmp/fake/sbatch"
chmod +x "$tmp/fake/sbatch"
expect "the join job refused" 2 "^kelvane-slurm: the job could not run \(sbatch refused it: sbatch: error: refused once\)" \
  env PATH="$tmp/fake:$PATH" KELVANE="$kelvane" "$script" -p 3 --detach --sbatch=--hold "$ex/ubm.gmm" many.lst orphan.sv
sleep 1
[ -z "$(squeue -h -n kelvane-slurm)" ] || { echo "no:   the array cancelled: $(squeue -h -n kelvane-slurm)"; failures=$((failures + 1)); }
folder=$(grep -l orphan.sv "$tmp"/.kelvane-slurm.*/run.json | xargs dirname)
expect "  resumed" 0 - env KELVANE="$kelvane" "$script" --resume "$folder" --sbatch=--comment=resumed
same "  one run's bytes" "$tmp/orphan.sv" "$tmp/whole.sv"

# --wait: the controller stopped a while, two waiters at once, a damaged
# state, a folder that is no run's.
(cd "$tmp" && KELVANE="$kelvane" "$script" -p 3 --detach --sbatch=--hold "$ex/ubm.gmm" many.lst waited.sv) > "$tmp/waited.out" 2>&1
folder=$(sed -n 's/.*work folder \(.*\)$/\1/p' "$tmp/waited.out")
"$script" --wait "$folder" > /dev/null 2> "$tmp/wait1.err" & w1=$!
"$script" --wait "$folder" > /dev/null 2> "$tmp/wait2.err" & w2=$!
sleep 1
ctld=${pids[0]}
kill -STOP "$ctld"; sleep 20; kill -CONT "$ctld"
for j in $(squeue -h -n kelvane-slurm -t PD -o %F | sort -u); do scontrol release "$j"; done
s1=0 s2=0
wait "$w1" || s1=$?
wait "$w2" || s2=$?
if [ "$s1$s2" = 00 ] && [ ! -s "$tmp/wait1.err" ] && [ ! -s "$tmp/wait2.err" ] && [ ! -e "$folder" ]; then
  echo "yes: two --wait, the controller stopped for 20 s"
else
  echo "no: two --wait, the controller stopped: $s1 $(cat "$tmp/wait1.err"), $s2 $(cat "$tmp/wait2.err")"
  failures=$((failures + 1))
fi
same "  one run's bytes" "$tmp/waited.sv" "$tmp/whole.sv"
mkdir -m 700 "$tmp/damaged" && echo '{"parts": ' > "$tmp/damaged/run.json"
expect "--wait of a damaged run.json" 2 "damaged run.json|its run.json is damaged" "$script" --wait "$tmp/damaged"
expect "--wait of a folder that is no run's" 2 "^kelvane-slurm: /tmp: not a work folder \(not a private folder of yours\)$" \
  "$script" --wait /tmp
cp -a "$tmp/copied" "$tmp/opened" && chmod 755 "$tmp/opened"
expect "--wait of a run's folder opened to others" 2 \
  "^kelvane-slurm: .*/opened: not a work folder \(not a private folder of yours\)$" "$script" --wait "$tmp/opened"

# Two signals in a row, while the tasks run: the clean-up is done all the
# same.
wrapper held 'sleep 30'
for gap in 0.02 0.3; do
  rm -f "$tmp/held.done"
  (cd "$tmp" && exec env KELVANE="$tmp/held" "$script" -p 3 "$ex/ubm.gmm" many.lst twice.sv) \
    > /dev/null 2> "$tmp/twice.err" &
  pid=$!
  for i in $(seq 60); do [ -e "$tmp/held.done" ] && break; sleep 0.5; done
  kill -INT "$pid"; sleep "$gap"; kill -INT "$pid" 2>/dev/null || true
  status=0
  wait "$pid" || status=$?
  if [ "$status" = 130 ] && grep -Eq "^kelvane-slurm: stopped by SIGINT; Slurm job [0-9]+ cancelled$" "$tmp/twice.err" &&
     [ -z "$(grep -l twice.sv "$tmp"/.kelvane-slurm.*/run.json 2>/dev/null)" ]; then
    echo "yes: two Ctrl-C $gap s apart"
  else
    echo "no: two Ctrl-C $gap s apart: status $status, $(cat "$tmp/twice.err")"; failures=$((failures + 1))
  fi
done

# A co-tenant of OUT's folder swaps the finished work folder for another
# folder of the user's while --wait is about to remove it: only what the
# run made goes, through the folder it opened.
if id nobody > /dev/null 2>&1 && command -v runuser > /dev/null; then
  chmod 755 "$tmp"
  mkdir -p "$tmp/shared2" && chgrp nogroup "$tmp/shared2" && chmod 775 "$tmp/shared2"
  mkdir "$tmp/shared2/results" && echo mine > "$tmp/shared2/results/keep"
  (cd "$tmp/shared2" && KELVANE="$kelvane" "$script" -p 2 --detach --sbatch=--hold "$ex/ubm.gmm" ../many.lst out.sv) > "$tmp/co.out" 2>&1
  folder=$(sed -n 's/.*work folder \(.*\)$/\1/p' "$tmp/co.out")
  "$script" --wait "$folder" > /dev/null 2>&1 & w=$!
  sleep 1
  kill -STOP "$w"
  for j in $(squeue -h -n kelvane-slurm -t PD -o %F | sort -u); do scontrol release "$j"; done
  for i in $(seq 120); do [ -z "$(squeue -h -n kelvane-slurm)" ] && break; sleep 0.5; done
  runuser -u nobody -g nogroup -- sh -c "mv '$folder' '$tmp/shared2/moved' && mv '$tmp/shared2/results' '$folder'" ||
    echo "no: the swap"
  kill -CONT "$w"
  wait "$w" || true
  if [ "$(cat "$folder/keep" 2>/dev/null)" = mine ]; then
    echo "yes: the user's folder swapped in is left whole"
  else
    echo "no: the user's folder swapped in: $(ls -A "$folder" 2>&1)"; failures=$((failures + 1))
  fi
  same "  one run's bytes" "$tmp/shared2/out.sv" "$tmp/whole.sv"
fi

[ "$failures" = 0 ]
