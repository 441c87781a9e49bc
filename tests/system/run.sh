#!/usr/bin/env bash
# The system suite: the Debian package on a booted systemd, with journald, the
# real system bus and the container's own /etc/hosts. One boot sequence runs a
# two-minute session through install, activation, refusal of strangers,
# upgrade, kill -9, tampering, refused removal, a reboot, the network filter's
# table, capabilities, kill -9 and watchdog, the end, the idle exit, removal
# and purge.
#
# Usage: tests/system/run.sh BUILD_DIR   (as root; exit 77 when it cannot run here)
# Figures go to standard output as "figure: ...".
set -Eeuo pipefail
trap 'echo "FAILED at line $LINENO: $BASH_COMMAND" >&2' ERR
[[ $(id -u) -eq 0 ]] || { echo "skipped: the system suite needs root" >&2; exit 77; }
[[ -x /lib/systemd/systemd ]] || { echo "skipped: systemd is not installed" >&2; exit 77; }
here=$(cd "$(dirname "$0")" && pwd)
build=$(realpath "${1:?usage: run.sh BUILD_DIR}")
# Mounts made from here on stay in a mount namespace of this script's own.
if [[ -z ${HUSHWALL_SYSTEM_PRIVATE:-} ]]; then
  HUSHWALL_SYSTEM_PRIVATE=1 exec unshare --mount --propagation private "$0" "$@"
fi
source "$here/container.sh"

