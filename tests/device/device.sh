# A simulated Android device for the bgfreeze programs, to be sourced by bash scripts.
#
# The device is a bubblewrap sandbox with its own tmpfs root and its own process namespace: the
# host's /usr and /etc read-only, the chosen shell at /bin/sh, Android's tools where Debian has
# them (toybox, original-awk, inotify-tools) and stand-ins for am, pm and dumpsys, all on a PATH
# of their own. Its top-app cpuset, the companion app's files folder, shared storage and the
# freezer groups are folders of this run that the harness reads and writes from outside. The
# freezer groups are real cgroup v1 freezer groups, made under the host's hierarchy for this run
# only and bound into the sandbox where the program expects them.
#
# Typical use:
#   device_start /path/to/bgfreeze_sys dash
#   device_spawn_app com.example.mail; mail=$REPLY
#   device_set_top com.example.mail
#   device_start_daemon && device_wait_watcher
#   device_event                      # a write into the cpuset, handled to its end
#   device_app_state "$mail"          # frozen / thawed / untouched
#   device_stop
#
# Every wait polls with short sleeps up to DEVICE_WAIT seconds and then fails; nothing waits for
# ever. device_stop is safe to call more than once; a script should also call it from its EXIT trap.

DEVICE_LIB_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
DEVICE_WAIT=${DEVICE_WAIT:-10}
DEVICE_FREEZER_ROOT=${DEVICE_FREEZER_ROOT:-/sys/fs/cgroup/freezer}
DEVICE_TOOLS=(bwrap nsenter prlimit mksh dash toybox original-awk inotifywait flock pgrep)
# The applets of toybox that the device's PATH offers: those the program and the stand-ins use
# (mksh has no printf of its own, as on Android),
# and a few for looking around inside.
DEVICE_TOYBOX_APPLETS=(pgrep pkill grep egrep cat printf ls ps kill sleep env find tr head)

DEVICE_RUN=""

