#!/bin/bash
# The installed monitor and cleaners against real ssh logins on a booted
# Debian 12 machine: sshd with PAM, pam_systemd and systemd-logind. Run as
# root inside the throwaway machine that tests/box/run boots, with the
# Debian package at /package; it changes the machine freely.
#
# Users: alice and bob log in twice, with and without a pseudo-terminal;
# nina and noah only without one; carol only without one, for the cleaners;
# dave never. Steps:
#   cleaners  carol, logged in without a terminal, is spared by both cleaners
#             and acted upon once her session is gone (dave shows that they act)
#   phase 1   alice and nina, 3 minutes each: charged a minute a minute, alice
#             warned at 2 and 1 on her terminal, both disconnected whole
#   phase 2   the same for bob and noah with /run/utmp removed, LoginSource
#             still at its default
#   gate      ku_gate in sshd's PAM stack: erin, whose time is spent, is
#             refused; frank is let in and told his time; grace, without an
#             account, passes until the site requires accounts
#   package   an upgrade keeps accounts, bans and edited settings and restarts
#             the enabled monitor; remove keeps them; purge takes them
set -euo pipefail

work=/root/box
packages=${PACKAGES:-/package}
# Edited where an administrator edits it: sed -i through the product
# directory's link would put a file in the link's place.
config=/etc/kestrune/kestrune.config
ssh_options=(-o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -o LogLevel=ERROR
    -o BatchMode=yes -o ConnectTimeout=10)
started=$(date +%s)

say() { printf '%s +%3ss  %s\n' "$(date +%T)" "$(($(date +%s) - started))" "$*"; }
fail() {
    say "FAIL: $*"
    exit 1
}
ok() { say "ok: $*"; }
now() { date +%s.%N | cut -c1-14; }
# Runs the command every 0.2 s until it succeeds or the seconds are up.
within() {
    local seconds=$1 deadline
    shift
    deadline=$(($(date +%s) + seconds))
    until "$@"; do
        [ "$(date +%s)" -lt "$deadline" ] || return 1
        sleep 0.2
    done
}

