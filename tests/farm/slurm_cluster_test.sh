#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Keys a sequence on a real one-node Slurm cluster started here, and checks
# the frames bit for bit against one local veilcast run of the whole range.
# Then a job with an unreadable frame: the failure must show in sacct, the
# other chunks must be complete, and the same command with a narrower
# --frames must finish the sequence. Every daemon listens on loopback only,
# keeps its files in a temporary folder, and is stopped by its pid on exit.
#
# Usage: tests/farm/slurm_cluster_test.sh [BUILD_DIR]   (default: build)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build_dir=$(cd "${1:-$root/build}" && pwd)
veilcast=$build_dir/cli/veilcast

skip() {
    echo "slurm_cluster_test: SKIPPED: $*"
    exit 0
}
fail() {
    echo "slurm_cluster_test: FAILED: $*" >&2
    exit 1
}

[ "$(id -u)" = 0 ] || skip "starting slurmd and munged needs root"
[ -x "$veilcast" ] || fail "$veilcast is not built"

packages=(slurm-wlm munge openimageio-tools iproute2 python3)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    # Services are not started by the packages: this test starts its own.
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

tmp=$(mktemp -d /tmp/veilcast-slurm.XXXXXX)
# munged wants every folder above its socket searchable by all.
chmod 0711 "$tmp"
pids=()
stop_daemons() {
    local status=$?
    for pid in "${pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    for pid in "${pids[@]}"; do
        for _ in $(seq 50); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    if [ "$status" != 0 ]; then
        for log in "$tmp"/*.log "$tmp"/work/*/*.log; do
            [ -f "$log" ] && { echo "--- $log"; tail -n 20 "$log"; }
        done
    fi
    [ -n "${KEEP_TMP:-}" ] || rm -rf "$tmp"
    exit "$status"
}
trap stop_daemons EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# munge: its own key, socket and files.
mkdir -m 0711 "$tmp/munge"
mungekey --create --keyfile="$tmp/munge/munge.key" --force
chmod 0400 "$tmp/munge/munge.key"
munged --foreground --socket="$tmp/munge/socket" --key-file="$tmp/munge/munge.key" \
    --pid-file="$tmp/munge/munged.pid" --log-file="$tmp/munged.log" --seed-file="$tmp/munge/seed" \
    --num-threads=2 &
pids+=($!)
for _ in $(seq 50); do
    [ -S "$tmp/munge/socket" ] && break
    kill -0 "${pids[0]}" 2>/dev/null || fail "munged stopped: $(tail -n 3 "$tmp/munged.log")"
    sleep 0.1
done
[ -S "$tmp/munge/socket" ] || fail "munged made no socket"

export SLURM_CONF=$tmp/slurm.conf
ctld_port=$(free_port)
slurmd_port=$(free_port)
mkdir -p "$tmp/state" "$tmp/spool"
cat >"$SLURM_CONF" <<EOF
ClusterName=veilcast
SlurmctldHost=localhost
SlurmctldPort=$ctld_port
SlurmdPort=$slurmd_port
CommunicationParameters=NoCtldInAddrAny,NoInAddrAny
AuthType=auth/munge
AuthInfo=socket=$tmp/munge/socket
SlurmUser=root
SlurmdUser=root
StateSaveLocation=$tmp/state
SlurmdSpoolDir=$tmp/spool
SlurmctldPidFile=$tmp/slurmctld.pid
SlurmdPidFile=$tmp/slurmd.pid
SlurmctldLogFile=$tmp/slurmctld.log
SlurmdLogFile=$tmp/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
# sacct -c reads the job completion records; a real farm's slurmdbd would
# need a database server listening beyond loopback.
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/filetxt
JobCompLoc=$tmp/jobcomp.txt
SchedulerType=sched/backfill
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
MpiDefault=none
ReturnToService=2
MinJobAge=3600
NodeName=veilcast-node NodeAddr=127.0.0.1 NodeHostname=localhost CPUs=2 State=UNKNOWN
PartitionName=farm Nodes=ALL Default=YES MaxTime=INFINITE State=UP
EOF


slurmctld -D -i -f "$SLURM_CONF" >"$tmp/slurmctld.out" 2>&1 &
pids+=($!)
slurmd -D -N veilcast-node -f "$SLURM_CONF" >"$tmp/slurmd.out" 2>&1 &
pids+=($!)

up=
for _ in $(seq 100); do
    if sinfo -h -o '%T' 2>/dev/null | grep -qx idle; then
        up=1
        break
    fi
    sleep 0.3
done
[ -n "$up" ] || fail "the one-node cluster did not come up"

