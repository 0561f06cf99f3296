#!/bin/bash
# A private fax server for tests and by hand, run as root: HylaFAX (faxq, hfaxd, a faxgetty per
# modem) and two software modems (iaxmodem) that dial each other over IAX2 on 127.0.0.1.
#   start DIR [OWNER_PID]  starts the daemons, returns once both modems wait for calls; writes
#       DIR/lab.env (ports, modems, devices, numbers, spool, passwords) and DIR/pids. With OWNER_PID,
#       a watcher ends the lab and removes DIR when that process ends without a stop. On a stopped
#       lab's DIR: the same ports and modems, its queues as they were.
#   stop DIR          ends exactly the recorded daemons with their process groups; DIR stays
#   down|up DIR NAME  ends / restarts faxq, hfaxd, faxgetty-a|b or iaxmodem-a|b (with its faxgetty)
#   report DIR        the server's view, the queued jobs, the processes and the logs' tails
# Exit 0 done, 2 packages missing (hylafax-server hylafax-client iaxmodem), 1 anything else.
# Calls ring until the server's ANSWER after "faxconfig -q SPOOL -m MODEM RingsBeforeAnswer 0";
# one never answered leaves the called iaxmodem in it: take that modem down instead.
set -u
FAXUSER=uucp LAB_PASSWORD_USER=faxpw LAB_PASSWORD=lab-secret LAB_ADMIN_PASSWORD=lab-admin
DAEMONS="iaxmodem-a iaxmodem-b faxq hfaxd faxgetty-a faxgetty-b"  # devices before their faxgettys