# What a failure leaves to read: the monitor's log, the sessions, the
# processes of the test users and what the ssh clients printed.
report() {
    local status=$?
    [ "$status" -eq 0 ] && return
    say "--- the monitor's log"
    journalctl -u linewatchd.service --no-pager -o short-precise || true
    say "--- logind's sessions"
    loginctl list-sessions --no-legend || true
    say "--- processes of the test users"
    ps -o user,pid,ppid,tty,stat,cgroup,args -u alice,bob,nina,noah,carol,dave || true
    for file in "$work"/*.out "$work"/*.err; do
        [ -s "$file" ] && { say "--- $file"; cat -v "$file"; }
    done
    say "--- accounts"
    ku_list || true
    return "$status"
}
trap report EXIT

sessions_of() { loginctl list-sessions --no-legend | awk -v user="$1" '$3 == user { print $1 }'; }
session_count() { [ "$(sessions_of "$1" | wc -l)" -eq "$2" ]; }
processes_of() { pgrep -u "$1" || true; }
no_processes_of() { [ -z "$(processes_of "$1")" ]; }
no_sessions_of() { [ -z "$(sessions_of "$1")" ]; }
sleeps_of() { [ "$(pgrep -u "$1" -x sleep | wc -l)" -eq "$2" ]; }
in_login_records() { who | awk -v user="$1" '$1 == user { found = 1 } END { exit !found }'; }

# An ssh client in the background, logging in as the user with (pty) or
# without (notty) a pseudo-terminal. Its output goes to USER.KIND.out, and
# USER.KIND.rc appears with its exit status when it ends.
start_session() {
    local user=$1 kind=$2 flag=-T
    shift 2
    [ "$kind" = pty ] && flag=-tt
    (
        set +e
        ssh "${ssh_options[@]}" "$flag" "$user@127.0.0.1" "$@" </dev/null \
            >"$work/$user.$kind.out" 2>"$work/$user.$kind.err"
        echo $? >"$work/$user.$kind.rc"
    ) &
}
ended() { [ -e "$work/$1.rc" ]; }

# The fields of ku_list from the end, as the phone number may hold blanks:
# minutes left, then the stamp of the last minute charged.
account_state() { ku_list "$1" | awk '{ print $(NF - 8), $NF }'; }

# The package as an administrator installs it: it enables and starts
# nothing, and the product directory leads to the state and the settings.
install_programs() {
    local package
    package=$(ls "$packages"/kestrune_*.deb) || fail "no package in $packages"
    dpkg -i "$package" >"$work/dpkg.log" 2>&1 || fail "dpkg -i: $(cat "$work/dpkg.log")"
    systemctl cat linewatchd.service >/dev/null || fail "the monitor's unit was not installed"
    [ "$(readlink /usr/lib/Kestrune)" = /var/lib/kestrune ] || fail "no link /usr/lib/Kestrune"
    [ -f /usr/lib/Kestrune/kestrune.config ] || fail "no configuration through /usr/lib/Kestrune"
    local unit
    for unit in linewatchd.service ku_expire.timer ku_refill.timer ku_reapfiles.timer ku_reapprocs.timer; do
        ! systemctl is-enabled --quiet "$unit" || fail "the package enabled $unit"
        ! systemctl is-active --quiet "$unit" || fail "the package started $unit"
    done
    ok "installed $(basename "$package"); nothing enabled or started"
}

make_users() {
    mkdir -p /root/.ssh
    ssh-keygen -q -t ed25519 -N '' -f /root/.ssh/id_ed25519
    local user
    for user in alice bob nina noah carol dave erin frank grace; do
        useradd -m -s /bin/bash "$user"
        install -d -m 700 -o "$user" -g "$user" "/home/$user/.ssh"
        install -m 600 -o "$user" -g "$user" /root/.ssh/id_ed25519.pub "/home/$user/.ssh/authorized_keys"
    done
    # The command of the sessions without a terminal that the monitor ends.
    # On SIGTERM it forks a process that the monitor's list of the user's
    # processes, taken before, cannot hold: only ending the logind session
    # whole takes it.
    cat >/usr/local/bin/leave-straggler <<'EOF'
#!/usr/bin/perl
# Sleeps; told to end, leaves a process behind and says which. (Not a
# shell's trap: sh, signalled with the rest of its session, was seen to end
# now and then without running it.)
use strict;
$SIG{TERM} = sub {
    my $pid = fork();
    if (defined $pid && $pid == 0) {
        open(STDIN, '<', '/dev/null');
        open(STDOUT, '>', '/dev/null');
        open(STDERR, '>', '/dev/null');
        exec('sleep', '700');
        exit(1);
    }
    my $login = getpwuid($<);
    open(my $out, '>', "/tmp/straggler.$login") or die "/tmp/straggler.$login: $!";
    print $out "$pid\n";
    close($out);
    exit(0);
};
sleep(600) while 1;
EOF
    chmod 755 /usr/local/bin/leave-straggler
    ok "made the users and root's ssh key"
}

# Every login of the machine but those named: its daemons' owners.
every_login_but() {
    local skip=" $* "
    cut -d: -f1 /etc/passwd | while read -r login; do
        case "$skip" in *" $login "*) ;; *) printf '%s ' "$login" ;; esac
    done
}

cleaners() {
    say "cleaners: carol logs in without a terminal; dave is not logged in"
    start_session carol notty sleep 600
    within 15 session_count carol 1 || fail "carol's ssh login made no logind session"
    within 10 sleeps_of carol 1 || fail "carol's remote command does not run"
    ! in_login_records carol || fail "carol's login without a terminal has a login record"
    local carol_session carol_sleep
    carol_session=$(sessions_of carol)
    carol_sleep=$(pgrep -u carol -x sleep)

    # A process left without a terminal and a file, each old enough to go.
    local user
    mkdir -m 1777 /srv/reap
    for user in carol dave; do
        systemd-run --quiet --unit="stray-$user" -p User="$user" sleep 600
        install -o "$user" -g "$user" /dev/null "/srv/reap/$user.old"
        touch -d '30 days ago' "/srv/reap/$user.old"
    done
    within 10 sleeps_of dave 1 || fail "dave's stray process does not run"
    within 10 sleeps_of carol 2 || fail "carol's stray process does not run"
    local stray
    stray=$(systemctl show -p MainPID --value stray-carol)

    printf 'exempt %s\natime 7\nctime 0\nmtime 7\npath /srv/reap\n' \
        "$(every_login_but carol dave)" >/usr/lib/Kestrune/ku_reapfiles.config
    printf 'exempt %s\n' "$(every_login_but carol dave)" >/usr/lib/Kestrune/ku_reapprocs.config

    ku_reapfiles || fail "ku_reapfiles ended with status $?"
    ku_reapprocs || fail "ku_reapprocs ended with status $?"
    say "cleaners: ran both while carol's session is open"
    [ ! -e /srv/reap/dave.old ] || fail "ku_reapfiles left dave's old file: it acts on nobody"
    within 3 no_processes_of dave || fail "ku_reapprocs left dave's stray process: it acts on nobody"
    ok "dave, not logged in: his old file and his stray process are gone"
    [ -e /srv/reap/carol.old ] || fail "ku_reapfiles removed the file of carol, who is logged in"
    kill -0 "$stray" 2>/dev/null || fail "ku_reapprocs ended the stray process of carol, who is logged in"
    kill -0 "$carol_sleep" 2>/dev/null || fail "ku_reapprocs ended carol's session's command"
    ! ended carol.notty || fail "carol's ssh client ended"
    ok "carol, logged in without a terminal: her file, her stray process and her session are all there"

    loginctl terminate-session "$carol_session"
    within 15 no_sessions_of carol || fail "carol's session $carol_session did not close"
    within 10 ended carol.notty || fail "carol's ssh client did not end with her session"
    kill -0 "$stray" 2>/dev/null || fail "carol's stray process went with her session"
    say "cleaners: carol's session is gone, her stray process is not"

    ku_reapfiles || fail "ku_reapfiles ended with status $?"
    ku_reapprocs || fail "ku_reapprocs ended with status $?"
    [ ! -e /srv/reap/carol.old ] || fail "ku_reapfiles left carol's old file once she had gone"
    within 10 no_processes_of carol || fail "ku_reapprocs left carol's processes once she had gone: $(processes_of carol)"
    ok "carol, gone: her old file and her stray process are gone"
}

# Starts the monitor, not in the last seconds of a minute: its first cycle
# runs at once and the next at the minute, and the two charges must not
# fall between two looks at the account file.
start_monitor() {
    while [ "$(date +%S)" -ge 55 ]; do sleep 0.2; done
    systemctl start linewatchd.service || fail "linewatchd.service did not start"
    systemctl is-active --quiet linewatchd.service || fail "linewatchd.service is not running"
}

# Looks at the accounts, the clients and the notices every half second and
# writes each change to the events file as "time what who value...", until
# the accounts' time is spent and every client has ended, or 200 s.
watch() {
    local events=$1 clients=$2 accounts=$3 deadline user client notices busy state
    declare -A last
    deadline=$(($(date +%s) + 200))
    # From the state before the monitor started.
    for user in $accounts; do
        last[$user]=$(awk -v who="$user" '$2 == "charge" && $3 == who { state = $4 " " $5 } END { print state }' "$events")
    done
    while [ "$(date +%s)" -lt "$deadline" ]; do
        busy=0
        for user in $accounts; do
            state=$(account_state "$user")
            if [ "$state" != "${last[$user]:-}" ]; then
                last[$user]=$state
                echo "$(now) charge $user $state" >>"$events"
                say "$user: minutes left and stamp: $state"
            fi
            [ "${state%% *}" -le 0 ] 2>/dev/null || busy=1
        done
        for client in $clients; do
            if [ -z "${last[$client]:-}" ] && ended "$client"; then
                last[$client]=ended
                echo "$(now) ended $client" >>"$events"
                say "$client: ssh client ended (status $(cat "$work/$client.rc"))"
            fi
            [ -n "${last[$client]:-}" ] || busy=1
            case "$client" in *.pty)
                notices=$(notices_in "$work/$client.out")
                if [ "$notices" != "${last[notice.$client]:-}" ]; then
                    last[notice.$client]=$notices
                    echo "$(now) notices $client $notices" >>"$events"
                    say "$client: notices so far: $notices"
                fi
                ;;
            esac
        done
        [ "$busy" -eq 1 ] || return 0
        sleep 0.5
    done
}

# The minutes of each time notice on the terminal, in order.
notices_in() {
    grep -a -o 'NOTICE: You have [0-9-]* minute(s) remaining\.' "$1" 2>/dev/null |
        awk '{ printf "%s%s", sep, $4; sep = " " }'
}

event_time() { awk -v what="$2" -v who="$3" '$2 == what && $3 == who { print $1; exit }' "$1"; }

# Each account went 3, 2, 1, 0 with each minute charged in a later minute
# than the one before, the last two a minute apart: once a minute, never
# once per session.
check_charges() {
    local events=$1 user=$2 minutes stamps
    minutes=$(awk -v who="$user" '$2 == "charge" && $3 == who { printf "%s ", $4 }' "$events")
    [ "$minutes" = "3 2 1 0 " ] || fail "$user's minutes left went ${minutes% }, not 3 2 1 0, a minute each minute"
    stamps=$(awk -v who="$user" '$2 == "charge" && $3 == who && $4 != 3 { printf "%s ", $5 }' "$events")
    local first second third
    read -r first second third <<<"$stamps"
    if [ $((second / 60)) -le $((first / 60)) ] || [ $((third / 60)) -le $((second / 60)) ]; then
        fail "$user was charged twice in one minute (stamps $stamps)"
    fi
    if [ $((third - second)) -lt 58 ] || [ $((third - second)) -gt 62 ]; then
        fail "$user's last two minutes were charged $((third - second)) s apart, not a minute"
    fi
    ok "$user: charged 3 2 1 0, once a minute (stamps $stamps)"
}

# The user's sessions all went when the time was spent, and nothing of them
# is left: no process, no session, no straggler.
check_disconnected() {
    local events=$1 user=$2 spent client end
    shift 2
    spent=$(awk -v who="$user" '$2 == "charge" && $3 == who && $4 == 0 { print $1 }' "$events")
    for client in "$@"; do
        end=$(event_time "$events" ended "$client")
        [ -n "$end" ] || fail "$client: the ssh client was still connected 200 s on"
        awk -v end="$end" -v spent="$spent" 'BEGIN { exit !(end > spent - 2 && end < spent + 15) }' ||
            fail "$client: the ssh client ended at $end, not when $user's time was spent ($spent)"
    done
    within 15 no_processes_of "$user" ||
        fail "$user's processes are still running: $(ps -o pid=,args= -u "$user" | tr '\n' ';')"
    within 10 no_sessions_of "$user" || fail "logind still has sessions of $user: $(sessions_of "$user")"
    [ "$(journalctl -t linewatchd -o cat | grep -c "^disconnected $user: ")" -eq 1 ] ||
        fail "the monitor did not log $user's disconnection once"
    ok "$user: every ssh client ended when the time was spent; no process and no session of $user is left"
}

# The terminal session of alice (or bob) was warned at 2 and at 1 minute,
# each notice once, though she has two sessions.
check_warned() {
    local user=$1 notices
    notices=$(notices_in "$work/$user.pty.out")
    [ "$notices" = "2 1" ] ||
        fail "$user's terminal got the notices of minutes '$notices', not '2 1' once each"
    ok "$user: the ssh client on a terminal got the notices of 2 and 1 minute(s) remaining"
}

# The session without a terminal forked a process when told to end, after
# the monitor had listed the user's processes; it went with the session.
check_straggler() {
    local user=$1
    [ -s "/tmp/straggler.$user" ] || fail "$user's session without a terminal forked no straggler"
    ! kill -0 "$(cat "/tmp/straggler.$user")" 2>/dev/null || fail "$user's straggler survived"
    ok "$user: the process forked after SIGTERM went with the logind session"
}

# One run of the monitor: USER logs in with and without a terminal, ALONE
# only without; both accounts have 3 minutes. CHECK runs once all are
# logged in.
phase() {
    local label=$1 user=$2 alone=$3 check=$4 events="$work/$1.events"
    start_session "$user" pty sleep 600
    start_session "$user" notty leave-straggler
    start_session "$alone" notty sleep 600
    within 15 session_count "$user" 2 || fail "$user's two ssh logins made no two logind sessions"
    within 15 session_count "$alone" 1 || fail "$alone's ssh login made no logind session"
    within 10 sleeps_of "$user" 1 || fail "$user's remote command on a terminal does not run"
    within 10 pgrep -u "$user" -f leave-straggler >/dev/null ||
        fail "$user's remote command without a terminal does not run"
    within 10 sleeps_of "$alone" 1 || fail "$alone's remote command does not run"
    [ "$(ps -o tty=,comm= -u "$user" | awk '$1 ~ /^pts\// && $2 == "sleep"' | wc -l)" -eq 1 ] ||
        fail "$user's ssh -tt session runs on no pseudo-terminal"
    ok "$label: $user logged in with and without a terminal, $alone without; sessions" \
        "$(sessions_of "$user" | tr '\n' ' ')$(sessions_of "$alone")"
    local account
    for account in "$user" "$alone"; do
        [ "$(ku_enrol "$account" 0 3)" = "user added: $account" ] || fail "ku_enrol $account failed"
        echo "$(now) charge $account $(account_state "$account")" >>"$events"
    done
    "$check"

    local since
    since=$(date '+%F %T')
    start_monitor
    say "$label: the monitor started"
    watch "$events" "$user.pty $user.notty $alone.notty" "$user $alone"

    check_charges "$events" "$user"
    check_charges "$events" "$alone"
    check_disconnected "$events" "$user" "$user.pty" "$user.notty"
    check_disconnected "$events" "$alone" "$alone.notty"
    check_warned "$user"
    check_straggler "$user"
    systemctl is-active --quiet linewatchd.service || fail "the monitor stopped"
    local complaints
    complaints=$(journalctl -t linewatchd -p warning --since "$since" -o cat)
    [ -z "$complaints" ] || fail "the monitor logged warnings or errors: $complaints"
    ok "$label: the monitor still runs and logged no warning"
    systemctl stop linewatchd.service
}

# One interactive ssh login, a shell told to exit at once (sshd shows the
# messages of the login only to a login without a command): its exit
# status; what it printed is in USER.gate.out and USER.gate.err.
gate_login() {
    local user=$1
    echo exit | ssh "${ssh_options[@]}" -tt "$user@127.0.0.1" \
        >"$work/$user.gate.out" 2>"$work/$user.gate.err"
}
gate_logged() { journalctl -t ku_gate -o cat | grep -qx "$1"; }

gate() {
    say "gate: ku_gate in sshd's PAM stack"
    printf '%s\n' 'account required pam_exec.so quiet /usr/sbin/ku_gate' \
        'session optional pam_exec.so stdout /usr/sbin/ku_gate' >>/etc/pam.d/sshd
    [ "$(ku_enrol erin 0 1)" = "user added: erin" ] || fail "ku_enrol erin failed"
    [ "$(ku_enrol frank 0 30)" = "user added: frank" ] || fail "ku_enrol frank failed"

    ! gate_login erin || fail "erin, whose next minute is her last, was let in"
    within 5 gate_logged "refused erin: total" || fail "the refusal of erin was not logged"
    ok "gate: erin was refused, and the refusal logged"

    gate_login frank || fail "frank, with 30 minutes, was refused: $(cat "$work/frank.gate.err")"
    grep -q 'Kestrune: 29 minutes left (total limit)' "$work/frank.gate.out" ||
        fail "frank was not told his time at login: $(cat -v "$work/frank.gate.out")"
    ok "gate: frank was let in and told his time"

    gate_login grace || fail "grace, without an account, was refused while none is required"
    echo 'RequireAccount' >>"$config"
    ! gate_login grace || fail "grace, without an account, was let in though the site requires one"
    within 5 gate_logged "refused grace: no account" || fail "the refusal of grace was not logged"
    ok "gate: grace passed without an account until the site required one"
}

# Upgrade, remove and purge, with the monitor enabled and running, an
# account, a ban and an edited notice text on the machine.
lifecycle() {
    say "package: upgrade, remove and purge"
    systemctl enable --now linewatchd.service || fail "linewatchd.service did not start"
    ku_block 0 5551234 >/dev/null || fail "ku_block failed"
    [ -s /var/lib/kestrune/banned_users ] || fail "the ban is not in /var/lib/kestrune"
    echo "our own text" >/etc/kestrune/linewatchd.idle
    (cd /var/lib/kestrune && sha256sum kestrune_users banned_users) >"$work/state.sums"
    local before after
    before=$(systemctl show -p MainPID --value linewatchd.service)

    # The same package under a later version.
    rm -rf "$work/later"
    dpkg-deb -R "$(ls "$packages"/kestrune_*.deb)" "$work/later"
    sed -i 's/^Version: .*/&+later/' "$work/later/DEBIAN/control"
    dpkg-deb -b "$work/later" "$work/later.deb" >/dev/null
    dpkg -i "$work/later.deb" >"$work/dpkg.log" 2>&1 || fail "the upgrade: $(cat "$work/dpkg.log")"
    (cd /var/lib/kestrune && sha256sum --quiet -c "$work/state.sums") ||
        fail "the upgrade changed the account or ban file"
    [ "$(cat /etc/kestrune/linewatchd.idle)" = "our own text" ] || fail "the upgrade lost an edited notice"
    grep -qx RequireAccount "$config" || fail "the upgrade lost an edited setting"
    after=$(systemctl show -p MainPID --value linewatchd.service)
    systemctl is-active --quiet linewatchd.service && [ "$after" != "$before" ] ||
        fail "the upgrade did not restart the enabled monitor (main pid $before, then $after)"
    ok "package: the upgrade kept accounts, bans and edits, and restarted the monitor"

    dpkg -r kestrune >"$work/dpkg.log" 2>&1 || fail "dpkg -r: $(cat "$work/dpkg.log")"
    ! systemctl is-active --quiet linewatchd.service || fail "the monitor still runs after remove"
    [ ! -e /usr/sbin/linewatchd ] || fail "remove left the programs"
    (cd /var/lib/kestrune && sha256sum --quiet -c "$work/state.sums") || fail "remove lost the accounts or bans"
    [ "$(cat /etc/kestrune/linewatchd.idle)" = "our own text" ] || fail "remove lost the site's files"
    ok "package: remove kept the accounts, bans and settings"

    dpkg -P kestrune >"$work/dpkg.log" 2>&1 || fail "dpkg -P: $(cat "$work/dpkg.log")"
    local left
    for left in /var/lib/kestrune /etc/kestrune /usr/lib/Kestrune; do
        [ ! -e "$left" ] && [ ! -L "$left" ] || fail "purge left $left"
    done
    ok "package: purge removed the accounts, bans and settings"
}

