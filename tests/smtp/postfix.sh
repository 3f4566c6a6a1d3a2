# A private Postfix for the tests, started and stopped by them as root: its
# own configuration, queue and data folders under one test folder, listening
# on 127.0.0.1 only, with no local delivery at all (mydestination empty).
# Nothing of the machine's own mail system is read or changed
# (/etc/postfix stays as it is; every command names the private folder).
#
#   source postfix.sh
#   pf_setup DIR TOOL HOME PORT_PLAIN PORT_SECURE PORT_SMTPS [INBOX_TRANSPORT]
#   pf_start DIR / pf_stop DIR
#
# Mail for inbox.test goes to a pipe that runs `tolvane-mapi deliver USER`
# (USER: the local part) into the MAPI home HOME, as the owner of HOME (a
# pipe never runs as root), or to INBOX_TRANSPORT when given (such as
# lmtp:unix:PATH or lmtp:inet:127.0.0.1:PORT, through Postfix's own LMTP
# client); bench.test is accepted and discarded. The
# recipient rejected@inbox.test is refused with 550 5.7.1 by an access map.
# PORT_PLAIN: SMTP, STARTTLS offered, relaying for 127.0.0.0/8.
# PORT_SECURE: STARTTLS required before anything, AUTH (PLAIN, LOGIN)
#   against a SASL database of the test (user sender, password in
#   DIR/password), relaying only when authenticated.
# PORT_SMTPS: the same over TLS from the first byte.
# The certificate is self-signed for localhost (DIR/tls/cert.pem).

# Postfix's daemons and the pipe's user (nobody) must reach the test's
# folders and programs. A build under a folder they cannot enter (a clone in
# /root, mode 700) gets a private folder under /tmp instead, removed by
# pf_cleanup_workdir, with copies of the programs and libraries.
#
#   work=$(pf_workdir SCRATCH NAME)     the test's folder (made empty)
#   tool=$(pf_reachable_tool WORK TOOL) TOOL, or a copy nobody can run
#   pf_cleanup_workdir WORK             removes WORK when it is under /tmp
pf_as_nobody_can() { setpriv --reuid=nobody --regid=nogroup --clear-groups "$@" 2>/dev/null; }

pf_workdir() {
  local scratch=$1 name=$2
  mkdir -p "$scratch"
  if pf_as_nobody_can test -x "$scratch"; then
    rm -rf "${scratch:?}/$name"
    mkdir -p "$scratch/$name"
    echo "$scratch/$name"
  else
    local dir
    dir=$(TMPDIR=/tmp mktemp -d "/tmp/tolvane-$name-XXXXXX") || return 1
    chmod 755 "$dir"
    echo "$dir"
  fi
}

pf_cleanup_workdir() {
  case "$1" in
    /tmp/tolvane-*) rm -rf "$1" ;;
  esac
}

# TOOL and the libraries beside it (TOOL's ../lib), copied to WORK/stage when
# nobody cannot run TOOL where it is; the copy is a script that runs the
# copied program with the copied libraries.
pf_reachable_tool() {
  local work=$1 tool=$2
  if pf_as_nobody_can test -x "$tool"; then
    echo "$tool"
    return 0
  fi
  local stage=$work/stage
  mkdir -p "$stage/bin" "$stage/lib"
  cp "$tool" "$stage/bin/" || return 1
  cp -a "$(dirname "$tool")/../lib/." "$stage/lib/" || return 1
  chmod -R a+rX "$stage"
  local name
  name=$(basename "$tool")
  printf '#!/bin/sh\nLD_LIBRARY_PATH=%s/lib exec %s/bin/%s "$@"\n' "$stage" "$stage" "$name" >"$stage/$name"
  chmod 755 "$stage/$name"
  echo "$stage/$name"
}

# The checks of the sending tests: each prints "ok: NAME" or "FAILED: NAME"
# and is counted; a test ends with `pf_summary`.
passed=0
failed=0
pass() { passed=$((passed + 1)); echo "ok: $1"; }
fail() { failed=$((failed + 1)); echo "FAILED: $1" >&2; }
expect() { # NAME COMMAND...
  local name=$1
  shift
  if "$@"; then pass "$name"; else fail "$name"; fi
}
pf_summary() {
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}

