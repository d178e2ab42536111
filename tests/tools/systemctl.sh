#!/bin/sh
# A stand-in for systemctl, for tests that run where no systemd is the init system. It is put
# first on PATH (as "systemctl") inside the test's private mount namespace.
#
# $KELM_STANDIN_DIR holds:
#   calls        one line per call: "<seconds.nanoseconds> <arguments>" (written here)
#   nofile       the soft descriptor limit of the last call (written here)
#   reload-N     for the N-th daemon-reload, the unit files systemd would have read then
#                ("== name" and the file's lines for each) (written here)
#   disable-N    the same for the N-th disable: the unit files it would have read
#   disable-rc   exit status of disable (set by the test; 0 when missing)
#   state        the unit's ActiveState (set by the test; "inactive" when missing)
#   after-stop   states, one a line, that the ActiveState queries after a stop answer in turn;
#                the last one stays (set by the test; "inactive" when missing)
#   reload-rc    exit status of daemon-reload (set by the test; 0 when missing)
set -u
d=${KELM_STANDIN_DIR:?}
echo "$(date +%s.%N) $*" >>"$d/calls"
ulimit -S -n >"$d/nofile"

state() { cat "$d/state" 2>/dev/null || echo inactive; }

# What systemd would read now: every unit file, as "== name" and its lines, into $1.
snapshot() {
  : >"$1"
  for f in /etc/systemd/system/*.service; do
    [ -f "$f" ] || continue
    echo "== ${f##*/}" >>"$1"
    cat "$f" >>"$1"
  done
}

case "$*" in
daemon-reload)
  snapshot "$d/reload-$(grep -c ' daemon-reload$' "$d/calls")"
  exit "$(cat "$d/reload-rc" 2>/dev/null || echo 0)"
  ;;
"disable --quiet --no-reload "*)
  snapshot "$d/disable-$(grep -c ' disable ' "$d/calls")"
  exit "$(cat "$d/disable-rc" 2>/dev/null || echo 0)"
  ;;
"show -p ActiveState --value "*)
  if [ -s "$d/queue" ]; then
    head -n 1 "$d/queue" >"$d/state"
    if [ "$(wc -l <"$d/queue")" -gt 1 ]; then
      tail -n +2 "$d/queue" >"$d/queue.new"
      mv "$d/queue.new" "$d/queue"
    else
      : >"$d/queue"
    fi
  fi
  state
  ;;
"stop --no-block "*)
  if [ -f "$d/after-stop" ]; then cp "$d/after-stop" "$d/queue"; else echo inactive >"$d/queue"; fi
  ;;
*)
  echo "systemctl stand-in: unexpected call: $*" >&2
  exit 1
  ;;
esac
exit 0
