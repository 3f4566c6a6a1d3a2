# A private Exim for the tests (Debian's exim4-daemon-light, unpacked by
# scripts/install-deps.sh into a folder of its own, EXIM_ROOT), started and
# stopped by them: its own configuration, spool, logs and mail folders under
# one test folder, listening on 127.0.0.1 only. Nothing of the machine's mail
# system is read or changed: Exim reads only the configuration named by -C.
#
#   source exim.sh
#   ex_setup DIR EXIM_ROOT PORT_PLAIN PORT_SECURE
#   ex_start DIR / ex_stop DIR
#
# Exim runs as nobody, never as root: started as nobody with -C it has no
# privilege to give up, and its deliveries run as nobody too. It runs in the
# foreground (-bdf) in the background of the test, which stops it by its
# process id.
#
# Mail for alice, bob, carol and dave at inbox.test is written to
# DIR/mail/LOCAL_PART/ (Maildir: one file per message in new/, with
# Envelope-to and Return-path added), for the test to read back; other
# addresses are refused. rejected@inbox.test is refused at RCPT with
# 550 5.7.1 by an ACL.
# PORT_PLAIN: SMTP without STARTTLS, relaying to inbox.test for 127.0.0.1.
# PORT_SECURE: STARTTLS offered; AUTH PLAIN (user sender, the password in
#   DIR/password) offered only once TLS is on; recipients only for a client
#   that has logged in.
# Exim's log is DIR/log/exim.log (the daemon's and its processes' standard
# error). Every HELO and EHLO is logged there as
#   helo server_port=PORT client_port=PORT pid=PID tls=yes|no command=VERB
# The certificate is self-signed for localhost (DIR/tls/cert.pem).
#
# ex_wait_empty DIR waits until the queue is empty.

ex_fail() {
  echo "exim.sh: $*" >&2
  return 1
}

ex_as_nobody() { setpriv --reuid=nobody --regid=nogroup --clear-groups "$@"; }

ex_setup() {
  local dir=$1 root=$2 plain=$3 secure=$4
  local exim=$root/usr/sbin/exim4
  local mailboxes="alice : bob : carol : dave"
  [ "$(id -u)" -eq 0 ] || ex_fail "starting an Exim of the tests needs root (it runs as nobody)" || return 1
  [ -x "$exim" ] ||
    ex_fail "Exim is not unpacked in $root (Debian package exim4-daemon-light; bash scripts/install-deps.sh test)" || return 1
  getent passwd Debian-exim >/dev/null ||
    ex_fail "the user Debian-exim that Debian's Exim looks up at start is missing (bash scripts/install-deps.sh test)" ||
    return 1
  ex_as_nobody test -x "$dir" ||
    ex_fail "nobody cannot enter $dir" || return 1
  mkdir -p "$dir/etc" "$dir/spool" "$dir/log" "$dir/mail" "$dir/tls"
  chmod 755 "$dir" "$dir/etc"
  chown nobody:nogroup "$dir/spool" "$dir/log" "$dir/mail"
  chmod 700 "$dir/spool" "$dir/log" "$dir/mail"

  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=localhost" \
    -addext "subjectAltName=DNS:localhost" \
    -keyout "$dir/tls/key.pem" -out "$dir/tls/cert.pem" >/dev/null 2>&1 ||
    ex_fail "openssl could not make the test certificate" || return 1
  chown nobody:nogroup "$dir/tls/key.pem"
  chmod 600 "$dir/tls/key.pem"
  chmod 644 "$dir/tls/cert.pem"

  # The login's password, made now; read by the authenticator, so that it is
  # written in no configuration.
  head -c 12 /dev/urandom | od -An -tx1 | tr -d ' \n' >"$dir/password"
  chown nobody:nogroup "$dir/password"
  chmod 600 "$dir/password"

  cat >"$dir/etc/exim.conf" <<CONF
# The Exim of a test: see tests/smtp/exim.sh.
exim_path = $exim
exim_user = nobody
exim_group = nogroup
spool_directory = $dir/spool
# The daemon in the foreground logs to standard error; whatever would still go
# to log files goes here, not to the compiled-in /var/log/exim4.
log_file_path = $dir/log/%slog
log_selector = +smtp_connection +received_recipients +tls_peerdn -host_lookup_failed
keep_environment =
primary_hostname = mx.tolvane.test
qualify_domain = tolvane.test
local_interfaces = 127.0.0.1
disable_ipv6 = true
host_lookup =
rfc1413_hosts =
message_size_limit = 100M

tls_advertise_hosts = \${if eq{\$received_port}{$secure}{*}{}}
tls_certificate = $dir/tls/cert.pem
tls_privatekey = $dir/tls/key.pem

domainlist inbox_domains = inbox.test

acl_smtp_helo = acl_helo
acl_smtp_rcpt = acl_rcpt

begin acl

acl_helo:
  warn logwrite = helo server_port=\$received_port client_port=\$sender_host_port pid=\$pid \\
                  tls=\${if def:tls_in_cipher{yes}{no}} command=\${uc:\${extract{1}{ }{\$smtp_command}}}
  accept

acl_rcpt:
  deny    local_parts = rejected
          domains = +inbox_domains
          message = 550 5.7.1 Mailbox refused by the test's ACL
  require verify = recipient
  accept  condition = \${if eq{\$received_port}{$plain}}
          hosts = 127.0.0.1
          domains = +inbox_domains
  accept  authenticated = *
          encrypted = *
          domains = +inbox_domains
  deny    message = 550 5.7.1 Relaying needs a login over TLS

begin routers

inbox:
  driver = accept
  domains = +inbox_domains
  local_parts = $mailboxes
  transport = maildir

begin transports

maildir:
  driver = appendfile
  directory = $dir/mail/\$local_part_data
  maildir_format
  create_directory
  delivery_date_add
  envelope_to_add
  return_path_add
  user = nobody
  group = nogroup
  mode = 0600

begin retry

*  *  F,1m,1m

begin authenticators

plain:
  driver = plaintext
  public_name = PLAIN
  server_prompts = :
  server_advertise_condition = \${if def:tls_in_cipher}
  server_condition = \${if and{{eq{\$auth2}{sender}}{eq{\$auth3}{\${readfile{$dir/password}}}}}}
  server_set_id = \$auth2
CONF
  chmod 644 "$dir/etc/exim.conf"
  echo "$plain:$secure" >"$dir/etc/ports"
  ex_as_nobody "$exim" -C "$dir/etc/exim.conf" -bV >"$dir/check.log" 2>&1 ||
    { cat "$dir/check.log" >&2; ex_fail "Exim does not accept $dir/etc/exim.conf"; return 1; }
}