pf_fail() {
  echo "postfix.sh: $*" >&2
  return 1
}

pf_setup() {
  local dir=$1 tool=$2 home=$3 plain=$4 secure=$5 smtps=$6 inbox_transport=${7:-tolvane}
  [ "$(id -u)" -eq 0 ] || pf_fail "starting a Postfix of the tests needs root" || return 1
  command -v postfix >/dev/null || [ -x /usr/sbin/postfix ] ||
    pf_fail "Postfix is not installed (Debian package postfix; bash scripts/install-deps.sh test)" || return 1
  command -v saslpasswd2 >/dev/null || [ -x /usr/sbin/saslpasswd2 ] ||
    pf_fail "saslpasswd2 is not installed (Debian package sasl2-bin; bash scripts/install-deps.sh test)" || return 1
  local owner
  owner=$(stat -c %U "$home") || return 1
  [ "$owner" != root ] || pf_fail "the receiving home $home must not belong to root (a pipe never runs as root)" || return 1
  mkdir -p "$dir/etc/sasl" "$dir/spool" "$dir/data" "$dir/tls"
  chmod 755 "$dir"
  chown postfix "$dir/data"

  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=localhost" \
    -addext "subjectAltName=DNS:localhost" \
    -keyout "$dir/tls/key.pem" -out "$dir/tls/cert.pem" >/dev/null 2>&1 ||
    pf_fail "openssl could not make the test certificate" || return 1
  chmod 600 "$dir/tls/key.pem"
  chmod 644 "$dir/tls/cert.pem"

  # The SASL database: one user of the test, a password made now.
  head -c 12 /dev/urandom | od -An -tx1 | tr -d ' \n' >"$dir/password"
  chmod 600 "$dir/password"
  saslpasswd2 -f "$dir/etc/sasl/sasldb2" -c -p -u mx.tolvane.test sender <"$dir/password" ||
    pf_fail "saslpasswd2 failed" || return 1
  chown postfix "$dir/etc/sasl/sasldb2"
  chmod 600 "$dir/etc/sasl/sasldb2"
  cat >"$dir/etc/sasl/smtpd.conf" <<CONF
pwcheck_method: auxprop
auxprop_plugin: sasldb
mech_list: PLAIN LOGIN
sasldb_path: $dir/etc/sasl/sasldb2
CONF

  cat >"$dir/etc/main.cf" <<CONF
compatibility_level = 3.6
queue_directory = $dir/spool
data_directory = $dir/data
mail_owner = postfix
setgid_group = postdrop
syslog_name = postfix-tolvane-test
maillog_file = $dir/maillog
maillog_file_prefixes = $dir
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
myhostname = mx.tolvane.test
mydomain = tolvane.test
myorigin = \$myhostname
mydestination =
local_recipient_maps =
alias_maps =
alias_database =
mynetworks = 127.0.0.0/8
relay_domains = inbox.test bench.test
transport_maps = inline:{ inbox.test=$inbox_transport, bench.test=discard }
tolvane_destination_recipient_limit = 1
smtpd_recipient_restrictions = check_recipient_access texthash:$dir/etc/recipient_access, permit_mynetworks, reject_unauth_destination
message_size_limit = 104857600
smtpd_tls_cert_file = $dir/tls/cert.pem
smtpd_tls_key_file = $dir/tls/key.pem
smtpd_tls_security_level = may
smtp_tls_security_level = none
# Postfix's Cyrus SASL reads \$config_directory/sasl/smtpd.conf.
cyrus_sasl_config_path = $dir/etc/sasl
smtpd_sasl_local_domain = mx.tolvane.test
smtpd_sasl_auth_enable = no
smtputf8_enable = no
biff = no
delay_warning_time = 0
in_flow_delay = 0
smtpd_client_connection_rate_limit = 0
smtpd_error_sleep_time = 0
smtpd_soft_error_limit = 1000
smtpd_hard_error_limit = 1000
# Every command of a client from here is logged ("< host[addr]: EHLO name"), so that the
# tests can count a client's EHLOs per connection.
debug_peer_list = 127.0.0.1
debug_peer_level = 2
CONF

  printf '%s\n' "rejected@inbox.test 550 5.7.1 Mailbox refused by the test's access map" >"$dir/etc/recipient_access"

  cat >"$dir/etc/master.cf" <<CONF
$plain inet n - n - - smtpd
$secure inet n - n - - smtpd
  -o smtpd_tls_security_level=encrypt
  -o smtpd_sasl_auth_enable=yes
  -o smtpd_tls_auth_only=yes
  -o smtpd_recipient_restrictions=permit_sasl_authenticated,reject
$smtps inet n - n - - smtpd
  -o smtpd_tls_wrappermode=yes
  -o smtpd_sasl_auth_enable=yes
  -o smtpd_recipient_restrictions=permit_sasl_authenticated,reject
pickup unix n - n 60 1 pickup
cleanup unix n - n - 0 cleanup
qmgr unix n - n 1 1 qmgr
tlsmgr unix - - n 1000? 1 tlsmgr
rewrite unix - - n - - trivial-rewrite
bounce unix - - n - 0 bounce
defer unix - - n - 0 bounce
trace unix - - n - 0 bounce
verify unix - - n - 1 verify
flush unix n - n 1000? 0 flush
proxymap unix - - n - - proxymap
smtp unix - - n - - smtp
lmtp unix - - n - - lmtp
relay unix - - n - - smtp
showq unix n - n - - showq
error unix - - n - - error
retry unix - - n - - error
discard unix - - n - - discard
anvil unix - - n - 1 anvil
scache unix - - n - 1 scache
postlog unix-dgram n - n - 1 postlogd
tolvane unix - n n - - pipe
  user=$owner argv=/usr/bin/env TOLVANE_MAPI_HOME=$home $tool deliver \${user}
CONF
  postfix -c "$dir/etc" check >"$dir/check.log" 2>&1 ||
    { cat "$dir/check.log" >&2; pf_fail "postfix check failed for $dir/etc"; return 1; }
}

