#!/bin/bash
# A private fax server for tests: HylaFAX (faxq, hfaxd, one faxgetty per modem) and two
# software modems (iaxmodem) that dial each other over IAX2 on 127.0.0.1.
#
# Usage: hylafax-lab.sh start DIR [OWNER_PID]
#          builds DIR/spool, starts the daemons, waits until both modems wait for calls
#          (about 12 s), writes DIR/lab.env (HYLAFAX_PORT, MODEM_A/B, DEVICE_A/B, NUMBER_A/B,
#          SPOOL, IAX_PORT_A/B, LAB_PASSWORD_USER, LAB_PASSWORD) and DIR/pids ("PID NAME").
#          With OWNER_PID, a watcher ends the lab and removes DIR once that process ends
#          without having stopped it. DIR and every folder above it must be open to others.
#          Run on a DIR whose lab was stopped, starts the same server again: same ports and
#          modems, the queues (sendq, doneq, recvq) as they were.
#        hylafax-lab.sh stop DIR
#          ends exactly the recorded processes (TERM to each one's process group, KILL after
#          5 s) and the watcher, removes the device links and lock files; DIR stays.
#        hylafax-lab.sh down DIR DAEMON / up DIR DAEMON
#          ends one daemon of a running lab / starts it again and waits until it is ready;
#          DAEMON is iaxmodem-a, iaxmodem-b, faxq, hfaxd, faxgetty-a or faxgetty-b.
# Exit codes: 0 done, 2 the packages are missing (hylafax-server, hylafax-client, iaxmodem),
# 1 anything else (the reason and the tail of the daemon logs on stderr).
#
# What matters (learnt the hard way):
# - Runs as root, like the packaged daemons; they switch to the fax user (uucp) themselves,
#   before they enter the spool, so the spool belongs to uucp, hosts.hfaxd is 0600, and a
#   0700 folder above DIR (mktemp -d) stops them; faxq then exits without a word (it logs to
#   syslog only).
# - Each daemon runs in the foreground (faxq -D, hfaxd -d, faxgetty without -D) under setsid,
#   so its pid is known and its process group holds its helpers (faxsend, notify scripts).
# - The installation in /etc/hylafax and /var/spool/hylafax is only read (templates, scripts).
#   Every daemon gets "-q SPOOL"; hfaxd chroots into it; faxq runs SendFaxCmd (set to
#   /usr/sbin/faxsend) in it. hfaxd also reads /etc/hylafax/hfaxd.conf (harmless).
# - hfaxd: "-i PORT -l 127.0.0.1"; hosts.hfaxd lines are "regex-of-user@host[:uid[:crypt]]",
#   and the host of a client on 127.0.0.1 is "localhost". fax and root log in without a
#   password, LAB_PASSWORD_USER needs PASS LAB_PASSWORD (a wrong one gets its 530 late).
# - iaxmodem reads its config only as /etc/iaxmodem/NAME; NAME may be a relative path, so
#   "../..$DIR/iax/a" reads the lab's own file without writing to /etc.
#   In its config, "port" is the modem's own UDP port and "server 127.0.0.1:PORT" the peer it
#   dials; with "refresh 0" it never registers. It makes "device" a symlink to its pty and
#   dials "peername:secret@server/NUMBER"; the peer rings whatever the number.
# - The modem devices are symlinks inside DIR/dev; faxgetty takes the full path and names the
#   modem after it ("/" becomes "_"), so the device id is e.g. "_tmp_x_dev_ttyIAXa". Its
#   config is etc/config.<id>, its FIFO FIFO.<id>, its status status/<id>; LIST status shows
#   %m as the path again ("_" back to "/"). faxstat -a: "Modem DEVICE (NUMBER): Running and idle".
# - Modem configs: ModemType Class1, Class1AdaptRecvCmd AT+FAR=1, Class1TMConnectDelay 400,
#   ModemResetCmds "ATH1\nAT+VCID=1", ModemReadyCmds ATH0 (from the iaxmodem example),
#   RecvFileMode 0644, RingsBeforeAnswer 1, no DialStringRules (numbers go out as given),
#   PollLockWait/PollModemWait 2 (else a modem that has just sent stays "Waiting for modem
#   to come ready" for 30 s).
# - UUCPLockDir points into the spool, so the lab's lock files never reach /var/lock.
# - faxq gives a job to whichever modem is free: the other one rings and receives. Pin the
#   sending modem with "sendfax -h MODEM_A@127.0.0.1:PORT" or JPARM MODEM <id>.
# - "faxconfig -q SPOOL -m <id> RingsBeforeAnswer 0" makes a modem let calls ring until the
#   server's ANSWER (after ADMIN LAB_ADMIN_PASSWORD: "ANSWER <id>" gets "200 Modem <id> told
#   to answer call as any."). It must come while the call rings (status/<id> says "Listening
#   to rings from modem"); one sent before the first ring is lost. A call never answered ends
#   "NO ANSWER" for the caller after 45 s, but the called iaxmodem misses the hang-up and its
#   modem stays in that call: for a number that does not answer, "down DIR iaxmodem-b".
# - A document must say its resolution: a TIFF of 196 lines sent as a 98-line job (sendfax
#   without -m, a JPARM job without VRES 196) is redrawn by the server through Ghostscript
#   before it dials, which under load holds the modem for minutes ("W" in faxstat).
# - A job submitted within about a second of a modem's ready message can be left waiting ("W")
#   with both modems idle: faxq's scheduler missed its wake-up and sleeps until the next event
#   (seen in 3 of 10 runs). The lab therefore returns 3 s after the modems are ready.
# - An iaxmodem refuses calls for about 5 s after each hang-up; a 2-page fax takes about 35 s
#   from sendfax to the file in recvq (the file appears while the call is still going).
# - faxstat exits with 0 even when it cannot connect ("Can not reach service PORT at host");
#   readiness is its "HylaFAX scheduler on ..." line. A faxgetty's status file outlives it,
#   so it is removed before each faxgetty starts. hfaxd binds its port again at once.
# - Protocol seen on the lab's hfaxd: greeting "220 ... (HylaFAX (tm) Version 6.0.7) ready.",
#   "USER fax" gets "230 User fax logged in." (no PASS); LIST status after
#   MDMFMT "%m|%s|%n" over PASV gives "/path/dev/ttyIAXa|Running and idle|5550101".
# - The lab's notify, faxrcvd and pollrcvd scripts send no mail; they append a line to
#   SPOOL/log/notices ("faxrcvd recvq/faxNNN.tif <id> ...", "notify doneq/qN done ...").
set -u