die() {  # die CODE MESSAGE: with the tails of the daemon logs; a half-started lab is ended
  echo "hylafax-lab: ${*:2}" >&2
  [ "${SHOW_LOGS:-0}" -eq 0 ] || for f in "$DIR"/logs/*.log "$DIR"/spool/log/c*; do [ ! -s "$f" ] || { echo "--- $f"; tail -n 15 "$f"; } >&2; done
  [ "${STARTING:-0}" -eq 0 ] || end_processes
  exit "$1"
}

need_programs() {
  local missing="" p
  for p in iaxmodem faxq hfaxd faxgetty faxstat sendfax; do command -v "$p" >/dev/null || [ -x "/usr/sbin/$p" ] || missing="$missing $p"; done
  [ -z "$missing" ] || { echo "hylafax-lab: not installed:$missing (packages hylafax-server hylafax-client iaxmodem)" >&2; exit 2; }
  [ "$(id -u)" -eq 0 ] || die 1 "the fax daemons must be started as root (they switch to the fax user themselves)"
}

ports_in_use() {  # ports_in_use tcp|udp: the local ports in the kernel's socket tables
  local hex
  for hex in $(awk 'FNR > 1 { split($2, a, ":"); print a[2] }' "/proc/net/$1" "/proc/net/${1}6" 2>/dev/null); do echo $((16#$hex)); done
}

free_port() {  # free_port tcp|udp [TAKEN...]
  local used p
  used=" $(ports_in_use "$1" | tr '\n' ' ') ${*:2} "
  for _ in $(seq 200); do p=$((20000 + RANDOM % 40000)); [[ $used == *" $p "* ]] || { echo "$p"; return 0; }; done
  return 1
}

build_spool() {  # from the installation's templates and scripts, which are only read
  local f host hash admin
  mkdir -p "$SPOOL"/{archive,bin,client,config,dev,docq,doneq,etc,info,lock,log,pollq,recvq,sendq,status,tmp} && chmod 1777 "$SPOOL/tmp"
  for f in setup.cache setup.modem pagesizes typerules cover.templ faxcover.ps lutRS18.pcf dialrules; do
    [ ! -e "/etc/hylafax/$f" ] || cp "/etc/hylafax/$f" "$SPOOL/etc/"
  done
  [ ! -d /etc/hylafax/templates ] || { mkdir -p "$SPOOL/etc/templates" && cp -r /etc/hylafax/templates/. "$SPOOL/etc/templates/"; }
  cp -a /var/spool/hylafax/bin/. "$SPOOL/bin/" 2>/dev/null
  for f in faxrcvd notify pollrcvd; do  # no mail: the notices go to log/notices
    printf '#!/bin/sh\necho "%s $*" >> log/notices\nexit 0\n' "$f" >"$SPOOL/bin/$f" && chmod 755 "$SPOOL/bin/$f"
  done
  printf '%s\n' "LogFacility: daemon" "ServerTracing: 0x001" "SendFaxCmd: /usr/sbin/faxsend" "UUCPLockDir: $SPOOL/lock" \
    "UUCPLockType: ascii" "MaxConcurrentCalls: 1" JobReq{Busy,NoAnswer,NoCarrier,Other,Proto}": 10" >"$SPOOL/etc/config"
  # "user@host:uid:password:admin password" (regexes, crypt): fax and root need no password;
  # ADMIN with its password gives administrative rights (ANSWER, others' jobs).
  hash=$(perl -e 'print crypt($ARGV[0], q($6$hylafaxlab$))' "$LAB_PASSWORD") &&
    admin=$(perl -e 'print crypt($ARGV[0], q($6$hylafaxadm$))' "$LAB_ADMIN_PASSWORD") || die 1 "perl cannot encrypt the lab's passwords"
  for host in 'localhost' '127\.0\.0\.1'; do
    printf '%s\n' "^$LAB_PASSWORD_USER@$host\$::$hash:$admin" "^fax@$host\$:::$admin" "^root@$host\$:::$admin"
  done >"$SPOOL/etc/hosts.hfaxd" && chmod 600 "$SPOOL/etc/hosts.hfaxd"
  [ -p "$SPOOL/FIFO" ] || mkfifo -m 600 "$SPOOL/FIFO"
}

# A Class 1 modem on iaxmodem's pty with iaxmodem's example commands, no dial rules, and short
# polls (else a modem that has just sent stays "Waiting for modem to come ready" for 30 s).
modem_config() {  # modem_config NUMBER NAME
  printf '%s\n' "CountryCode: 1" "AreaCode: 555" "FAXNumber: $1" "LongDistancePrefix: 1" "InternationalPrefix: 011" \
    "ServerTracing: 0x001" "SessionTracing: 0x00F" "RecvFileMode: 0644" "LogFileMode: 0644" "DeviceMode: 0600" \
    "RingsBeforeAnswer: 1" "SpeakerVolume: off" "LocalIdentifier: \"$2\"" "TagLineFont: etc/lutRS18.pcf" \
    'TagLineFormat: "From %%l|%c|Page %%P of %%T"' "MaxRecvPages: 200" "UUCPLockDir: $SPOOL/lock" "UUCPLockType: ascii" \
    "PollLockWait: 2" "PollModemWait: 2" "ModemType: Class1" 'ModemResetCmds: "ATH1\nAT+VCID=1"' "ModemReadyCmds: ATH0" \
    "Class1AdaptRecvCmd: AT+FAR=1" "Class1TMConnectDelay: 400" "PagerTTYParity: none" 'CallIDPattern: "'{NMBR,NAME,ANID,NDID}'="'
}

# An iaxmodem on its own UDP port that dials the peer's and never registers; "device" becomes
# a symlink to its pty.
iax_config() {  # iax_config DEVICE OWNPORT PEERPORT NAME NUMBER
  printf '%s\n' "device $1" "owner $FAXUSER:$FAXUSER" "mode 660" "port $2" "refresh 0" "server 127.0.0.1:$3" \
    "peername $4" "secret lab" "cidname $4" "cidnumber $5" "codec slinear"
}

start() {  # start [OWNER_PID]
  [ -z "$1" ] || kill -0 "$1" 2>/dev/null || die 1 "owner process $1 does not exist"
  need_programs
  mkdir -p "$DIR" && DIR=$(cd "$DIR" && pwd) || die 1 "cannot create $DIR"
  SPOOL="$DIR/spool"
  [ ! -e "$DIR/pids" ] || die 1 "$DIR already holds a lab (DIR/pids exists); stop it first"
  mkdir -p "$DIR/logs" "$DIR/dev" "$DIR/iax" && : >"$DIR/pids" && chmod 755 "$DIR"
  STARTING=1 SHOW_LOGS=1
  # The daemons switch to the fax user before they enter the spool (faxq exits without a word).
  setpriv --reuid "$FAXUSER" --regid "$FAXUSER" --clear-groups test -x "$DIR" 2>/dev/null ||
    die 1 "the fax user $FAXUSER cannot enter $DIR: a folder above it is closed to others (put the lab under /tmp)"
  if [ -f "$DIR/lab.env" ]; then
    . "$DIR/lab.env"
    ! ports_in_use tcp | grep -qx "$HYLAFAX_PORT" && ! ports_in_use udp | grep -qx -e "$IAX_PORT_A" -e "$IAX_PORT_B" ||
      die 1 "a port of the lab ($HYLAFAX_PORT, $IAX_PORT_A, $IAX_PORT_B) is taken"
  else
    local port udp_a udp_b
    port=$(free_port tcp) && udp_a=$(free_port udp) && udp_b=$(free_port udp "$udp_a") || die 1 "no free port found"
    # faxgetty names a modem after its device's path, "/" turned into "_".
    printf '%s\n' "HYLAFAX_PORT=$port" "MODEM_A=${DIR//\//_}_dev_ttyIAXa" "MODEM_B=${DIR//\//_}_dev_ttyIAXb" "NUMBER_A=5550101" \
      "NUMBER_B=5550102" "SPOOL=$SPOOL" "IAX_PORT_A=$udp_a" "IAX_PORT_B=$udp_b" "DEVICE_A=$DIR/dev/ttyIAXa" "DEVICE_B=$DIR/dev/ttyIAXb" \
      "LAB_PASSWORD_USER=$LAB_PASSWORD_USER" "LAB_PASSWORD=$LAB_PASSWORD" "LAB_ADMIN_PASSWORD=$LAB_ADMIN_PASSWORD" >"$DIR/lab.env"
    . "$DIR/lab.env"
  fi
  build_spool
  modem_config "$NUMBER_A" "Lab modem A" >"$SPOOL/etc/config.$MODEM_A"
  modem_config "$NUMBER_B" "Lab modem B" >"$SPOOL/etc/config.$MODEM_B"
  chown -R "$FAXUSER:$FAXUSER" "$SPOOL" && chown root:root "$SPOOL/bin" "$SPOOL/etc"
  iax_config "$DEVICE_A" "$IAX_PORT_A" "$IAX_PORT_B" labA "$NUMBER_A" >"$DIR/iax/a"
  iax_config "$DEVICE_B" "$IAX_PORT_B" "$IAX_PORT_A" labB "$NUMBER_B" >"$DIR/iax/b"
  local name
  for name in $DAEMONS; do  # a faxgetty announces its modem through faxq's FIFO, which faxq must be reading
    spawn_daemon "$name"
    case "$name" in iaxmodem-b) wait_ready iaxmodem-a; wait_ready iaxmodem-b ;; faxq) wait_ready faxq ;; esac
  done
  for name in $DAEMONS; do wait_ready "$name"; done
  settle
  if [ -n "$1" ]; then
    setsid "$0" _watch "$DIR" "$1" $(cut -d' ' -f1 "$DIR/pids") >/dev/null 2>&1 </dev/null &
    echo $! >"$DIR/watcher.pid"
  fi
  STARTING=0
}

open_lab() {  # the settings of the lab in DIR
  DIR=$(cd "$DIR" 2>/dev/null && pwd) && [ -f "$DIR/lab.env" ] || die 1 "no lab in the folder given"
  SPOOL="$DIR/spool"
  . "$DIR/lab.env"
}

# Each daemon runs in the foreground in a session of its own: its pid is known, and its process
# group holds its helpers (faxsend, the notify scripts).
spawn_daemon() {  # spawn_daemon NAME
  local x=${1##*-} cmd
  local modem="MODEM_${x^^}" device="DEVICE_${x^^}"
  case "$1" in
    iaxmodem-[ab]) cmd=(stdbuf -oL iaxmodem "../..$DIR/iax/$x") ;;  # its config is /etc/iaxmodem/NAME, NAME may be relative
    faxq) cmd=(/usr/sbin/faxq -D -q "$SPOOL") ;;
    hfaxd) cmd=(/usr/sbin/hfaxd -d -q "$SPOOL" -i "$HYLAFAX_PORT" -l 127.0.0.1) ;;
    faxgetty-[ab]) rm -f "$SPOOL/status/${!modem}"; cmd=(/usr/sbin/faxgetty -q "$SPOOL" "${!device}") ;;  # an old status reads as ready
    *) die 1 "no daemon named $1 (one of: $DAEMONS)" ;;
  esac
  setsid "${cmd[@]}" >"$DIR/logs/$1.log" 2>&1 </dev/null &
  echo "$! $1" >>"$DIR/pids"
}

wait_ready() {  # wait_ready NAME: until the daemon does its work, polled every 0.2 s
  local x=${1##*-} seconds=10 ready
  local modem="MODEM_${x^^}" device="DEVICE_${x^^}"
  case "$1" in
    iaxmodem-[ab]) ready=(test -L "${!device}") ;;
    faxq) ready=(fifo_open) ;;
    hfaxd) seconds=20; ready=(faxstat_answers) ;;
    faxgetty-[ab]) seconds=60; ready=(grep -qs 'Running and idle' "$SPOOL/status/${!modem}") ;;
  esac
  for ((i = 0; i < seconds * 5; i++)); do
    "${ready[@]}" && return 0
    while read -r pid name; do kill -0 "$pid" 2>/dev/null || die 1 "$name (pid $pid) exited"; done <"$DIR/pids" && sleep 0.2
  done
  die 1 "timed out after ${seconds}s waiting for $1 to be ready"
}

# faxstat exits with 0 even when it cannot connect: its scheduler line shows that it did.
faxstat_answers() { faxstat -h "127.0.0.1:$HYLAFAX_PORT" 2>&1 | grep -q '^HylaFAX scheduler'; }
fifo_open() { find "/proc/$(pid_of faxq)/fd" -lname "$SPOOL/FIFO" 2>/dev/null | grep -q .; }
pid_of() { awk -v n="$1" '$2 == n { print $1 }' "$DIR/pids" 2>/dev/null; }
running() { [ -n "$(pid_of "$1")" ]; }
# A job submitted within about a second of a modem's ready message can be left waiting with
# both modems idle: faxq schedules at most once a second and misses it.
settle() { sleep 3; }

down() {  # down NAME; a faxgetty exits when its iaxmodem goes, so it goes first
  open_lab
  running "$1" || die 1 "$1 is not running in the lab in $DIR"
  case "$1" in iaxmodem-*) ! running "faxgetty-${1#iaxmodem-}" || end_daemon "faxgetty-${1#iaxmodem-}" ;; esac
  end_daemon "$1"
}

up() {  # up NAME; an iaxmodem's faxgetty comes back with it
  open_lab
  [ -f "$DIR/pids" ] || die 1 "no lab runs in $DIR"
  ! running "$1" || die 1 "$1 already runs in the lab in $DIR"
  SHOW_LOGS=1
  spawn_daemon "$1" && wait_ready "$1"
  local getty="faxgetty-${1#iaxmodem-}"
  case "$1" in iaxmodem-*) running "$getty" || { spawn_daemon "$getty" && wait_ready "$getty"; } ;; esac
  case "$1" in iaxmodem-* | faxgetty-* | faxq) settle ;; esac
}

end_daemon() {  # end_daemon NAME: ends it and forgets its pid
  end_groups "$(pid_of "$1")"
  awk -v n="$1" '$2 != n' "$DIR/pids" >"$DIR/pids.new" && mv "$DIR/pids.new" "$DIR/pids"
}

end_processes() {  # the watcher, the recorded daemons with their helpers, the devices and locks
  [ ! -f "$DIR/watcher.pid" ] || { kill -TERM -- "-$(cat "$DIR/watcher.pid")" 2>/dev/null; rm -f "$DIR/watcher.pid"; }
  [ -f "$DIR/pids" ] || return 0
  end_groups $(cut -d' ' -f1 "$DIR/pids")
  rm -f "$DIR/pids" "$DIR"/dev/ttyIAX* "$SPOOL"/lock/*  # the lab's own lock folder: a lock and its temporary file
}

end_groups() {  # end_groups PID...: TERM to each daemon's process group, KILL to what is left after 5 s
  local pid signal
  for signal in TERM KILL; do
    for pid in "$@"; do kill -"$signal" -- "-$pid" 2>/dev/null || kill -"$signal" "$pid" 2>/dev/null; done
    for _ in $(seq 25); do
      for pid in "$@"; do kill -0 -- "-$pid" 2>/dev/null && break; done || return 0  # no group is left
      sleep 0.2
    done
  done
  echo "hylafax-lab: processes of groups $* outlived KILL" >&2
}

watch_owner() {  # watch_owner OWNER_PID PID...: keeps the pids as DIR/pids last listed them
  local pids="${*:2}"
  while kill -0 "$1" 2>/dev/null; do sleep 1; [ ! -f "$DIR/pids" ] || pids=$(cut -d' ' -f1 "$DIR/pids"); done
  [ -z "$pids" ] || end_groups $pids
  rm -rf "$DIR"
}

report() {
  open_lab
  echo "--- faxstat" && timeout 30 faxstat -h "127.0.0.1:$HYLAFAX_PORT" -s -d -a 2>&1
  for f in "$SPOOL"/sendq/q*; do [ ! -f "$f" ] || { echo "--- sendq/${f##*/}"; tail -n 60 "$f"; }; done
  # A daemon's session also holds its helpers: a document converter that runs for minutes shows.
  [ ! -s "$DIR/pids" ] || { echo "--- processes"; ps -o pid,sid,etime,stat,args --sid "$(cut -d' ' -f1 "$DIR/pids" | paste -sd,)"; }
  for f in "$DIR"/logs/*.log $(ls "$SPOOL"/log/c* 2>/dev/null | tail -n 1); do
    [ ! -f "$f" ] || { echo "--- ${f##*/}"; tail -n 20 "$f"; }
  done
}

case "${1:-}:$#" in
  start:2 | start:3) DIR=$2; start "${3:-}" ;;
  stop:2) DIR=$2; open_lab; end_processes ;;
  down:3 | up:3) DIR=$2; "$1" "$3" ;;
  report:2) DIR=$2; report ;;
  _watch:*) DIR=$2; watch_owner "${@:3}" ;;
  *) echo "usage: $0 start DIR [OWNER_PID] | stop DIR | down|up DIR DAEMON | report DIR" >&2; exit 1 ;;
esac
