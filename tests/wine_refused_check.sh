#!/usr/bin/env bash
# The Windows build under Wine on a check file that the service's user may not read: one log
# line for the write, naming the file and the system's reason (access denied), no start, nothing
# more while it stays so; once it is readable, a write starts the program.
#   wine_refused_check.sh PREFIX EXE TOOLS_DIR WINE_RUN [--win64]
# PREFIX is the test run's Wine prefix (made by the wine fixture); WINE_RUN is scripts/wine-run
# with its arguments for this build.
#
# The test run's Wine runs as root, and root reads every file. Here Wine runs as root without
# the capabilities that pass by file permissions (dropped from the bounding set, which the Wine
# server started by this Wine inherits: the server is what opens files), on a prefix of its
# own: an overlay over the test run's prefix, made in an instant, whose writes never reach the
# test run's prefix or its server. The check file belongs to nobody, mode 0600.
set -euo pipefail
prefix=$(realpath "$1") exe=$(realpath "$2") tools=$(realpath "$3")
shift 3
wine_run=("$@")
restricted=(setpriv --bounding-set "-dac_override,-dac_read_search")
caption="zup service - debug mode"

skip() {
  echo "skipped: $*"
  exit 77
}
[ "$(id -u)" = 0 ] || skip "needs root: mounts an overlay and writes as another user"
command -v setpriv >/dev/null || skip "needs setpriv"
[ -n "${DISPLAY:-}" ] || skip "no X display (DISPLAY is unset): the foreground run's box needs one"

work=$(mktemp -d /tmp/kelm-wine-refused-XXXXXX)
own=$work/prefix
service=
cleanup() {
  # Every Wine process of this prefix ends with its server, the service among them.
  if mountpoint -q "$own"; then
    WINEPREFIX=$own wineserver -k 2>/dev/null || true
    WINEPREFIX=$own timeout 20 wineserver -w 2>/dev/null || true
  fi
  if [ -n "$service" ]; then kill "$service" 2>/dev/null || true; fi
  if mountpoint -q "$own"; then umount "$own" 2>/dev/null || umount -l "$own"; fi
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/upper" "$work/overlay-work" "$own"
mount -t overlay overlay -o "lowerdir=$prefix,upperdir=$work/upper,workdir=$work/overlay-work" \
  "$own" || skip "no overlay mount here"

# The installation is root's, as the prefix is; the watched folder lets nobody write into it.
inst=$work/inst
mkdir -p "$inst/in" "$inst/log"
chmod 0755 "$work" "$inst"
chmod 0777 "$inst/in"
cp "$exe" "$inst/kelmservice.exe"
winpath() { printf 'Z:%s' "${1//\//\\}"; }
check=$inst/in/in.dat
rec=$inst/rec.txt
printf '[CheckDir]\r\nCheckDir=%s\r\n' "$(winpath "$inst/in")" >"$inst/kelmservice.ini"
printf '[A]\r\nCheckFile=in.dat\r\nTask=%s\r\nPara=%s\r\n' "$(winpath "$tools/recorder.exe")" \
  "$(winpath "$rec")" >"$inst/task.ini"

# The log's lines in UTF-8, line ends removed.
log() {
  { cat "$inst"/log/service-*.log 2>/dev/null || true; } | iconv -c -f CP932 -t UTF-8 | tr -d '\r'
}
count() { log | grep -c -F -- "$1" || true; }
fail() {
  echo "FAIL: $*"
  echo "--- log:"
  log
  exit 1
}
# wait_for SECONDS COMMAND...: true once the command succeeds, false after SECONDS.
wait_for() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.2
  done
}
# Nobody writes the file (the first write creates it readable by nobody alone).
write_as_nobody() {
  # shellcheck disable=SC2016 # the inner shell expands its own arguments
  setpriv --reuid=65534 --regid=65534 --clear-groups sh -c 'umask 077; printf %s "$1" >"$2"' \
    sh "$1" "$check"
}

"${restricted[@]}" "${wine_run[@]}" "$own" "$inst/kelmservice.exe" -debug \
  </dev/null >"$work/service.out" 2>&1 &
service=$!
started() { [ "$(count "サービスを開始しました。")" = 1 ]; }
wait_for 30 started || fail "the service did not start"

head="$(winpath "$check") を開けないため、確認できません。 - "
said() { [ "$(count "$head")" = "$1" ]; }
write_as_nobody one || fail "nobody could not write"
wait_for 20 said 1 || fail "no line for the unreadable check file"
# Nothing more for the same write, however long it stays unreadable.
sleep 3
said 1 || fail "more than one line for one write"
[ ! -s "$rec" ] || fail "started on a file it could not check"
line=$(log | grep -F -- "$head")
# The system's text for ERROR_ACCESS_DENIED and its code end the line.
[[ $line == "["??/??/??" "??:??:??"]$head"?*" (0x5)" ]] || fail "not the access-denied line: $line"
echo "seen: $line"

chmod 0644 "$check"
write_as_nobody two || fail "nobody could not write"
wait_for 20 test -s "$rec" || fail "no start once the file was readable"
said 1 || fail "a readable file was said unreadable"

box=$work/box.txt
timeout 30 "${restricted[@]}" "${wine_run[@]}" "$own" "$tools/win32_boxclick.exe" "$caption" \
  "$(winpath "$box")" 20000 || fail "the foreground run's box was not pressed"
ended() { ! kill -0 "$service" 2>/dev/null; }
wait_for 15 ended || fail "the service did not end after its box"
rc=0
wait "$service" || rc=$?
service=
[ $rc = 0 ] || fail "the service ended with $rc"
echo "passed in $SECONDS s"