die() {  # die CODE MESSAGE: the reason, then the tail of every daemon log
  local code=$1; shift
  echo "hylafax-lab: $*" >&2
  if [ "${SHOW_LOGS:-0}" -eq 1 ] && [ -d "$DIR/logs" ]; then
    for f in "$DIR"/logs/*.log "$DIR"/spool/log/c* ; do
      [ -s "$f" ] || continue
      echo "--- $f" >&2; tail -n 15 "$f" >&2
    done
  fi
  # A start that failed half-way leaves nothing running.
  [ "${STARTING:-0}" -eq 0 ] || end_processes
  exit "$code"
}

usage() { echo "usage: $0 start DIR [OWNER_PID] | stop DIR | down DIR DAEMON | up DIR DAEMON" >&2; exit 1; }

need_programs() {
  local missing="" p
  for p in iaxmodem faxq hfaxd faxgetty faxstat sendfax; do
    command -v "$p" >/dev/null 2>&1 || [ -x "/usr/sbin/$p" ] || missing="$missing $p"
  done
  [ -z "$missing" ] || { echo "hylafax-lab: not installed:$missing (packages hylafax-server hylafax-client iaxmodem)" >&2; exit 2; }
  [ "$(id -u)" -eq 0 ] || die 1 "the fax daemons must be started as root (they switch to the fax user themselves)"
}

# Ports in use, from the kernel's tables (hex after the colon of the local address).
ports_in_use() {  # ports_in_use tcp|udp
  local hex
  for hex in $(cat /proc/net/"$1" /proc/net/"$1"6 2>/dev/null | awk '$2 ~ /:/ { split($2, a, ":"); print a[2] }'); do
    echo $((16#$hex))
  done
}
free_port() {  # free_port tcp|udp [EXCLUDED...]: a random port that nothing listens on
  local proto=$1; shift
  local used p i
  used=" $(ports_in_use "$proto" | tr '\n' ' ') $* "
  for i in $(seq 1 200); do
    p=$(( 20000 + RANDOM % 40000 ))
    case "$used" in *" $p "*) continue ;; esac
    echo "$p"; return 0
  done
  return 1
}

FAXUSER="uucp"
LAB_PASSWORD_USER=faxpw
LAB_PASSWORD=lab-secret
LAB_ADMIN_PASSWORD=lab-admin

build_spool() {
  local d
  for d in archive bin client config dev docq doneq etc info log pollq recvq sendq status tmp; do
    mkdir -p "$SPOOL/$d"
  done
  chmod 1777 "$SPOOL/tmp"
  # Templates and helper scripts of the installation, copied (never changed in place).
  for f in setup.cache setup.modem pagesizes typerules cover.templ faxcover.ps lutRS18.pcf dialrules; do
    [ -e "/etc/hylafax/$f" ] && cp "/etc/hylafax/$f" "$SPOOL/etc/"
  done
  [ -d /etc/hylafax/templates ] && mkdir -p "$SPOOL/etc/templates" && cp -r /etc/hylafax/templates/. "$SPOOL/etc/templates/"
  cp -a /var/spool/hylafax/bin/. "$SPOOL/bin/" 2>/dev/null
  # The lab sends no mail: notices about received faxes and finished jobs go to a log.
  for s in faxrcvd notify pollrcvd; do
    printf '#!/bin/sh\necho "%s $*" >> log/notices\nexit 0\n' "$s" >"$SPOOL/bin/$s"
    chmod 755 "$SPOOL/bin/$s"
  done
  cat >"$SPOOL/etc/config" <<EOF
LogFacility:		daemon
ServerTracing:		0x001
SendFaxCmd:		/usr/sbin/faxsend
UUCPLockDir:		$SPOOL/lock
UUCPLockType:		ascii
MaxConcurrentCalls:	1
JobReqBusy:		10
JobReqNoAnswer:		10
JobReqNoCarrier:	10
JobReqOther:		10
JobReqProto:		10
EOF
  mkdir -p "$SPOOL/lock"
  # fax and root log in without a password; LAB_PASSWORD_USER needs LAB_PASSWORD. All of
  # them gain administrative rights (ANSWER, other users' jobs) with ADMIN LAB_ADMIN_PASSWORD.
  local hash admin
  hash=$(perl -e 'print crypt($ARGV[0], q($6$hylafaxlab$))' "$LAB_PASSWORD") &&
    admin=$(perl -e 'print crypt($ARGV[0], q($6$hylafaxadm$))' "$LAB_ADMIN_PASSWORD") ||
    die 1 "perl cannot encrypt the lab's passwords"
  cat >"$SPOOL/etc/hosts.hfaxd" <<EOF
^$LAB_PASSWORD_USER@localhost\$::$hash:$admin
^$LAB_PASSWORD_USER@127\\.0\\.0\\.1\$::$hash:$admin
^fax@localhost\$:::$admin
^fax@127\\.0\\.0\\.1\$:::$admin
^root@localhost\$:::$admin
^root@127\\.0\\.0\\.1\$:::$admin
EOF
  chmod 600 "$SPOOL/etc/hosts.hfaxd"
  [ -p "$SPOOL/FIFO" ] || mkfifo -m 600 "$SPOOL/FIFO"
}

# The HylaFAX side of one iaxmodem: a Class 1 modem on a pty.
modem_config() {  # modem_config NUMBER NAME
  cat <<EOF
CountryCode:		1
AreaCode:		555
FAXNumber:		$1
LongDistancePrefix:	1
InternationalPrefix:	011
ServerTracing:		0x001
SessionTracing:		0x00F
RecvFileMode:		0644
LogFileMode:		0644
DeviceMode:		0600
RingsBeforeAnswer:	1
SpeakerVolume:		off
LocalIdentifier:	"$2"
TagLineFont:		etc/lutRS18.pcf
TagLineFormat:		"From %%l|%c|Page %%P of %%T"
MaxRecvPages:		200
UUCPLockDir:		$SPOOL/lock
UUCPLockType:		ascii
PollLockWait:		2
PollModemWait:		2
ModemType:		Class1
ModemResetCmds:		"ATH1\nAT+VCID=1"
ModemReadyCmds:		ATH0
Class1AdaptRecvCmd:	AT+FAR=1
Class1TMConnectDelay:	400
PagerTTYParity:		none
CallIDPattern:		"NMBR="
CallIDPattern:		"NAME="
CallIDPattern:		"ANID="
CallIDPattern:		"NDID="
EOF
}

# The IAX side: listens on its own UDP port, calls the peer's port, never registers.
iax_config() {  # iax_config DEVICE OWNPORT PEERPORT NAME NUMBER
  cat <<EOF
device		$1
owner		$FAXUSER:$FAXUSER
mode		660
port		$2
refresh		0
server		127.0.0.1:$3
peername	$4
secret		lab
cidname		$4
cidnumber	$5
codec		slinear
EOF
}

device_id() {  # how HylaFAX names a modem device
  local id=${1#/dev/}
  echo "${id//\//_}"
}

spawn() {  # spawn LOGNAME COMMAND...: starts a daemon in its own session, records its pid
  local log=$1; shift
  setsid "$@" >"$DIR/logs/$log.log" 2>&1 </dev/null &
  local pid=$!
  echo "$pid $log" >>"$DIR/pids"
}

wait_for() {  # wait_for SECONDS DESCRIPTION TEST...: polls TEST every 0.2 s
  local seconds=$1 what=$2; shift 2
  local i=0
  until "$@"; do
    i=$((i + 1))
    [ $i -lt $((seconds * 5)) ] || die 1 "timed out after ${seconds}s waiting for $what"
    check_alive
    sleep 0.2
  done
}

check_alive() {  # every recorded daemon still runs
  local pid name
  while read -r pid name; do
    kill -0 "$pid" 2>/dev/null || die 1 "$name (pid $pid) exited"
  done <"$DIR/pids"
}

modem_idle() {  # modem_idle DEVID: faxgetty reports the modem ready for calls
  grep -qs 'Running and idle' "$SPOOL/status/$1"
}

start() {  # start [OWNER_PID]
  local owner=$1
  [ -z "$owner" ] || kill -0 "$owner" 2>/dev/null || die 1 "owner process $owner does not exist"
  need_programs
  mkdir -p "$DIR" || die 1 "cannot create $DIR"
  DIR=$(cd "$DIR" && pwd)
  SPOOL="$DIR/spool"
  [ ! -e "$DIR/pids" ] || die 1 "$DIR already holds a lab (DIR/pids exists); stop it first"
  mkdir -p "$DIR/logs" "$DIR/dev" "$DIR/iax"
  : >"$DIR/pids"
  STARTING=1 SHOW_LOGS=1
  # The daemons run as the fax user and must reach the spool through DIR's parents.
  chmod 755 "$DIR"
  reachable_by_fax_user || die 1 "the fax user $FAXUSER cannot enter $DIR: a folder above it is closed to others (put the lab under /tmp)"

  if [ -f "$DIR/lab.env" ]; then
    # Started again after a stop: the same ports and modems, the queues as they were.
    load_env
    ! ports_in_use tcp | grep -qx "$HYLAFAX_PORT" || die 1 "the lab's TCP port $HYLAFAX_PORT is taken"
    ! ports_in_use udp | grep -qx -e "$IAX_PORT_A" -e "$IAX_PORT_B" || die 1 "a UDP port of the lab ($IAX_PORT_A, $IAX_PORT_B) is taken"
  else
    write_env
    load_env
  fi

  build_spool
  modem_config "$NUMBER_A" "Lab modem A" >"$SPOOL/etc/config.$MODEM_A"
  modem_config "$NUMBER_B" "Lab modem B" >"$SPOOL/etc/config.$MODEM_B"
  chown -R "$FAXUSER:$FAXUSER" "$SPOOL"
  chown root:root "$SPOOL/bin" "$SPOOL/etc"
  iax_config "$DEVICE_A" "$IAX_PORT_A" "$IAX_PORT_B" labA "$NUMBER_A" >"$DIR/iax/a"
  iax_config "$DEVICE_B" "$IAX_PORT_B" "$IAX_PORT_A" labB "$NUMBER_B" >"$DIR/iax/b"

  local name
  # A faxgetty tells faxq about its modem through faxq's FIFO, so faxq must be reading it first.
  for name in $DAEMONS; do
    spawn_daemon "$name"
    case "$name" in iaxmodem-b) wait_ready iaxmodem-a; wait_ready iaxmodem-b ;; faxq) wait_ready faxq ;; esac
  done
  for name in $DAEMONS; do wait_ready "$name"; done
  settle
  [ -z "$owner" ] || start_watcher "$owner"
  STARTING=0
}

write_env() {  # picks the ports and names of a new lab
  local port udp_a udp_b
  port=$(free_port tcp) || die 1 "no free TCP port found"
  udp_a=$(free_port udp) || die 1 "no free UDP port found"
  udp_b=$(free_port udp "$udp_a") || die 1 "no free UDP port found"
  cat >"$DIR/lab.env" <<EOF
HYLAFAX_PORT=$port
MODEM_A=$(device_id "$DIR/dev/ttyIAXa")
MODEM_B=$(device_id "$DIR/dev/ttyIAXb")
NUMBER_A=5550101
NUMBER_B=5550102
SPOOL=$SPOOL
IAX_PORT_A=$udp_a
IAX_PORT_B=$udp_b
DEVICE_A=$DIR/dev/ttyIAXa
DEVICE_B=$DIR/dev/ttyIAXb
LAB_PASSWORD_USER=$LAB_PASSWORD_USER
LAB_PASSWORD=$LAB_PASSWORD
LAB_ADMIN_PASSWORD=$LAB_ADMIN_PASSWORD
EOF
}

load_env() {
  [ -f "$DIR/lab.env" ] || die 1 "no lab.env in $DIR"
  # shellcheck disable=SC1091
  . "$DIR/lab.env"
}

# In the order they start: the devices before the faxgettys that open them.
DAEMONS="iaxmodem-a iaxmodem-b faxq hfaxd faxgetty-a faxgetty-b"

spawn_daemon() {  # spawn_daemon NAME: starts one of the lab's daemons
  case "$1" in
    iaxmodem-a) spawn "$1" stdbuf -oL iaxmodem "../..$DIR/iax/a" ;;
    iaxmodem-b) spawn "$1" stdbuf -oL iaxmodem "../..$DIR/iax/b" ;;
    faxq) spawn "$1" /usr/sbin/faxq -D -q "$SPOOL" ;;
    hfaxd) spawn "$1" /usr/sbin/hfaxd -d -q "$SPOOL" -i "$HYLAFAX_PORT" -l 127.0.0.1 ;;
    # A status left by an earlier faxgetty would read as ready.
    faxgetty-a) rm -f "$SPOOL/status/$MODEM_A"; spawn "$1" /usr/sbin/faxgetty -q "$SPOOL" "$DEVICE_A" ;;
    faxgetty-b) rm -f "$SPOOL/status/$MODEM_B"; spawn "$1" /usr/sbin/faxgetty -q "$SPOOL" "$DEVICE_B" ;;
    *) die 1 "no daemon named $1 (one of: $DAEMONS)" ;;
  esac
}

wait_ready() {  # wait_ready NAME: until the daemon does its work
  case "$1" in
    iaxmodem-a) wait_for 10 "the device of iaxmodem-a" test -L "$DEVICE_A" ;;
    iaxmodem-b) wait_for 10 "the device of iaxmodem-b" test -L "$DEVICE_B" ;;
    faxq) wait_for 10 "faxq to open its FIFO" fifo_open ;;
    hfaxd) wait_for 20 "hfaxd on 127.0.0.1:$HYLAFAX_PORT" faxstat_answers "$HYLAFAX_PORT" ;;
    faxgetty-a) wait_for 60 "modem $MODEM_A to wait for calls" modem_idle "$MODEM_A" ;;
    faxgetty-b) wait_for 60 "modem $MODEM_B to wait for calls" modem_idle "$MODEM_B" ;;
  esac
}

fifo_open() {  # faxq holds the spool's FIFO open
  local pid
  pid=$(awk '$2 == "faxq" { print $1 }' "$DIR/pids")
  [ -n "$pid" ] && find "/proc/$pid/fd" -lname "$SPOOL/FIFO" 2>/dev/null | grep -q .
}

# down NAME ends one daemon (hfaxd: a server that went away); up NAME starts it again.
# A faxgetty exits when its iaxmodem goes, so iaxmodem-X takes faxgetty-X down and up with
# it: "down DIR iaxmodem-b" is line B unplugged (a call to it ends "NO ANSWER" after 45 s).
down() {  # down NAME
  DIR=$(cd "$DIR" && pwd) && SPOOL="$DIR/spool" && load_env
  running "$1" || die 1 "$1 is not running in the lab in $DIR"
  case "$1" in iaxmodem-*) ! running "faxgetty-${1#iaxmodem-}" || end_daemon "faxgetty-${1#iaxmodem-}" ;; esac
  end_daemon "$1"
}

up() {  # up NAME
  DIR=$(cd "$DIR" && pwd) && SPOOL="$DIR/spool" && load_env
  [ -f "$DIR/pids" ] || die 1 "no lab runs in $DIR"
  ! running "$1" || die 1 "$1 already runs in the lab in $DIR"
  SHOW_LOGS=1
  spawn_daemon "$1"
  wait_ready "$1"
  case "$1" in
    iaxmodem-*) local getty="faxgetty-${1#iaxmodem-}"
                running "$getty" || { spawn_daemon "$getty"; wait_ready "$getty"; } ;;
  esac
  case "$1" in iaxmodem-*|faxgetty-*|faxq) settle ;; esac
}

# faxq runs its scheduler at most once a second, and a job submitted in the second after a
# modem reported ready can miss its turn: it then waits ("W") with both modems idle until the
# next event. A test's first job comes well after the modems' ready messages.
settle() { sleep 3; }

running() { awk -v n="$1" '$2 == n { found = 1 } END { exit !found }' "$DIR/pids" 2>/dev/null; }

end_daemon() {  # end_daemon NAME: ends it and forgets its pid
  end_groups "$(awk -v n="$1" '$2 == n { print $1 }' "$DIR/pids")"
  awk -v n="$1" '$2 != n' "$DIR/pids" >"$DIR/pids.new" && mv "$DIR/pids.new" "$DIR/pids"
}

# faxstat exits with 0 even when it cannot connect; the scheduler line shows that it did.
faxstat_answers() { faxstat -h "127.0.0.1:$1" 2>&1 | grep -q '^HylaFAX scheduler'; }

stop() {
  [ -d "$DIR" ] || die 1 "no lab in $DIR"
  DIR=$(cd "$DIR" && pwd)
  SPOOL="$DIR/spool"
  end_processes
}

end_processes() {  # ends the recorded daemons and their helpers; removes the devices
  if [ -f "$DIR/watcher.pid" ]; then
    local watcher
    watcher=$(cat "$DIR/watcher.pid")
    [ "$watcher" = "$$" ] || kill -TERM -- "-$watcher" 2>/dev/null
    rm -f "$DIR/watcher.pid"
  fi
  [ -f "$DIR/pids" ] || return 0
  # shellcheck disable=SC2046
  end_groups $(cut -d' ' -f1 "$DIR/pids")
  rm -f "$DIR/pids" "$DIR"/dev/ttyIAX* "$SPOOL"/lock/LCK..*
}

end_groups() {  # end_groups PID...: TERM to each process group, KILL to what is left after 5 s
  local pid alive
  # Each daemon leads its own process group, which also holds its helpers (faxsend, scripts).
  for pid in "$@"; do kill -TERM -- "-$pid" 2>/dev/null || kill -TERM "$pid" 2>/dev/null; done
  for _ in $(seq 1 25); do
    alive=0
    for pid in "$@"; do kill -0 -- "-$pid" 2>/dev/null && alive=1; done
    [ $alive -eq 1 ] || break
    sleep 0.2
  done
  for pid in "$@"; do kill -KILL -- "-$pid" 2>/dev/null; done
  for _ in $(seq 1 25); do
    alive=0
    for pid in "$@"; do kill -0 -- "-$pid" 2>/dev/null && alive=1; done
    [ $alive -eq 1 ] || return 0
    sleep 0.2
  done
  echo "hylafax-lab: processes of groups $* outlived KILL" >&2
}

# With an owner, a watcher ends the lab and removes DIR when the owner ends without stopping
# it (a test that crashed or was killed). It keeps the pids itself: DIR may be gone by then.
watch_owner() {  # watch_owner OWNER_PID PID...: the pids when it started, then as DIR/pids says
  local owner=$1; shift
  local pids="$*"
  while kill -0 "$owner" 2>/dev/null; do
    sleep 1
    [ -f "$DIR/pids" ] && pids=$(cut -d' ' -f1 "$DIR/pids")
  done
  # shellcheck disable=SC2086
  [ -z "$pids" ] || end_groups $pids
  rm -rf "$DIR"
}

start_watcher() {  # start_watcher OWNER_PID
  # shellcheck disable=SC2046
  setsid "$0" _watch "$DIR" "$1" $(cut -d' ' -f1 "$DIR/pids") >/dev/null 2>&1 </dev/null &
  echo $! >"$DIR/watcher.pid"
}

reachable_by_fax_user() {  # the daemons switch to the fax user before they enter the spool
  setpriv --reuid "$FAXUSER" --regid "$FAXUSER" --clear-groups test -x "$DIR" 2>/dev/null
}

case "${1:-}" in
  start) [ $# -eq 2 ] || [ $# -eq 3 ] || usage; DIR=$2; start "${3:-}" ;;
  stop) [ $# -eq 2 ] || usage; DIR=$2; stop ;;
  down) [ $# -eq 3 ] || usage; DIR=$2; down "$3" ;;
  up) [ $# -eq 3 ] || usage; DIR=$2; up "$3" ;;
  _watch) DIR=$2; shift 2; watch_owner "$@" ;;
  *) usage ;;
esac