# Whether this host can run a device. Prints "NEEDS_ROOT: ..." and returns 77 (CTest's skip
# code) when it cannot; installs missing Debian tools when it can.
device_check_host()
{
    if [[ $EUID -ne 0 ]]; then
        echo "NEEDS_ROOT: the device needs root for its mount namespace and freezer groups"
        return 77
    fi
    if [[ ! -w $DEVICE_FREEZER_ROOT/cgroup.procs ]]; then
        echo "NEEDS_ROOT: no writable cgroup v1 freezer hierarchy at $DEVICE_FREEZER_ROOT"
        return 77
    fi
    local tool missing=()
    for tool in "${DEVICE_TOOLS[@]}"; do
        command -v "$tool" >/dev/null || missing+=("$tool")
    done
    if ((${#missing[@]})); then
        echo "installing the device's tools (missing: ${missing[*]})"
        flock /tmp/bgfreeze-device-apt.lock "$DEVICE_LIB_DIR/../../scripts/install-deps" >/dev/null || return 1
    fi
}

# A process's fields after its name in /proc/PID/stat ("STATE PPID ..."), or nothing.
device_stat_tail()
{
    local stat
    read -r stat 2>/dev/null <"/proc/$1/stat" || return 1
    REPLY=${stat##*) }
}

# The state letter of a process (R, S, D, T, Z, ...), or nothing when it is gone.
device_proc_state()
{
    device_stat_tail "$1" || { REPLY=""; return 1; }
    REPLY=${REPLY%% *}
}

# The ids of the children of a process, in REPLY (blank-separated).
device_children()
{
    local parent=$1 file rest ppid found=""
    for file in /proc/[0-9]*/stat; do
        read -r rest 2>/dev/null <"$file" || continue
        rest=${rest##*) }
        rest=${rest#* }
        ppid=${rest%% *}
        if [[ $ppid == "$parent" ]]; then
            found+="${file:6:-5} "
        fi
    done
    REPLY=$found
}

# Waits until process $1 (an nsenter helper, or the sandbox's init) has a child, and gives the
# child's id in REPLY. The child then execs its command in the same process.
device_wait_child()
{
    local helper=$1 deadline=$((SECONDS + DEVICE_WAIT))
    while ((SECONDS < deadline)); do
        device_children "$helper"
        if [[ -n $REPLY ]]; then
            REPLY=${REPLY%% *}
            return 0
        fi
        kill -0 "$helper" 2>/dev/null || break
        sleep 0.01
    done
    REPLY=""
    return 1
}

# Waits until process $1 runs under the command line whose first word is $2.
device_wait_argv0()
{
    local pid=$1 argv0=$2 deadline=$((SECONDS + DEVICE_WAIT)) first
    while ((SECONDS < deadline)); do
        [[ -e /proc/$pid ]] || return 1
        first=$(tr '\0' '\n' 2>/dev/null <"/proc/$pid/cmdline" | head -n 1)
        [[ $first == "$argv0" ]] && return 0
        sleep 0.01
    done
    return 1
}

# device_start PROGRAM SHELL [no-inotifywait]
# Lays out a fresh device for PROGRAM (bgfreeze_sys, bgfreeze_dev or bgfreeze_signal, chosen by
# its file name) with SHELL (dash or mksh) as /bin/sh, and starts the sandbox. The daemon is not
# started yet (device_start_daemon). With "no-inotifywait" the tool is left off the PATH.
device_start()
{
    local program=$1 shell=$2 option=${3:-}
    DEVICE_PROGRAM=$(readlink -f "$program")
    DEVICE_SHELL=$shell
    DEVICE_RUN=$(mktemp -d /tmp/bgfreeze-device.XXXXXX)
    DEVICE_APPS=()
    DEVICE_HELPERS=()
    DEVICE_DAEMON=""
    DEVICE_DAEMON_HELPER=""
    DEVICE_WATCHER=""
    DEVICE_GROUPS=()
    DEVICE_BWRAP=""
    DEVICE_INIT=""

    local shell_binary
    case $shell in
        dash | mksh) shell_binary=$(readlink -f "$(command -v "$shell")") ;;
        *) echo "device_start: unknown shell $shell" >&2; return 1 ;;
    esac
    [[ -x $DEVICE_PROGRAM ]] || { echo "device_start: no program $program" >&2; return 1; }

    local run=$DEVICE_RUN
    mkdir -p "$run"/{state,path,cwd,cpuset/top-app,files,media/Android}
    : >"$run/state/tasks"
    : >"$run/state/lru"
    : >"$run/state/system_packages"
    : >"$run/state/calls"
    : >"$run/cpuset/top-app/cgroup.procs"
    DEVICE_CPUSET=$run/cpuset/top-app/cgroup.procs
    DEVICE_LIST_FILE=$run/files/vexlo名单.conf
    DEVICE_LOG_DIR=$run/media/Android
    DEVICE_LOG_FILE=$DEVICE_LOG_DIR/vexlo日志.log
    DEVICE_CALLS=$run/state/calls

    # Android's userland: the shell, toybox's applets, original-awk as awk, inotifywait, the
    # stand-ins.
    local applet
    for applet in "${DEVICE_TOYBOX_APPLETS[@]}"; do
        ln -s /usr/bin/toybox "$run/path/$applet"
    done
    # DEVICE_PKILL=procps swaps in procps's pkill, to tell a fault of toybox's pkill from one
    # of the program.
    [[ ${DEVICE_PKILL:-toybox} == procps ]] && ln -sf /usr/bin/pkill "$run/path/pkill"
    ln -sf /usr/bin/original-awk "$run/path/awk"
    ln -sf /bin/sh "$run/path/sh"
    if [[ $option != no-inotifywait ]]; then
        ln -sf /usr/bin/inotifywait "$run/path/inotifywait"
    fi
    for applet in am pm dumpsys; do
        ln -sf "/device/tools/$applet" "$run/path/$applet"
    done

    local args=(--die-with-parent --unshare-pid --unshare-ipc --tmpfs /
        --ro-bind /usr /usr --ro-bind /etc /etc)
    local dir
    for dir in lib lib32 lib64 libx32 sbin; do
        if [[ -L /$dir ]]; then
            args+=(--symlink "$(readlink "/$dir")" "/$dir")
        elif [[ -d /$dir ]]; then
            args+=(--ro-bind "/$dir" "/$dir")
        fi
    done
    if [[ -L /bin ]]; then
        args+=(--dir /bin --ro-bind "$shell_binary" /bin/sh --symlink /usr/bin/bash /bin/bash)
    else
        args+=(--ro-bind /bin /bin --ro-bind "$shell_binary" /bin/sh)
    fi
    args+=(--proc /proc --dev /dev --tmpfs /tmp
        --bind "$run/cpuset/top-app" /dev/cpuset/top-app
        --bind "$run/files" /data/user/0/com.vexlo.android/files
        --bind "$run/media" /data/media/0
        --bind "$run/state" /device/state
        --bind "$run/cwd" /device/cwd
        --ro-bind "$run/path" /device/path
        --ro-bind "$DEVICE_LIB_DIR/bin" /device/tools
        --ro-bind "$(dirname "$DEVICE_PROGRAM")" /device/build)

    case $(basename "$DEVICE_PROGRAM") in
        *signal*) DEVICE_BACKEND=signal ;;
        *dev*) DEVICE_BACKEND=freezer; device_make_groups /dev/freezer/frozen /dev/freezer/thaw || return 1 ;;
        *) DEVICE_BACKEND=freezer; device_make_groups /sys/fs/cgroup/frozen /sys/fs/cgroup/unfrozen || return 1 ;;
    esac
    if [[ $DEVICE_BACKEND == freezer ]]; then
        args+=(--bind "$DEVICE_FROZEN_GROUP" "$DEVICE_FROZEN_INSIDE"
            --bind "$DEVICE_THAW_GROUP" "$DEVICE_THAW_INSIDE")
    fi

    bwrap "${args[@]}" --info-fd 3 /usr/bin/sleep 1000000 3>"$run/info" </dev/null >/dev/null 2>"$run/bwrap.err" &
    DEVICE_BWRAP=$!
    local deadline=$((SECONDS + DEVICE_WAIT))
    while ((SECONDS < deadline)); do
        DEVICE_INIT=$(grep -o '"child-pid": *[0-9]*' "$run/info" 2>/dev/null | grep -o '[0-9]*$')
        [[ -n $DEVICE_INIT ]] && break
        kill -0 "$DEVICE_BWRAP" 2>/dev/null || break
        sleep 0.01
    done
    if [[ -z $DEVICE_INIT ]]; then
        echo "device_start: the sandbox did not start: $(cat "$run/bwrap.err")" >&2
        return 1
    fi
    # bwrap tells its init's id before it has laid out the mounts; they are all in place once the
    # init's child runs the sandbox's command.
    if ! device_wait_child "$DEVICE_INIT" || ! device_wait_argv0 "$REPLY" /usr/bin/sleep; then
        echo "device_start: the sandbox did not finish its set-up: $(cat "$run/bwrap.err")" >&2
        return 1
    fi
    DEVICE_PIDNS=$(readlink "/proc/$DEVICE_INIT/ns/pid")
}

# Makes this run's two freezer groups, the frozen one FROZEN and the thaw one THAWED, to be
# bound at the two paths inside the sandbox.
device_make_groups()
{
    DEVICE_FROZEN_INSIDE=$1
    DEVICE_THAW_INSIDE=$2
    local base
    base=$DEVICE_FREEZER_ROOT/bgfreeze-device-$(basename "$DEVICE_RUN")
    DEVICE_FROZEN_GROUP=$base-frozen
    DEVICE_THAW_GROUP=$base-thaw
    mkdir "$DEVICE_FROZEN_GROUP" || return 1
    DEVICE_GROUPS+=("$DEVICE_FROZEN_GROUP")
    mkdir "$DEVICE_THAW_GROUP" || return 1
    DEVICE_GROUPS+=("$DEVICE_THAW_GROUP")
    echo FROZEN >"$DEVICE_FROZEN_GROUP/freezer.state"
    echo THAWED >"$DEVICE_THAW_GROUP/freezer.state"
}

# Runs a command inside the sandbox, in the foreground, with the device's PATH.
device_run()
{
    nsenter -t "$DEVICE_INIT" -m -p -- /usr/bin/env -i -C /device/cwd PATH=/device/path "$@"
}

# device_spawn PREFIX OUT ERR COMMAND [ARG...]: starts COMMAND inside the sandbox in the
# background, in the working folder /device/cwd, with nothing of the environment but the
# device's PATH, its standard output and error to the files OUT and ERR; its host id in REPLY.
# PREFIX is shell text run just before (for instance a ulimit).
device_spawn()
{
    local prefix=$1 out=$2 err=$3
    shift 3
    (
        # Keep the harness's own descriptors (CTest's pipes among them) out of the device.
        for fd in /proc/$BASHPID/fd/*; do
            fd=${fd##*/}
            ((fd > 2)) && eval "exec $fd>&-"
        done
        exec nsenter -t "$DEVICE_INIT" -m -p -- /usr/bin/bash -c "$prefix"'
            cd /device/cwd || exit 1
            exec /usr/bin/env -i PATH=/device/path "$@"' device-spawn "$@" </dev/null >"$out" 2>"$err"
    ) &
    local helper=$!
    DEVICE_HELPERS+=("$helper")
    device_wait_child "$helper"
}