# Nothing the daemons opened may answer beyond loopback.
for pid in "${pids[@]}"; do
    for addr in $(ss -Hltunp | awk -v p="pid=$pid," 'index($0, p) { print $5 }'); do
        case $addr in
        127.0.0.1:*) ;;
        *) fail "$(ps -o comm= -p "$pid") (pid $pid) listens on $addr" ;;
        esac
    done
done
ss -Hltnp | grep -qF "127.0.0.1:$ctld_port" || fail "slurmctld does not listen on 127.0.0.1:$ctld_port"

# 24 frames whose backing brightens frame by frame: a screen picked on any
# other frame than the first keys differently.
work=$tmp/work
# The keyed frames go to folders whose names hold what a shell or sbatch's
# file name patterns would read: a space, quotes, '%u' and '$(...)', and in
# the second a '\\' (sbatch then takes a log's name literally, dropping it,
# so the job script writes its logs itself).
farm="farm 50%u it's \"q\" \$(touch $tmp/canary)"
broken_out="farm-broken \\ x"
mkdir -p "$work/plates" "$work/local" "$work/$farm" "$work/broken" "$work/$broken_out"
"$veilcast" demo "$work/demo" -q >/dev/null
for f in $(seq 1 24); do
    oiiotool "$work/demo/plate.exr" --resize 320x180 --mulc "1,$(printf '0.%02d' $((70 + f))),1" -d half \
        -o "$work/plates/plate.$(printf %04d "$f").exr"
done

wait_for() {
    local job=$1
    for _ in $(seq 600); do
        [ -z "$(squeue -h -j "$job" -o %i 2>/dev/null)" ] && return 0
        sleep 0.5
    done
    fail "job $job did not finish"
}

# Each task of an array job: JOB_TASK, its own job id, its state and exit
# code as the controller holds them, then as sacct reads them back from the
# completion records.
task_states() {
    scontrol -o show job "$1" | sed -n 's/.*JobId=\([0-9]*\) ArrayJobId=\([0-9]*\) ArrayTaskId=\([0-9]*\) .*JobState=\([A-Z]*\) .* ExitCode=\([0-9:]*\).*/\2_\3 \1 \4 \5/p' |
        sort -t_ -k2n | while read -r task id state code; do
            echo "$task $id $state $code $(sacct -c -n -j "$id" -o state%20,exitcode 2>/dev/null | awk 'NF { print $1, $2 }')"
        done
}

job_id() { sed -n 's/^submitted job \([0-9]*\):.*/\1/p'; }

"$veilcast" "$work/plates/plate.####.exr" -o "$work/local/keyed.####.exr" --frames 1-24 \
    --pick-screen auto --date-time source -q >"$work/local.txt"

cd "$work"
submitted=$(date +%s.%N)
"$veilcast" submit --farm slurm plates/plate.####.exr -o "$farm/keyed.####.exr" --frames 1-24 --chunk 5 \
    --pick-screen auto --cpus-per-task 2 >"$work/submit.txt"
cat "$work/submit.txt"
job=$(job_id <"$work/submit.txt")
[ -n "$job" ] || fail "submit printed no job id"
grep -qF "$(sed -n 's/^picked screen colour \([^ ]*\) .*/\1/p' "$work/local.txt")" "$work/submit.txt" ||
    fail "the farm's pick differs from the local run's"