pf_start() {
  local dir=$1
  postfix -c "$dir/etc" start >>"$dir/start.log" 2>&1 ||
    { cat "$dir/start.log" >&2; [ -f "$dir/maillog" ] && tail -20 "$dir/maillog" >&2; pf_fail "Postfix did not start"; return 1; }
  # Ready when the master has bound its ports.
  local port
  port=$(awk 'NR==1 {print $1}' "$dir/etc/master.cf")
  for _ in $(seq 1 100); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then return 0; fi
    sleep 0.1
  done
  pf_fail "Postfix does not listen on 127.0.0.1:$port"
}

pf_stop() {
  local dir=$1
  [ -f "$dir/etc/main.cf" ] || return 0
  postfix -c "$dir/etc" stop >>"$dir/start.log" 2>&1 || true
  # The master is gone when its pid file is.
  for _ in $(seq 1 100); do
    [ -f "$dir/spool/pid/master.pid" ] || return 0
    local pid
    pid=$(tr -d ' ' <"$dir/spool/pid/master.pid" 2>/dev/null)
    [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  postfix -c "$dir/etc" abort >>"$dir/start.log" 2>&1 || true
}

# Waits until the queue of the private Postfix is empty (every message
# delivered, bounced or discarded).
pf_wait_empty() {
  local dir=$1 seconds=${2:-60}
  for _ in $(seq 1 $((seconds * 10))); do
    if [ -z "$(find "$dir/spool/incoming" "$dir/spool/active" "$dir/spool/deferred" "$dir/spool/maildrop" -type f 2>/dev/null | head -1)" ]; then
      return 0
    fi
    sleep 0.1
  done
  pf_fail "the queue of the test's Postfix is not empty after $seconds s"
}

# A free TCP port of 127.0.0.1 (the kernel picks it).
pf_free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()'
}
