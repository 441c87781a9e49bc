# A throwaway machine for the system suite: systemd as PID 1 in its own PID,
# mount, UTS, IPC, network and cgroup namespaces, over a tmpfs overlay of /.
# Sourced by run.sh, which must already run in a private mount namespace of its
# own (`unshare --mount`), so that no mount made here is seen by the host.
#
# What keeps the host safe: the container's writes land in the tmpfs upper
# layer; /sys and /proc/sys are read-only; it has its own network and cgroup
# subtree; `container=` makes systemd skip what only a real machine does (udev,
# clock, detaching devices at shutdown); the capabilities to load modules or set
# the clock are dropped; and it dies with the script (parent-death signals).
#
# container_init <work dir>   lay out the overlay's layers (once)
# container_boot              boot; returns when the system is up
# container_run CMD...        run a command inside, with a clean environment
# container_shutdown          power off with SIGRTMIN+4 and wait
# container_teardown          kill whatever is left, remove the cgroup

container_work=
container_pid=
container_launcher=
container_cgroup=

container_init() {
  container_work=$1
  mount -t tmpfs -o mode=0700 hushwall-system "$container_work"
  mkdir -p "$container_work"/{upper,work,root}
  # Units enabled on the host are not what is under test; they would only slow boots.
  local wants unit
  mkdir -p "$container_work/upper/etc/systemd/system"
  for wants in /etc/systemd/system/{multi-user,timers,getty,sysinit}.target.wants; do
    for unit in "$wants"/*; do
      [[ -e $unit || -L $unit ]] || continue
      ln -sf /dev/null "$container_work/upper/etc/systemd/system/${unit##*/}"
    done
  done
}

# The boot stage: runs as PID 1 of the new namespaces and becomes systemd.
container_stage() {
  set -e
  local work=$1 root=$1/root
  mount -t overlay overlay -o "lowerdir=/,upperdir=$work/upper,workdir=$work/work" "$root"
  mount -t proc proc "$root/proc"
  for path in sys sysrq-trigger; do
    [[ -e $root/proc/$path ]] || continue
    mount --bind "$root/proc/$path" "$root/proc/$path"
    mount -o remount,bind,ro "$root/proc/$path"
  done
  mount -t sysfs -o ro sysfs "$root/sys"
  mount -t cgroup2 cgroup2 "$root/sys/fs/cgroup"
  mount -t tmpfs -o mode=0755,nosuid tmpfs "$root/dev"
  for node in null zero full random urandom tty; do
    touch "$root/dev/$node"
    mount --bind "/dev/$node" "$root/dev/$node"
  done
  touch "$root/dev/console"
  mount --bind /dev/null "$root/dev/console"
  mkdir -p "$root/dev/pts" "$root/dev/shm"
  mount -t devpts -o newinstance,ptmxmode=0666 devpts "$root/dev/pts"
  ln -s pts/ptmx "$root/dev/ptmx"
  mount -t tmpfs -o mode=1777 tmpfs "$root/dev/shm"
  mount -t tmpfs -o mode=1777 tmpfs "$root/tmp"
  exec chroot "$root" /usr/bin/env -i container=hushwall-system /lib/systemd/systemd --system --unit=multi-user.target
}

container_boot() {
  local hierarchy=/sys/fs/cgroup/unified
  [[ -f /sys/fs/cgroup/cgroup.controllers ]] && hierarchy=/sys/fs/cgroup
  container_cgroup=$hierarchy/hushwall-system-$$
  mkdir -p "$container_cgroup"
  (
    echo "$BASHPID" >"$container_cgroup/cgroup.procs"
    exec setpriv --pdeathsig KILL --bounding-set -sys_module,-sys_time,-sys_rawio,-wake_alarm,-syslog,-mac_admin,-mac_override \
      unshare --pid --kill-child=SIGKILL --mount --uts --ipc --net --cgroup --propagation private \
      bash -c "$(declare -f container_stage); container_stage '$container_work'"
  ) >"$container_work/console.log" 2>&1 &
  container_launcher=$!
  local tries=0 state=
  until container_pid=$(cat "/proc/$container_launcher/task/$container_launcher/children" 2>/dev/null | awk '{print $1}') && [[ -n $container_pid ]]; do
    ((++tries < 200)) || { echo "container: no init process" >&2; return 1; }
    sleep 0.05
  done
  # Up means the boot job list is empty and the system bus answers.
  tries=0
  until state=$(container_run systemctl is-system-running 2>/dev/null); [[ $state == running || $state == degraded ]]; do
    ((++tries < 600)) || { echo "container: not up after 60 s (state: $state)" >&2; cat "$container_work/console.log" >&2; return 1; }
    sleep 0.1
  done
}

container_run() {
  nsenter -t "$container_pid" -m -u -i -n -p -C -r -w \
    env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 TERM=dumb "$@"
}

container_shutdown() {
  [[ -n $container_pid ]] || return 0
  kill -s RTMIN+4 "$container_pid"
  wait "$container_launcher" 2>/dev/null || true
  container_pid=
}

container_teardown() {
  if [[ -n $container_pid ]]; then
    kill -s RTMIN+4 "$container_pid" 2>/dev/null || true
    local tries=0
    while kill -0 "$container_pid" 2>/dev/null && ((++tries < 100)); do sleep 0.1; done
    kill -9 "$container_pid" 2>/dev/null || true
    wait "$container_launcher" 2>/dev/null || true
    container_pid=
  fi
  # systemd leaves its empty slices behind; only empty folders can be removed.
  [[ -n $container_cgroup && -d $container_cgroup ]] && find "$container_cgroup" -depth -type d -exec rmdir {} + 2>/dev/null || true
}