ex_start() {
  local dir=$1 exim ports port
  exim=$(sed -n 's/^exim_path = //p' "$dir/etc/exim.conf")
  ports=$(cat "$dir/etc/ports")
  # -bdf: the daemon stays in the foreground, and setpriv runs it in its own
  # process (exec), so \$! is the daemon's id; in the foreground it logs to
  # standard error. -oX gives the ports (on local_interfaces) and, given on
  # the command line, also means no pid file: Exim removes one at exit by
  # running itself with -oPX, which nobody may not.
  setpriv --reuid=nobody --regid=nogroup --clear-groups "$exim" -C "$dir/etc/exim.conf" -bdf -oX "$ports" \
    >>"$dir/log/exim.log" 2>&1 &
  echo $! >"$dir/daemon.pid"
  # Ready when the daemon has bound its ports.
  for port in ${ports//:/ }; do
    local up=""
    for _ in $(seq 1 100); do
      if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then up=1; break; fi
      kill -0 "$(cat "$dir/daemon.pid")" 2>/dev/null || break
      sleep 0.1
    done
    if [ -z "$up" ]; then
      tail -20 "$dir/log/exim.log" >&2
      [ -f "$dir/log/paniclog" ] && cat "$dir/log/paniclog" >&2
      ex_stop "$dir"
      ex_fail "Exim does not listen on 127.0.0.1:$port"
      return 1
    fi
  done
}

ex_stop() {
  local dir=$1 pid
  [ -f "$dir/daemon.pid" ] || return 0
  pid=$(cat "$dir/daemon.pid")
  rm -f "$dir/daemon.pid"
  [ -n "$pid" ] || return 0
  kill -TERM "$pid" 2>/dev/null || return 0
  for _ in $(seq 1 100); do
    kill -0 "$pid" 2>/dev/null || { wait "$pid" 2>/dev/null; return 0; }
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  return 0
}

# Waits until the queue of the private Exim is empty (every message
# delivered or failed): no message files left in its spool's input folder.
ex_wait_empty() {
  local dir=$1 seconds=${2:-60}
  for _ in $(seq 1 $((seconds * 10))); do
    if [ -z "$(find "$dir/spool/input" -type f -name '*-H' 2>/dev/null | head -1)" ]; then
      return 0
    fi
    sleep 0.1
  done
  ex_fail "the queue of the test's Exim is not empty after $seconds s"
}