# device_spawn_app NAME: an app process whose command line is NAME (and a number); its host id
# in REPLY.
device_spawn_app()
{
    local name=$1
    device_spawn "" /dev/null /dev/null /usr/bin/bash -c 'exec -a "$0" /usr/bin/sleep 100000' "$name" || return 1
    local pid=$REPLY
    device_wait_argv0 "$pid" "$name" || return 1
    DEVICE_APPS+=("$pid")
    REPLY=$pid
}

# device_start_daemon [PREFIX [WRAPPER...]]: starts the program inside the sandbox, its output
# in $DEVICE_RUN/daemon.out and daemon.err; its host id in DEVICE_DAEMON. WRAPPER, a command
# such as valgrind with its options, runs the program in the same process.
device_start_daemon()
{
    local prefix=${1:-} name
    (($#)) && shift
    name=/device/build/$(basename "$DEVICE_PROGRAM")
    DEVICE_WATCHER=""
    device_spawn "$prefix" "$DEVICE_RUN/daemon.out" "$DEVICE_RUN/daemon.err" "$@" "$name"
    DEVICE_DAEMON=$REPLY
    DEVICE_DAEMON_HELPER=${DEVICE_HELPERS[-1]}
    # A daemon that ends at once may be gone before it is seen; device_wait_daemon_exit tells.
    (($# == 0)) && [[ -n $DEVICE_DAEMON ]] && device_wait_argv0 "$DEVICE_DAEMON" "$name"
    return 0
}

# Waits for the daemon to end and gives its exit status in REPLY.
device_wait_daemon_exit()
{
    local deadline=$((SECONDS + DEVICE_WAIT))
    while kill -0 "$DEVICE_DAEMON_HELPER" 2>/dev/null; do
        ((SECONDS < deadline)) || return 1
        sleep 0.01
    done
    wait "$DEVICE_DAEMON_HELPER"
    REPLY=$?
    DEVICE_DAEMON=""
    # Its id is free again: device_stop must not signal it.
    local helper helpers=()
    for helper in "${DEVICE_HELPERS[@]}"; do
        [[ $helper == "$DEVICE_DAEMON_HELPER" ]] || helpers+=("$helper")
    done
    DEVICE_HELPERS=("${helpers[@]}")
}

device_daemon_alive()
{
    [[ -n $DEVICE_DAEMON ]] && device_proc_state "$DEVICE_DAEMON" && [[ $REPLY != Z ]]
}

# The host id of an inotifywait of this device that has set up its watch, other than $1.
device_find_watcher()
{
    local old=${1:-} file pid info line
    # One grep over all names keeps the polling cheap on a busy machine.
    for file in $(grep -lx inotifywait /proc/[0-9]*/comm 2>/dev/null); do
        pid=${file:6:-5}
        [[ $pid != "$old" ]] || continue
        [[ $(readlink "/proc/$pid/ns/pid" 2>/dev/null) == "$DEVICE_PIDNS" ]] || continue
        for info in /proc/"$pid"/fdinfo/*; do
            while read -r line; do
                if [[ $line == "inotify wd:"* ]]; then
                    REPLY=$pid
                    return 0
                fi
            done 2>/dev/null <"$info"
        done
    done
    return 1
}

# Waits until the daemon's watcher (a new one, other than the last seen) has set up its watch,
# so that the next write into the cpuset is seen. The daemon has then finished the event before.
device_wait_watcher()
{
    local deadline=$((SECONDS + DEVICE_WAIT))
    while ((SECONDS < deadline)); do
        if device_find_watcher "$DEVICE_WATCHER"; then
            DEVICE_WATCHER=$REPLY
            return 0
        fi
        sleep 0.01
    done
    return 1
}

# One write into the top-app cpuset, as the system makes when an app comes to the front.
device_write_cpuset()
{
    printf '%s\n' "${1:-$RANDOM}" >>"$DEVICE_CPUSET"
}

# A write into the cpuset, handled to its end: returns once the daemon watches again.
device_event()
{
    if [[ -z $DEVICE_WATCHER ]]; then
        device_wait_watcher || return 1
    fi
    device_write_cpuset
    device_wait_watcher
}

# device_set_tasks LINE...: the task components that "am stack list" shows, top first;
# "unknown" for a task without a known activity.
device_set_tasks()
{
    device_replace_state tasks "$@"
}

# device_set_lru LINE...: the processes that "dumpsys activity lru" shows, each "STATE PID NAME".
device_set_lru()
{
    device_replace_state lru "$@"
}

# device_replace_state FILE LINE...: a daemon that checks back to back may read the state at any
# moment, so it sees the whole old file or the whole new one, never one half written.
device_replace_state()
{
    local file=$DEVICE_RUN/state/$1
    shift
    printf '%s\n' "$@" >"$file.new" && mv -f "$file.new" "$file"
}

# device_set_system_packages NAME...
device_set_system_packages()
{
    printf '%s\n' "$@" >"$DEVICE_RUN/state/system_packages"
}

# device_set_top PACKAGE [OTHER...] [-- FGS...]: PACKAGE comes to the front. The stack list
# shows an unknown task, PACKAGE's task, the OTHER packages' tasks and another unknown one; the
# process list shows PACKAGE in the top state, each FGS package with a foreground service and
# the OTHER packages cached.
device_set_top()
{
    local top=$1 others=() fgs=() seen_dashes="" package
    shift
    for package in "$@"; do
        if [[ $package == -- ]]; then
            seen_dashes=1
        elif [[ -n $seen_dashes ]]; then
            fgs+=("$package")
        else
            others+=("$package")
        fi
    done
    local tasks=(unknown "$top/$top.MainActivity") lru=("TOP 4321 $top")
    for package in "${others[@]}"; do
        tasks+=("$package/$package.MainActivity")
        lru+=("cch 5$((${#lru[@]} + 100)) $package")
    done
    tasks+=(unknown)
    for package in "${fgs[@]}"; do
        lru+=("FGS 6$((${#lru[@]} + 100)) $package" "FGS 7$((${#lru[@]} + 100)) $package:service")
    done
    # The process list first: a check that sees the new top task then sees the new list too.
    device_set_lru "${lru[@]}"
    device_set_tasks "${tasks[@]}"
}

# Puts an app's process into the frozen state from outside, as an earlier freeze would have.
device_freeze_app()
{
    if [[ $DEVICE_BACKEND == freezer ]]; then
        echo "$1" >"$DEVICE_FROZEN_GROUP/cgroup.procs"
    else
        kill -STOP "$1"
    fi
}

# The kernel's view of a process of the device, in REPLY:
#   freezer back end: "frozen" (in the frozen group, which is FROZEN), "thawed" (in the thaw
#   group, not frozen), "untouched" (in neither group);
#   signal back end: "frozen" (stopped, state T), "running" (any other live state);
#   "gone" when the process has ended.
device_app_state()
{
    local pid=$1
    device_proc_state "$pid" || { REPLY=gone; return; }
    local letter=$REPLY
    [[ $letter == Z ]] && { REPLY=gone; return; }
    if [[ $DEVICE_BACKEND == signal ]]; then
        [[ $letter == T ]] && REPLY=frozen || REPLY=running
        return
    fi
    local state
    if grep -qx "$pid" "$DEVICE_FROZEN_GROUP/cgroup.procs"; then
        read -r state <"$DEVICE_FROZEN_GROUP/freezer.state"
        [[ $state == FROZEN || $state == FREEZING ]] && REPLY=frozen || REPLY=in-frozen-group-$state
    elif grep -qx "$pid" "$DEVICE_THAW_GROUP/cgroup.procs"; then
        read -r state <"$DEVICE_THAW_GROUP/freezer.state"
        [[ $state == THAWED ]] && REPLY=thawed || REPLY=in-thaw-group-$state
    else
        REPLY=untouched
    fi
}

# device_wait_state PID STATE: waits until the process is in STATE (see device_app_state). The
# kernel stops and freezes asynchronously, so a freeze may take a moment to show.
device_wait_state()
{
    local pid=$1 want=$2 deadline=$((SECONDS + DEVICE_WAIT))
    while :; do
        device_app_state "$pid"
        [[ $REPLY == "$want" ]] && return 0
        if [[ $want == frozen && $DEVICE_BACKEND == freezer && $REPLY == frozen ]]; then
            return 0
        fi
        ((SECONDS < deadline)) || return 1
        sleep 0.01
    done
}

# The state a thawed app shows: in the thaw group, or simply running for the signal back end.
device_thawed_state()
{
    [[ $DEVICE_BACKEND == freezer ]] && REPLY=thawed || REPLY=running
}

# The ids in the device's freezer groups (empty for the signal back end).
device_group_members()
{
    [[ $DEVICE_BACKEND == freezer ]] || { REPLY=""; return; }
    REPLY=$(cat "$DEVICE_FROZEN_GROUP/cgroup.procs" "$DEVICE_THAW_GROUP/cgroup.procs")
}

# The number of entries in the environment that the daemon handed to its last top-task query.
device_child_environment()
{
    REPLY=$(tr -cd '\0' <"$DEVICE_RUN/state/am.environ" 2>/dev/null | wc -c)
}

# The number of open descriptors of the daemon.
device_daemon_fds()
{
    local fds=(/proc/"$DEVICE_DAEMON"/fd/*)
    REPLY=${#fds[@]}
}

# Stops everything of the device and leaves the host as it was: processes out of this run's
# freezer groups and thawed, every process of the run ended by its id, the groups and the run's
# folder removed.
device_stop()
{
    [[ -n $DEVICE_RUN ]] || return 0
    local own_group pid group
    own_group=$DEVICE_FREEZER_ROOT$(awk -F: '$2 == "freezer" {print $3}' /proc/self/cgroup)
    [[ -w $own_group/cgroup.procs ]] || own_group=$DEVICE_FREEZER_ROOT
    for group in "${DEVICE_GROUPS[@]}"; do
        while read -r pid; do
            echo "$pid" >"$own_group/cgroup.procs" 2>/dev/null
        done <"$group/cgroup.procs"
        echo THAWED >"$group/freezer.state" 2>/dev/null
    done
    for pid in $DEVICE_DAEMON "${DEVICE_APPS[@]}"; do
        kill -CONT "$pid" 2>/dev/null
        kill -KILL "$pid" 2>/dev/null
    done
    # The sandbox's init takes every other process of the device with it.
    if [[ -n $DEVICE_BWRAP ]]; then
        kill -KILL "$DEVICE_BWRAP" 2>/dev/null
        [[ -n $DEVICE_INIT ]] && kill -KILL "$DEVICE_INIT" 2>/dev/null
        wait "$DEVICE_BWRAP" 2>/dev/null
    fi
    for pid in "${DEVICE_HELPERS[@]}"; do
        kill -KILL "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    local tries
    for group in "${DEVICE_GROUPS[@]}"; do
        for tries in {1..200}; do
            [[ -d $group ]] || break
            while read -r pid; do
                echo "$pid" >"$own_group/cgroup.procs" 2>/dev/null
            done <"$group/cgroup.procs"
            rmdir "$group" 2>/dev/null && break
            sleep 0.01
        done
        [[ -d $group ]] && echo "device_stop: could not remove $group" >&2
    done
    rm -rf "$DEVICE_RUN"
    DEVICE_RUN=""
    DEVICE_GROUPS=()
    DEVICE_APPS=()
    DEVICE_HELPERS=()
    DEVICE_DAEMON=""
}
