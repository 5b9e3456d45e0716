#!/usr/bin/env bash
# scripts/desktop-session: the command's status and arguments, the private session it
# runs in (own HOME, own bus, unlocked default keyring) and the cleanup afterwards, also
# after a signal.
#   desktop_session_test.sh PATH-TO-desktop-session
set -euo pipefail
session="$1"
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# Status and arguments pass through unchanged.
status=0
out="$("$session" bash -c 'printf "%s|" "$@"; exit 3' argv0 "a b" "" 'c"d') " || status=$?
[[ $status -eq 3 ]] || fail "exit status $status, expected 3"
[[ "$out" == 'a b||c"d| ' ]] || fail "arguments arrived as: $out"

# Inside: a private HOME and bus, and a keyring that stores and returns a secret.
report="$("$session" bash -c '
  echo "$HOME"
  echo "$DBUS_SESSION_BUS_ADDRESS"
  echo "${NIMBRELLA_DESKTOP_SESSION:-}"
  printf "s3cret" | secret-tool store --label=probe service probe account probe
  secret-tool lookup service probe account probe; echo')"
mapfile -t lines <<<"$report"
home="${lines[0]}"
[[ "$home" != "${HOME}" && "$home" == */nimbrella-session.*/home ]] || fail "HOME inside was $home"
[[ "${lines[1]}" == "unix:path=${home%/home}/runtime/bus" ]] || fail "bus inside was ${lines[1]}"
[[ "${lines[2]}" == 1 ]] || fail "NIMBRELLA_DESKTOP_SESSION was '${lines[2]}'"
[[ "${lines[3]}" == s3cret ]] || fail "the keyring answered '${lines[3]}'"
[[ ! -e "${home%/home}" ]] || fail "the session folder ${home%/home} is left behind"

# A signal ends the command and the session; nothing is left behind.
marker="$(mktemp)"
"$session" bash -c 'echo "${HOME%/home}" >"$1"; exec sleep 60' argv0 "$marker" &
pid=$!
for ((i = 0; i < 200; i++)); do
  [[ -s "$marker" ]] && break
  sleep 0.05
done
folder="$(cat "$marker")"
rm -f "$marker"
kill -TERM "$pid"
status=0
wait "$pid" || status=$?
[[ $status -eq 143 ]] || fail "exit status after SIGTERM $status, expected 143"
[[ -n "$folder" && ! -e "$folder" ]] || fail "the session folder '$folder' is left behind after SIGTERM"
if pgrep -f -- "--config-file=$folder/session-bus.conf" >/dev/null; then
  fail "the session bus outlived the session"
fi

# Usage errors are reported, not run.
status=0
"$session" >/dev/null 2>&1 || status=$?
[[ $status -eq 2 ]] || fail "no command: exit status $status, expected 2"

if ((failures > 0)); then
  exit 1
fi
echo "desktop-session: all checks passed"