work=$(mktemp -d /tmp/hushwall-system.XXXXXX)
cleanup() {
  local status=$?
  ((status == 0)) || { echo "--- journal of hushwalld and the filter"; container_run journalctl -u hushwalld -u hushwalld.path -u hushwall-filterd --no-pager -n 80 2>/dev/null; } || true
  container_teardown
  umount -l "$work/machine" 2>/dev/null || true
  rm -rf --one-file-system "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

suite_start=$(date +%s)
step() { echo "== $(($(date +%s) - suite_start))s: $*"; }
fail() { echo "FAILED: $*" >&2; exit 1; }
inside() { container_run "$@"; }
# wait_for SECONDS DESCRIPTION COMMAND...: polls inside the container.
wait_for() {
  local seconds=$1 what=$2
  shift 2
  inside timeout "$seconds" sh -c "until $*; do sleep 0.05; done" || fail "$what (not within ${seconds}s)"
}
region() { inside grep -q '^# BEGIN HUSHWALL' /etc/hosts; }
session_field() { inside hushwall status --json | sed -n "s/.*\"$1\":\\([^,}]*\\).*/\\1/p" | tr -d '"'; }
main_pid() { inside systemctl show -p MainPID --value hushwalld.service; }
filter_pid() { inside systemctl show -p MainPID --value hushwall-filterd.service; }
table='nft list table inet hushwall >/dev/null 2>&1'
# fetch HOST: the status of http://HOST:8080/ from the sink on loopback, whatever
# /etc/hosts says of HOST, so that only the filter can stand in the way; 000 when refused.
fetch() { inside curl -s -o /dev/null -w '%{http_code}' --max-time 1 --resolve "$1:8080:127.0.0.1" "http://$1:8080/" || true; }
filter_blocks() { [[ $(fetch example.com) == 000 && $(fetch other.example) == 200 ]]; }

step "packages from the build in $build"
# Built for speed: unstripped, quickly compressed; scripts/package makes the real one.
DPKG_DEB_COMPRESSOR_TYPE=gzip DPKG_DEB_COMPRESSOR_LEVEL=1 DEB_BUILD_OPTIONS="nostrip noautodbgsym nocheck" \
  "$here/../../scripts/package" --prebuilt "$build" --no-lintian --out "$work/debs" >/dev/null
deb=$(ls "$work"/debs/hushwall_*.deb)
# The upgrade: the same programs under a newer version, so dpkg replaces every file.
dpkg-deb -R "$deb" "$work/upgrade"
sed -i 's/^Version: .*/&+upgrade/' "$work/upgrade/DEBIAN/control"
dpkg-deb -Zgzip -z1 -b "$work/upgrade" "$work/debs/upgrade.deb" >/dev/null

mkdir "$work/machine"
container_init "$work/machine"
# A watchdog short enough to see fire; the shipped 30 s works the same way.
mkdir -p "$work/machine/upper/etc/systemd/system/hushwall-filterd.service.d"
printf '[Service]\nWatchdogSec=3s\n' >"$work/machine/upper/etc/systemd/system/hushwall-filterd.service.d/watchdog.conf"
mkdir -p "$work/machine/upper/root"
cp "$deb" "$work/machine/upper/root/hushwall.deb"
cp "$work/debs/upgrade.deb" "$work/machine/upper/root/upgrade.deb"
container_boot

step "install: nothing runs with no state"
# Some images forbid starting services from maintainer scripts; a real machine does not.
inside rm -f /usr/sbin/policy-rc.d
inside dpkg -i /root/hushwall.deb >/dev/null
[[ $(inside systemctl is-enabled hushwalld.path) == enabled ]] || fail "hushwalld.path is not enabled"
[[ $(inside systemctl is-active hushwalld.service) == inactive ]] || fail "hushwalld runs with no state"
[[ $(inside systemctl is-enabled hushwall-filterd.service) == enabled ]] || fail "hushwall-filterd is not enabled"
[[ $(inside systemctl show -p ExecStart --value hushwalld.service) == *"path=/usr/sbin/hushwalld "* ]] || fail "ExecStart"
# The filter needs the host's network and raw sockets, hence its higher bound.
for unit in hushwalld:2.0 hushwall-filterd:2.5; do
  exposure=$(inside systemd-analyze security "${unit%:*}.service" | sed -n 's/.*Overall exposure level for .*: \([0-9.]*\).*/\1/p')
  echo "figure: systemd-analyze security exposure of ${unit%:*}.service: $exposure"
  awk -v e="$exposure" -v bound="${unit#*:}" 'BEGIN { exit !(e != "" && e <= bound) }' || fail "${unit%:*}'s exposure rose to '$exposure'"
done

step "activation through D-Bus and systemd, 20 times; the filter comes up with the daemon"
inside systemctl stop hushwall-filterd.service
inside sh -c 'for i in $(seq 20); do
    systemctl stop hushwalld.service 2>/dev/null; systemctl reset-failed hushwalld.service
    start=$(date +%s%N); hushwall status --once >/dev/null || exit 1; echo $(( ($(date +%s%N) - start) / 1000 ))
  done' >"$work/activations" || fail "hushwall status did not activate the daemon"
[[ $(inside systemctl is-active hushwalld.service) == active ]] || fail "the daemon is not active after a call"
[[ $(inside systemctl is-active hushwall-filterd.service) == active ]] || fail "the filter did not come up with the daemon"
inside sh -c "! $table" || fail "the filter has a table with nothing blocked"
echo "figure: activation to answer p50 $(sort -n "$work/activations" | sed -n 10p) us over 20 (min $(sort -n "$work/activations" | head -1), max $(sort -n "$work/activations" | tail -1))"

step "strangers are refused"
out=$(inside busctl call org.hushwall.daemon /org/hushwall/daemon org.hushwall.Daemon HealthCheck 2>&1) && fail "busctl was admitted: $out"
inside cp /usr/bin/hushwall /tmp/hushwall-copy
inside objcopy --remove-section .note.hushwall.ident /tmp/hushwall-copy
out=$(inside /tmp/hushwall-copy health 2>&1) && fail "an unstamped copy was admitted: $out"
[[ $out == *"does not satisfy"* ]] || fail "unstamped copy: $out"

step "start: the block in /etc/hosts, foreign bytes, mode and owner kept"
inside sh -c 'printf "127.0.0.1 localhost\r\n10.1.2.3 intranet.example # kept\n::1 localhost ip6-localhost\n" >/etc/hosts
  chown root:adm /etc/hosts; chmod 0644 /etc/hosts; cp -p /etc/hosts /root/hosts.before'
inside hushwall start 2m example.com >/dev/null
started=$(date +%s)
region || fail "no managed region after start"
inside grep -q 'example.com' /etc/hosts || fail "example.com is not blocked"
inside sh -c "sed '/^# BEGIN HUSHWALL/,/^# END HUSHWALL/d' /etc/hosts | cmp -s - /root/hosts.before" || fail "foreign bytes changed"
[[ $(inside stat -c '%a %U:%G' /etc/hosts) == "644 root:adm" ]] || fail "hosts mode or owner changed: $(inside stat -c '%a %U:%G' /etc/hosts)"
[[ $(inside stat -c '%a %U' /var/lib/org.hushwall.daemon /var/lib/org.hushwall.daemon/session.json | tr '\n' ' ') == "700 root 600 root " ]] ||
  fail "state modes: $(inside stat -c '%n %a %U' /var/lib/org.hushwall.daemon /var/lib/org.hushwall.daemon/session.json)"
id=$(session_field id)
[[ -n $id ]] || fail "no session id"

step "upgrade mid-session: the new daemon takes over the session"
before=$(main_pid)
# The sampler stops by itself: a process left behind would hold up the container's shutdown.
inside sh -c 'until [ -e /run/sampled ]; do grep -q "^# BEGIN HUSHWALL" /etc/hosts || echo gap; sleep 0.05; done' \
  </dev/null >"$work/gaps" &
sampler=$!
inside dpkg -i /root/upgrade.deb >/dev/null
wait_for 60 "the daemon handed over" "[ \"\$(systemctl show -p MainPID --value hushwalld.service)\" != $before ] && [ \"\$(systemctl show -p MainPID --value hushwalld.service)\" != 0 ]"
wait_for 10 "the new daemon answers" "hushwall status --once >/dev/null"
inside touch /run/sampled
wait "$sampler"
[[ ! -s $work/gaps ]] || fail "the block was missing in $(wc -l <"$work/gaps") samples during the upgrade"
[[ $(session_field id) == "$id" ]] || fail "the session changed across the upgrade"

step "kill -9: systemd restarts the daemon and the session is enforced again"
pid=$(main_pid)
ms=$(inside sh -c "start=\$(date +%s%N); kill -9 $pid; while kill -0 $pid 2>/dev/null; do :; done
  sed -i '/^# BEGIN HUSHWALL/,/^# END HUSHWALL/d' /etc/hosts
  until grep -q '^# BEGIN HUSHWALL' /etc/hosts; do sleep 0.005; done
  echo \$(( (\$(date +%s%N) - start) / 1000000 ))")
echo "figure: kill -9 to the block repaired by the restarted daemon: ${ms} ms"
[[ $(main_pid) != "$pid" ]] || fail "the daemon was not restarted"
[[ $(session_field id) == "$id" ]] || fail "the session changed across the restart"

step "tamper: repaired, and the journal says so with its fields"
inside sed -i '/^# BEGIN HUSHWALL/,/^# END HUSHWALL/d' /etc/hosts
wait_for 5 "the block was repaired" "grep -q '^# BEGIN HUSHWALL' /etc/hosts"
wait_for 10 "the repair is in the journal" "journalctl -u hushwalld -o json --no-pager | grep -q 'repaired the block'"
line=$(inside journalctl -u hushwalld -o json --no-pager | grep 'repaired the block' | tail -1)
for field in '"SYSLOG_IDENTIFIER":"hushwalld"' '"HUSHWALL_SUBSYSTEM":"org.hushwall.daemon"' '"HUSHWALL_CATEGORY":"' '"PRIORITY":"5"'; do
  [[ $line == *"$field"* ]] || fail "journal entry lacks $field: $line"
done

step "apt-get remove during the session is refused with the time left"
out=$(inside apt-get remove -y hushwall 2>&1) && fail "removal was allowed during the session"
[[ $out == *"time left"* ]] || fail "the refusal does not say the time left: $out"
inside dpkg -s hushwall | grep -q '^Status: install ok installed' || fail "the package is not installed after the refused removal"

step "reboot: hushwalld.path starts the daemon and the session resumes"
container_shutdown
container_boot
wait_for 10 "the daemon started at boot" "systemctl is-active -q hushwalld.service"
left=$(awk -v total="$(session_field totalDuration)" -v consumed="$(session_field consumed)" 'BEGIN { print total - consumed }')
expected=$((120 - ($(date +%s) - started)))
# One tick of the daemon plus the second this script's clock rounds away.
awk -v left="$left" -v expected="$expected" 'BEGIN { d = left - expected; exit !(d < 2.5 && d > -2.5) }' ||
  fail "time left after the reboot: ${left}s, expected about ${expected}s"
[[ $(session_field id) == "$id" ]] || fail "the session changed across the reboot"

step "the filter: its table in force, two capabilities, its report in the health"
wait_for 10 "the filter's table is in force" "$table"
inside systemd-run --quiet --unit=sink /usr/bin/python3 -m http.server --bind 127.0.0.1 --directory /tmp 8080
wait_for 10 "the sink answers" "curl -s -o /dev/null --resolve other.example:8080:127.0.0.1 http://other.example:8080/"
filter_blocks || fail "the filter lets example.com through, or blocks other.example"
[[ $(inside sed -n 's/^CapEff:\t//p' "/proc/$(filter_pid)/status") == 0000000000003000 ]] ||
  fail "the filter's capabilities: $(inside grep ^Cap "/proc/$(filter_pid)/status")"
health=$(inside hushwall health)
[[ $health == *"filter:         applied, "* ]] || fail "the health does not show the filter's report: $health"

step "kill -9 of the filter: systemd restarts it and the block is back"
pid=$(filter_pid)
ms=$(inside timeout 10 sh -c "start=\$(date +%s%N); kill -9 $pid; while kill -0 $pid 2>/dev/null; do :; done
  until $table; do sleep 0.005; done; echo \$(( (\$(date +%s%N) - start) / 1000000 ))") || fail "the table did not come back"
echo "figure: kill -9 of the filter to its table back: ${ms} ms"
((ms <= 1000)) || fail "the filter's table came back only after ${ms} ms"
[[ $(filter_pid) != "$pid" ]] || fail "the filter was not restarted"
filter_blocks || fail "the restarted filter does not enforce the rules"

step "SIGSTOP of the filter: new flows pass at the deadline, and the watchdog has it restarted"
pid=$(filter_pid)
inside kill -STOP "$pid"
[[ $(fetch other.example) == 200 ]] || fail "a new flow did not pass while the filter was stopped"
wait_for 15 "the watchdog had the filter restarted" "[ \$(systemctl show -p MainPID --value hushwall-filterd.service) != $pid ] && $table"
inside journalctl -u hushwall-filterd --no-pager | grep -q "Watchdog timeout" || fail "the restart was not the watchdog's"
filter_blocks || fail "the filter restarted by the watchdog does not enforce the rules"

step "the session ends on time; the idle exit ends the unit with status 0"
wait_for $((130 - ($(date +%s) - started))) "the block is gone at the end" "! grep -q '^# BEGIN HUSHWALL' /etc/hosts"
ended=$(date +%s)
((ended - started >= 119)) || fail "the block went after $((ended - started))s"
wait_for 5 "the filter's table is gone at the end" "! $table"
wait_for 80 "the idle exit" "! systemctl is-active -q hushwalld.service"
[[ $(inside systemctl show -p Result --value hushwalld.service) == success ]] || fail "the idle exit was not a success"
[[ $(inside systemctl show -p ExecMainStatus --value hushwalld.service) == 0 ]] || fail "the idle exit status was not 0"
sleep 2
[[ $(inside systemctl is-active hushwalld.service) == inactive ]] || fail "the daemon came back with nothing to do"

step "after the session: removal succeeds; purge leaves no region and no state"
inside apt-get remove -y hushwall >/dev/null 2>&1 || fail "removal failed after the session"
! inside systemctl is-active -q hushwall-filterd.service || fail "the filter runs after removal"
inside sh -c 'printf "# BEGIN HUSHWALL stray\n0.0.0.0 example.com\n# END HUSHWALL\n" >>/etc/hosts'
inside apt-get purge -y hushwall >/dev/null 2>&1 || fail "purge failed"
! region || fail "a managed region is left after purge"
inside test ! -e /var/lib/org.hushwall.daemon || fail "the state folder is left after purge"
inside cmp -s /etc/hosts /root/hosts.before || fail "purge changed the foreign bytes"
[[ $(inside stat -c '%a %U:%G' /etc/hosts) == "644 root:adm" ]] || fail "purge changed the hosts mode or owner"

step "passed"