mkdir -p "$work"
install_programs
make_users
# A short run: 3 minutes an account, notices at 2 and 1; LoginSource at its
# default.
sed -i -e 's/^WarnBoot .*/WarnBoot 2 1/' -e '/^[[:space:]]*LoginSource/Id' "$config"
grep -q '^WarnBoot 2 1$' "$config" || fail "the sample configuration has no WarnBoot line to set"
# Nothing may recreate /run/utmp while phase 2 runs without it.
systemctl stop systemd-tmpfiles-clean.timer

cleaners

say "phase 1: with /run/utmp"
[ -e /run/utmp ] || fail "the machine has no /run/utmp"
phase1_logged_in() {
    in_login_records alice || fail "alice's ssh -tt login wrote no login record"
    ! in_login_records nina || fail "nina's login without a terminal has a login record"
    ok "phase 1: alice is in the login records, nina only in logind's sessions"
}
phase phase1 alice nina phase1_logged_in

say "phase 2: without /run/utmp"
rm /run/utmp
utmp_stays_away() {
    [ ! -e /run/utmp ] || fail "something made /run/utmp again"
    ok "phase 2: there is no /run/utmp"
}
phase phase2 bob noah utmp_stays_away
utmp_stays_away

gate
lifecycle

say "--- the monitor's log"
journalctl -t linewatchd -o short-precise --no-pager
say "all checks passed"