wait_for "$job"
elapsed=$(echo "$(date +%s.%N) - $submitted" | bc | cut -c1-5)
keying=$(awk '/^keyed [0-9]+ frames/ { s += $(NF - 3) } END { print s }' "$farm"/keyed.####.exr.farm."$job"_*.log)
echo "measured: 5 tasks of 2 CPUs each, one at a time, $elapsed s from submission to the last one's end; $keying s of it in veilcast's own keying loops"
check_job=$(sed -n 's/^check job \([0-9]*\) .*/\1/p' "$work/submit.txt")
wait_for "$check_job"

task_states "$job" >"$work/states.txt"
[ "$(grep -c ' COMPLETED 0:0$' "$work/states.txt")" = 5 ] || { cat "$work/states.txt"; fail "not all 5 tasks of job $job completed"; }
for f in $(seq -f %04g 1 24); do
    cmp "$work/local/keyed.$f.exr" "$work/$farm/keyed.$f.exr" || fail "frame $f keyed on the farm differs from the local run"
done
for task in 0 1 2 3 4; do
    grep -q "^veilcast job: task $task keys frames .* with --threads 2 on " "$farm/keyed.####.exr.farm.${job}_$task.log" ||
        fail "task $task did not key with the 2 CPUs it was given"
done
summary=$farm/keyed.####.exr.farm.summary
grep -qxF "complete: 24 of 24 frames of $work/$farm/keyed.####.exr present and readable (1-24)" "$summary" ||
    fail "summary: $(cat "$summary" 2>&1)"
[ ! -e "$tmp/canary" ] || fail "a command in the output folder's name ran"
[ "$(find "$work/$farm" -name '*.log' | wc -l)" = 6 ] || fail "the tasks' and the check's logs are not all in $farm"
echo "ok: 24 frames in 5 tasks, bit-identical to the local run; $(cat "$summary")"

# A shot whose subject slides across the backing, keyed with --screen-map
# shot: every task gathers the plate over the whole shot, as one run does,
# so each chunk's frames are bit for bit the local run's.
mkdir -p "$work/moving" "$work/moving-local" "$work/moving-farm"
for f in $(seq 1 12); do
    oiiotool "$work/demo/plate.exr" --resize 400x180 --cut "320x180+$((4 * f))+0" -d half \
        -o "$work/moving/plate.$(printf %04d "$f").exr"
done
"$veilcast" moving/plate.####.exr -o moving-local/keyed.####.exr --frames 1-12 --screen-map shot --clip auto \
    --date-time source -q >/dev/null
"$veilcast" submit --farm slurm moving/plate.####.exr -o moving-farm/keyed.####.exr --frames 1-12 --chunk 4 \
    --screen-map shot --clip auto >"$work/moving.txt"
job=$(job_id <"$work/moving.txt")
[ -n "$job" ] || fail "submit printed no job id for the moving shot"
wait_for "$job"
for f in $(seq -f %04g 1 12); do
    cmp "moving-local/keyed.$f.exr" "moving-farm/keyed.$f.exr" ||
        fail "frame $f of the moving shot keyed on the farm differs from the local run"
done
echo "ok: a moving shot keyed with --screen-map shot in 3 tasks, bit-identical to the local run"

# A chunk that fails: frame 13 of a copy of the plates cannot be read.
cp plates/*.exr broken/
head -c 300 plates/plate.0013.exr >broken/plate.0013.exr
submit_broken() {
    "$veilcast" submit --farm slurm broken/plate.####.exr -o "$broken_out/keyed.####.exr" --frames "$1" \
        --chunk 5 --pick-screen auto
}
submit_broken 1-24 >"$work/broken.txt"
job=$(job_id <"$work/broken.txt")
check_job=$(sed -n 's/^check job \([0-9]*\) .*/\1/p' "$work/broken.txt")
wait_for "$job"
wait_for "$check_job"
task_states "$job" >"$work/states.txt"
cat "$work/states.txt"
grep -qx "${job}_2 [0-9]* FAILED 1:0 FAILED 1:0" "$work/states.txt" || fail "task 2 (frames 11-15) is not shown failed"
[ "$(grep -c ' COMPLETED 0:0 COMPLETED 0:0$' "$work/states.txt")" = 4 ] || fail "the other four tasks are not shown completed"
[ ! -e "$broken_out/keyed.####.exr.farm.summary" ] || fail "the check ran although a task failed"
for f in $(seq -f %04g 1 10) $(seq -f %04g 16 24); do
    cmp "$work/local/keyed.$f.exr" "$broken_out/keyed.$f.exr" || fail "frame $f of a good chunk is not complete"
done
! ls "$broken_out/keyed.0013.exr" 2>/dev/null || fail "the unreadable frame left an output"
ls -a "$broken_out" | grep -q '^\.veilcast-' && fail "the failed task left a pending output"
grep -q "^veilcast job: task 2 keys frames 11-15 " "$broken_out/keyed.####.exr.farm.${job}_2.log" ||
    fail "task 2 wrote no log of its own in $broken_out"
echo "ok: task ${job}_2 failed and shows in sacct; the other 19 frames are complete"

cp plates/plate.0013.exr broken/
submit_broken 11-15 >"$work/rerun.txt"
cat "$work/rerun.txt"
grep -q "^using the settings frozen earlier" "$work/rerun.txt" || fail "the re-run did not keep the frozen settings"
job=$(job_id <"$work/rerun.txt")
check_job=$(sed -n 's/^check job \([0-9]*\) .*/\1/p' "$work/rerun.txt")
wait_for "$job"
wait_for "$check_job"
for f in $(seq -f %04g 1 24); do
    cmp "$work/local/keyed.$f.exr" "$broken_out/keyed.$f.exr" || fail "frame $f differs after the re-run"
done
"$veilcast" verify "$broken_out/keyed.####.exr" --frames 1-24 >/dev/null || fail "verify: the sequence is not complete"
echo "ok: the same command with --frames 11-15 finished the sequence, bit-identical to the local run"
echo "slurm_cluster_test: passed"
