# shellcheck shell=bash
# Sourced by scripts/windows: the Windows programs run under Wine with every serial port of this
# machine out of reach, the proofs of --check (the test program, stravik-cli.exe against the
# virtual card beside the Linux stravik-cli, the installer, the window) and the figures of
# --measure. Defines functions only; they use scripts/windows's variables (qt_prefix, build_dir,
# staged, version) and linux_dir, work and pids, which scripts/windows sets.
# shellcheck disable=SC2154

# Seconds any one wait may take before the step fails.
readonly kWineDeadline=60

# The window's title and its controls, in twips as window/form1.cpp places them (15 twips make
# one pixel): the captions that must be drawn ("name left top width height"), the buttons the
# proofs click, and the lists the card's reply selects (原地址 down to 扫描方式).
readonly kWindowTitle=StravikV3.3
readonly kCaptions=(
    "串口 720 165 615 255"
    "原地址 480 555 630 210"
    "新地址 480 915 630 210"
    "行数 720 1260 615 375"
    "每行汉字数 120 1665 1050 210"
    "数据正反向 120 2010 1050 210"
    "OE正反向 240 2355 840 210"
    "扫描方式 240 2715 840 210"
    "注1 2640 480 3630 180"
    "设置（原地址）初始显示信息 3240 2520 3135 375"
    "修改设置 240 3000 1335 375"
    "重启(原地址)控制卡 1800 3000 2295 375"
    "发送（原地址）显示信息 360 4515 3015 375"
    "退出 4000 4515 1935 375"
    "注2 240 4965 4335 180"
)
readonly kRestartButton="1800 3000 2295 375"
readonly kExitButton="4000 4515 1935 375"
# 原地址 and 新地址 below it: the same kind of list, so the same picture when they show the same.
readonly kOriginalAddressList="1200 480 1335 300"
readonly kNewAddressList="1200 840 1335 300"

# A display text for address 255, where no card is: written to a card's line after each command
# so that the card's line for it marks where that command's frames end.
readonly kSentinel=BFC3445A1A
readonly kSentinelLine='BF C3 44 5A 1A  '

# The device servers' addresses in front of the Windows side's card and the Linux side's, by
# kind (tcp, rfc2217), once check_network has started them.
declare -A win_net=() lin_net=()

# What COM3 must give where nothing is behind it.
readonly kPortMissing='串口被占用或此串口不存在！请更改串口！'

# Runs a namespace's commands: sh -c SCRIPT SLAVE COMMAND... Every serial device is /dev/null
# but /dev/ttyS0, which is SLAVE, and /run/lock is private. Wine maps COMn to /dev/ttyS(n-1), and
# the numbers left over to USB adapters, and its wineserver opens them as it starts, so it must
# start in here; it is waited for at the end.
# shellcheck disable=SC2016 # expanded by the inner shell
readonly kNamespaceScript='set -e
mount --make-rprivate /
for n in /dev/ttyS* /dev/ttyUSB* /dev/ttyACM*; do
    [ -e "$n" ] || continue
    mount --bind /dev/null "$n"
done
if [ -e /dev/ttyS0 ]; then
    mount --bind "$0" /dev/ttyS0
    if [ "$(stat -L -c %t:%T /dev/ttyS0)" != "$(stat -L -c %t:%T "$0")" ]; then
        echo "windows: /dev/ttyS0 is not $0 after the bind mount" >&2
        exit 125
    fi
elif [ "$0" != /dev/null ]; then
    echo "windows: there is no /dev/ttyS0 to route COM1 to $0 over" >&2
    exit 125
fi
mount -t tmpfs tmpfs /run/lock
set +e
"$@"
status=$?
wineserver -w
exit $status'

# hidden_ports SLAVE COMMAND...: COMMAND in a private mount namespace where COM1 (/dev/ttyS0) is
# SLAVE, a pseudo-terminal or /dev/null, and every other port is /dev/null. A wineserver of this
# prefix that runs outside is ended first, so that the namespace's own one opens the ports.
hidden_ports() {
    local slave=$1
    shift
    [[ -n ${WINEPREFIX:-} ]] || die "no Wine prefix of this run's own yet"
    wineserver -k 2>/dev/null || true
    unshare --mount sh -c "$kNamespaceScript" "$slave" "$@"
}

# wait_for SECONDS WHAT COMMAND...: runs COMMAND until it succeeds, for at most SECONDS.
wait_for() {
    local seconds=$1 what=$2
    shift 2
    local deadline=$((SECONDS + seconds))
    until "$@"; do
        ((SECONDS < deadline)) || die "FAIL: gave up waiting ${seconds}s for $what"
        sleep 0.02
    done
}

# now_us: the wall clock in microseconds.
now_us() { echo "${EPOCHREALTIME/./}"; }

# seconds_of MICROSECONDS: as seconds with two decimals.
seconds_of() { printf '%d.%02d' $(($1 / 1000000)) $((($1 % 1000000) / 10000)); }

# median: the median of the whole numbers on standard input, one a line.
median() {
    sort -n | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print int((v[NR / 2] + v[NR / 2 + 1]) / 2) }'
}

pass() { say "ok: $*"; }
fail() { die "FAIL: $*"; }

# The private Wine prefix of this run, made inside the namespace before anything else runs in
# it. Mono and Gecko are left out: nothing here needs them, and their installers would ask.
make_wine_prefix() {
    export WINEPREFIX=$work/wine WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
    # Wine turns the arguments and file names into UTF-16 by the locale's character set.
    export LC_ALL=C.UTF-8
    unset WINEPATH QT_PLUGIN_PATH
    mkdir -p "$WINEPREFIX"
    hidden_ports /dev/null wineboot -i >/dev/null 2>&1 || die "wineboot could not create $WINEPREFIX"
    [[ -f $WINEPREFIX/system.reg ]] || die "wineboot made no $WINEPREFIX/system.reg"
}

# start_card NAME ARG...: a virtual card of the Linux build whose output goes to $work/NAME.out;
# sets card_slave to its pseudo-terminal.
start_card() {
    local name=$1
    shift
    "$linux_dir/tools/virtual-card" --headless "$@" >"$work/$name.out" 2>"$work/$name.err" &
    pids+=($!)
    wait_for 10 "the virtual card $name" grep -q '^slave: ' "$work/$name.out"
    card_slave=$(sed -n '1s/^slave: //p' "$work/$name.out")
    [[ -c $card_slave ]] || die "the virtual card $name names no device: $card_slave"
}

# write_bytes DEVICE HEX: HEX's bytes to DEVICE in one write, without making it this shell's
# controlling terminal.
write_bytes() {
    perl -MFcntl -e 'sysopen(my $f, $ARGV[0], O_WRONLY | O_NOCTTY) or die "$ARGV[0]: $!\n";
        my $b = pack("H*", $ARGV[1]); syswrite($f, $b) == length($b) or die "short write\n"' \
        "$1" "$2"
}

# sentinels NAME: how many sentinel lines the card NAME has printed.
sentinels() { grep -c "^$kSentinelLine" "$work/$1.out" || true; }

# released PID DEVICE: the process PID holds DEVICE open no more.
released() {
    local fd
    for fd in /proc/"$1"/fd/*; do
        [[ $(readlink "$fd" 2>/dev/null) != "$2" ]] || return 1
    done
}

# has_sentinels NAME COUNT: the card NAME has printed COUNT sentinel lines or more.
has_sentinels() { (($(sentinels "$1") >= $2)); }

# card_lines_since NAME SLAVE: writes the sentinel to the card's line, waits for the card to
# print it, and prints what the card printed between the last sentinel and this one: the
# frames the last command sent, in hex with their meaning, and what the card did.
card_lines_since() {
    local name=$1 slave=$2 count
    count=$(($(sentinels "$name") + 1))
    # A device server empties the line's queues as it lets go of it after its client has gone,
    # which would take a sentinel written before with them.
    [[ -z ${ser2net_pid:-} ]] || wait_for 10 "ser2net to let go of $slave" released "$ser2net_pid" "$slave"
    write_bytes "$slave" "$kSentinel"
    wait_for 10 "the card $name to read the frames" has_sentinels "$name" "$count"
    awk -v k="$count" -v s="$kSentinelLine" 'NR == 1 && /^slave: / { next }
        index($0, s) == 1 { n++; next } n == k - 1 { print }' "$work/$name.out"
}

# frames_of: the hex of the frame lines on standard input, separated by " | ".
frames_of() {
    sed -n 's/^\(\([0-9A-F][0-9A-F] \)*[0-9A-F][0-9A-F]\)  .*/\1/p' | paste -sd'|' | sed 's/|/ | /g'
}

# check_tests: the Windows test program's suites through CTest under Wine; the DLLs come from
# Qt's prefix and MinGW, the tests draw offscreen.
check_tests() {
    say "step: the Windows test program under Wine"
    local path d log=$work/ctest.log
    path=$(winepath -w "$qt_prefix/bin")
    while read -r d; do path+=";$(winepath -w "$d")"; done < <(mingw_runtime_dirs)
    if ! WINEPATH=$path QT_PLUGIN_PATH=$(winepath -w "$qt_prefix/plugins") \
        hidden_ports /dev/null ctest --test-dir "$build_dir" --output-on-failure --no-tests=error \
        >"$log" 2>&1; then
        cat "$log" >&2
        fail "the Windows test program under Wine (above)"
    fi
    pass "Windows test program under Wine: $(grep -o '[0-9]*% tests passed.*' "$log")," \
        "suites $(sed -n 's/.*Test *#[0-9]*: \([a-z]*\) .*Passed.*/\1/p' "$log" | paste -sd' ')"
}

# run_cli WHERE SLAVE NAME ARG...: stravik-cli (WHERE windows or linux) with ARG... and COM1 on
# SLAVE; its standard output and error go to $work/NAME.WHERE.out and .err (line ends as on
# Linux), its exit code to cli_status.
run_cli() {
    local where=$1 slave=$2 name=$3
    shift 3
    local program=("$linux_dir/cli/stravik-cli")
    [[ $where == windows ]] && program=(wine "$staged/stravik-cli.exe")
    cli_status=0
    hidden_ports "$slave" "${program[@]}" "$@" </dev/null >"$work/$name.$where.stdout" \
        2>"$work/$name.$where.stderr" || cli_status=$?
    tr -d '\r' <"$work/$name.$where.stdout" >"$work/$name.$where.out"
    tr -d '\r' <"$work/$name.$where.stderr" >"$work/$name.$where.err"
}

# cli_case STATUS ARG...: stravik-cli.exe ARG... on the Windows card and the Linux stravik-cli
# ARG... on the Linux card. Both must exit with STATUS, the cards must have received the same
# frames byte for byte and done the same, and the two must have printed the same (but for
# "ports", whose devices are each system's own).
cli_case() {
    local expected=$1
    shift
    local name=cli$((++cli_cases)) shown win_status args
    # {tcp} and {rfc2217} are each side's own device server in front of its card.
    args=("${@//\{tcp\}/${win_net[tcp]:-}}")
    args=("${args[@]//\{rfc2217\}/${win_net[rfc2217]:-}}")
    shown="stravik-cli.exe ${args[*]}"
    shown=${shown//$'\n'/\\n}
    run_cli windows "$win_slave" "$name" "${args[@]}"
    win_status=$cli_status
    local win_said
    win_said=$(head -n 2 "$work/$name.windows.err" | paste -sd' ')
    card_lines_since win "$win_slave" >"$work/$name.windows.card"
    args=("${@//\{tcp\}/${lin_net[tcp]:-}}")
    args=("${args[@]//\{rfc2217\}/${lin_net[rfc2217]:-}}")
    run_cli linux "$lin_slave" "$name" "${args[@]}"
    card_lines_since lin "$lin_slave" >"$work/$name.linux.card"

    ((win_status == expected)) ||
        fail "$shown: exit $win_status, not $expected (${win_said:-it said nothing})"
    ((cli_status == expected)) ||
        fail "$shown: the Linux stravik-cli exits $cli_status, not $expected"
    if ! cmp -s "$work/$name.windows.card" "$work/$name.linux.card"; then
        diff -u "$work/$name.linux.card" "$work/$name.windows.card" | sed 's/^/    /' >&2 || true
        fail "$shown: the card got other frames than from the Linux stravik-cli (- Linux, + Windows)"
    fi
    if [[ $1 != ports ]]; then
        cmp -s "$work/$name.windows.out" "$work/$name.linux.out" ||
            fail "$shown: printed $(paste -sd' ' "$work/$name.windows.out"), on Linux $(paste -sd' ' "$work/$name.linux.out")"
        [[ $(head -n 1 "$work/$name.windows.err") == "$(head -n 1 "$work/$name.linux.err")" ]] ||
            fail "$shown: says $(head -n 1 "$work/$name.windows.err"), on Linux $(head -n 1 "$work/$name.linux.err")"
    fi
    local frames
    frames=$(frames_of <"$work/$name.windows.card")
    pass "$shown: exit $win_status as on Linux, ${frames:-no frame}" \
        "as on Linux${cli_note:+, $cli_note}"
}

# check_cli: every command of stravik-cli.exe against the virtual card on COM1, each beside the
# Linux stravik-cli against a card of its own.
check_cli() {
    say "step: stravik-cli.exe against the virtual card on COM1"
    start_card win
    win_slave=$card_slave
    start_card lin
    lin_slave=$card_slave
    cli_cases=0

    cli_note=
    cli_case 0 ports
    if ! grep -q '^COM1：' "$work/cli1.windows.out" || ! grep -q '^COM8：' "$work/cli1.windows.out"; then
        fail "stravik-cli.exe ports lists no COM1 to COM8: $(paste -sd' ' "$work/cli1.windows.out")"
    fi
    cli_case 0 restart 1
    cli_case 0 set 1 --rows 2 --chars 8 --data reverse --oe forward --scan full
    cli_case 0 set 1 --new-address 3 --rows 3 --chars 10 --data forward --oe reverse --scan half \
        --verify
    cli_case 0 initial-text 3 欢迎光临
    cli_case 0 text 3 $'测试通信协议！\nA€丂😀'
    cli_case 0 set 0 --chars 6 --yes
    cli_case 0 restart 0 --json
    cli_case 3 restart 9
    cli_case 5 set 3 --rows 300

    # COM3: nothing is behind it here (no /dev/ttyS2, or /dev/null), so it cannot open.
    local com3
    com3=$(readlink "$WINEPREFIX/dosdevices/com3" 2>/dev/null || true)
    cli_note="COM3 ${com3:+is $com3, /dev/null here}${com3:-has no device}"
    cli_case 2 restart 3 --port COM3
    [[ $(head -n 1 "$work/cli$cli_cases.windows.err") == "$kPortMissing" ]] ||
        fail "stravik-cli.exe --port COM3 says $(head -n 1 "$work/cli$cli_cases.windows.err")"
    pass "stravik-cli.exe --port COM3 says $kPortMissing"
}

# free_port: a TCP port on 127.0.0.1 that nothing listens on now.
free_port() {
    perl -MIO::Socket::INET -e 'my $s = IO::Socket::INET->new(LocalAddr => "127.0.0.1",
        LocalPort => 0, Listen => 1) or die "$!\n"; print $s->sockport, "\n"'
}

# listening PORT...: something listens on each TCP PORT of 127.0.0.1.
listening() {
    local port
    for port; do
        [[ -n $(ss -ltnH "src 127.0.0.1:$port") ]] || return 1
    done
}

# check_network: stravik-cli.exe through a serial device server (Debian's ser2net, raw TCP and
# RFC 2217 on 127.0.0.1) in front of the same virtual card, beside the Linux stravik-cli through
# one in front of its own card.
check_network() {
    say "step: stravik-cli.exe through a device server, tcp:// and rfc2217://"
    local side kind port config=$work/ser2net.yaml ports=()
    for side in win lin; do
        for kind in tcp rfc2217; do
            port=$(free_port)
            ports+=("$port")
            local accepter=tcp slave=$win_slave
            [[ $kind == rfc2217 ]] && accepter='telnet(rfc2217),tcp'
            [[ $side == lin ]] && slave=$lin_slave
            printf 'connection: &%s%s\n  accepter: %s,127.0.0.1,%s\n  connector: serialdev,%s,9600n81,local\n' \
                "$side" "$kind" "$accepter" "$port" "$slave" >>"$config"
            if [[ $side == win ]]; then
                win_net[$kind]=$kind://127.0.0.1:$port
            else
                lin_net[$kind]=$kind://127.0.0.1:$port
            fi
        done
    done
    # In the foreground, without UUCP lock files.
    /usr/sbin/ser2net -n -u -P "$work/ser2net.pid" -c "$config" >"$work/ser2net.log" 2>&1 &
    ser2net_pid=$!
    pids+=("$ser2net_pid")
    wait_for 10 "ser2net to listen" listening "${ports[@]}"
    cli_note=
    # Commands whose last frame is answered: ser2net empties the line as it lets go of it once
    # the client has gone, so a frame written just before that can be lost on its way to the
    # card (a text through tcp:// now and then, from either stravik-cli).
    cli_case 0 restart 3 --port '{tcp}'
    cli_case 0 set 3 --rows 4 --verify --port '{tcp}'
    cli_case 0 set 3 --chars 7 --verify --port '{rfc2217}'
    cli_case 0 restart 3 --port '{rfc2217}'
}

# prefix_files: the files and directories of the prefix's drive C, but Windows's own directory
# and the temporary ones, whose contents come and go with any program.
prefix_files() {
    (cd "$WINEPREFIX/drive_c" && find . -path ./windows -prune -o -path '*/Temp' -prune -o -print) |
        sort
}

# check_installer: stravik-3.3-setup.exe /S installs every staged file under Program Files with
# a Start-menu entry and an Add/Remove Programs entry; uninstall.exe /S takes all of it away.
check_installer() {
    say "step: the installer, silent"
    local setup=$build_dir/stravik-$version-setup.exe
    local dir=$WINEPREFIX/drive_c/Program\ Files/Stravik
    local link=$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start\ Menu/Programs/Stravik.lnk
    local key='[Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Stravik]'
    prefix_files >"$work/before-install"

    hidden_ports /dev/null wine "$setup" /S || fail "$setup /S exits $?"
    local f missing=()
    for f in stravik.exe stravik-cli.exe uninstall.exe; do
        [[ -f $dir/$f ]] || missing+=("$f")
    done
    ((${#missing[@]} == 0)) || fail "setup /S installed no ${missing[*]} in C:\\Program Files\\Stravik"
    (cd "$staged" && find . -type f | sort) >"$work/staged-files"
    while read -r f; do
        cmp -s "$staged/$f" "$dir/$f" || fail "setup /S did not install $f as staged"
    done <"$work/staged-files"
    [[ -f $link ]] || fail "setup /S made no Start-menu entry (Stravik.lnk)"
    grep -qF "$key" "$WINEPREFIX/system.reg" || fail "setup /S made no Add/Remove Programs entry"
    pass "$(basename "$setup") /S: $(wc -l <"$work/staged-files") files in C:\\Program Files\\Stravik" \
        "as staged, uninstall.exe, the Start-menu entry, the Add/Remove Programs entry"

    hidden_ports /dev/null wine "$dir/uninstall.exe" /S || fail "uninstall.exe /S exits $?"
    # The uninstaller runs a copy of itself from the temporary directory, which goes on after
    # the first one has ended.
    wait_for "$kWineDeadline" "uninstall.exe to remove C:\\Program Files\\Stravik" test ! -e "$dir"
    [[ ! -e $link ]] || fail "uninstall.exe /S left the Start-menu entry"
    ! grep -qF "$key" "$WINEPREFIX/system.reg" || fail "uninstall.exe /S left the Add/Remove Programs entry"
    prefix_files >"$work/after-uninstall"
    if ! cmp -s "$work/before-install" "$work/after-uninstall"; then
        diff "$work/before-install" "$work/after-uninstall" | sed 's/^/    /' >&2 || true
        fail "uninstall.exe /S left files behind or took others (above)"
    fi
    pass "uninstall.exe /S: the directory, the entries and every file gone, drive C as before"
}

# pixels TWIPS: the twips of a place in pixels, as form1.cpp rounds them.
pixels() { echo $((($1 * 2 + 15) / 30)); }

# rect "LEFT TOP WIDTH HEIGHT" (twips): "WxH+X+Y" in pixels of the client area, shrunk by INSET
# pixels on every side (default 0).
rect() {
    local l t w h inset=${2:-0}
    read -r l t w h <<<"$1"
    echo "$(($(pixels "$w") - 2 * inset))x$(($(pixels "$h") - 2 * inset))+$(($(pixels "$l") + inset))+$(($(pixels "$t") + inset))"
}

# window_place: "WIDTH HEIGHT X Y" of the mapped window titled kWindowTitle; fails while there is
# none.
window_place() {
    xwininfo -name "$kWindowTitle" 2>/dev/null | awk '/Absolute upper-left X:/ { x = $NF }
        /Absolute upper-left Y:/ { y = $NF } /^ *Width:/ { w = $NF } /^ *Height:/ { h = $NF }
        /Map State: IsViewable/ { v = 1 } END { if (!v) exit 1; print w, h, x, y }'
}

# click_at "LEFT TOP WIDTH HEIGHT" (twips): a click in the middle of that place of the window.
click_at() {
    local l t w h
    read -r l t w h <<<"$1"
    xdotool mousemove $((win_x + $(pixels $((l + w / 2))))) $((win_y + $(pixels $((t + h / 2))))) \
        click 1
}

# shoot FILE: the window's client area as it is on the screen now.
shoot() {
    import -window root "$work/root.png"
    convert "$work/root.png" -crop "${win_w}x${win_h}+${win_x}+${win_y}" +repage "$1"
}

# settled FILE: shoots until two shots in a row are the same picture and that picture is a
# drawn window. Wine maps a window black and Qt paints it afterwards, so two shots taken before
# the first paint are the same black picture: a window counts as drawn when less than a tenth of
# it is near black (a drawn one has about 2 %, its ink and the rule between the two halves).
settled() {
    shoot "$1"
    local sig black
    black=$(convert "$1" -colorspace Gray -threshold 20% -format '%[fx:round((1 - mean) * 1000)]' info:)
    if ((black >= 100)); then
        last_sig=
        return 1
    fi
    sig=$(identify -format '%#' "$1")
    [[ $sig == "${last_sig:-}" ]] && return 0
    last_sig=$sig
    return 1
}

# dark_pixels FILE "LEFT TOP WIDTH HEIGHT" INSET: how many pixels of that place are dark (ink of
# a caption, black or red).
dark_pixels() {
    convert "$1" -crop "$(rect "$2" "$3")" +repage -colorspace Gray -threshold 60% \
        -format '%[fx:round((1 - mean) * w * h)]' info:
}

# light_pixels FILE "LEFT TOP WIDTH HEIGHT" INSET: how many pixels of that place are light (the
# face a caption is written on).
light_pixels() {
    convert "$1" -crop "$(rect "$2" "$3")" +repage -colorspace Gray -threshold 60% \
        -format '%[fx:round(mean * w * h)]' info:
}

# area_of FILE "LEFT TOP WIDTH HEIGHT": that place of the shot, as a picture's signature.
area_of() {
    convert "$1" -crop "$(rect "$2")" +repage -format '%#' info:
}

# open_window WHAT PROGRAM...: starts PROGRAM in a namespace with COM1 on the card's line and
# waits for its window; sets app (the namespace's process), win_w, win_h, win_x, win_y and
# started_us (from the start to the window mapped, in microseconds).
open_window() {
    local what=$1
    shift
    local start
    start=$(now_us)
    hidden_ports "$card_slave" "$@" >>"$work/app.log" 2>&1 &
    app=$!
    pids+=("$app")
    wait_for "$kWineDeadline" "the window of $what" window_up "$what"
    started_us=$(($(now_us) - start))
}

# window_up WHAT: sets win_w, win_h, win_x and win_y once the window of app is mapped; fails at
# once when app has ended.
window_up() {
    kill -0 "$app" 2>/dev/null || fail "$1 ended before its window was mapped (see $work/app.log)"
    local place
    place=$(window_place) || return 1
    read -r win_w win_h win_x win_y <<<"$place"
}

# app_gone: app has ended.
app_gone() { ! kill -0 "$app" 2>/dev/null; }

# close_window WHAT: a click on 退     出, and the program ends.
close_window() {
    click_at "$kExitButton"
    wait_for "$kWineDeadline" "$1 to end after 退出" app_gone
    wait "$app" || fail "$1 exits $? after 退出"
}

# start_display: an X server of this run's own, 96 dots per inch, no window manager.
start_display() {
    Xvfb -displayfd 3 -screen 0 1024x768x24 -dpi 96 -nolisten tcp 3>"$work/display" \
        2>"$work/xvfb.log" &
    pids+=($!)
    wait_for 10 "Xvfb" test -s "$work/display"
    DISPLAY=":$(head -n 1 "$work/display")"
    export DISPLAY
    export XDG_RUNTIME_DIR=$work/xdg
    mkdir -p -m 700 "$XDG_RUNTIME_DIR"
    unset WAYLAND_DISPLAY QT_QPA_PLATFORM
}

# restart_answered: the window's card got the broadcast restart and answered it.
restart_answered() {
    grep -A3 '^80 C0 58 1A  ' "$work/window.out" | grep -q '^card 1 answers: '
}

# same_addresses FILE: 原地址 shows in FILE what 新地址 shows.
same_addresses() {
    [[ $(area_of "$1" "$kOriginalAddressList") == $(area_of "$1" "$kNewAddressList") ]]
}

# reply_shown: 原地址 on the screen now shows the 1 of 新地址, the card's address in its reply.
reply_shown() {
    shoot "$work/after.png"
    same_addresses "$work/after.png"
}

# check_window SHOT: stravik.exe under Xvfb with COM1 on a virtual card: the window's client area
# as the Linux stravik's, every caption drawn (the shot goes to SHOT), and a click on
# 重启(原地址)控制卡 sends the broadcast restart, which the card answers and the lists show.
check_window() {
    local shot=$1
    say "step: the window, stravik.exe under Xvfb"
    start_display

    start_card linwindow
    open_window "the Linux stravik" "$linux_dir/app/stravik"
    local linux_size="${win_w}x$win_h" linux_us=$started_us
    close_window "the Linux stravik"

    start_card window --cards 1
    open_window stravik.exe wine "$staged/stravik.exe"
    [[ "${win_w}x$win_h" == "$linux_size" ]] ||
        fail "stravik.exe's window is ${win_w}x$win_h, the Linux stravik's $linux_size"
    pass "stravik.exe maps \"$kWindowTitle\", client area ${win_w}x$win_h as the Linux stravik's," \
        "after $(seconds_of "$started_us") s (Linux $(seconds_of "$linux_us") s)"

    last_sig=
    wait_for "$kWineDeadline" "the window to be drawn" settled "$work/before.png"
    local caption name dark light blank=()
    for caption in "${kCaptions[@]}"; do
        name=${caption%% *}
        # Inside a button's frame, or the label's whole place.
        # Ink on a light face: a place painted black has no face, one left blank no ink.
        dark=$(dark_pixels "$work/before.png" "${caption#* }" 3)
        light=$(light_pixels "$work/before.png" "${caption#* }" 3)
        ((dark >= 10 && light > dark)) || blank+=("$name")
    done
    ((${#blank[@]} == 0)) || fail "no caption drawn for: ${blank[*]} (see $work/before.png)"
    mkdir -p "$(dirname "$shot")"
    convert "$work/before.png" -strip "$shot"
    pass "every one of the ${#kCaptions[@]} captions drawn; the shot is $shot"

    # 原地址 starts at 0, 新地址 at 1; the card's reply selects its address, 1, in 原地址.
    ! same_addresses "$work/before.png" || fail "原地址 shows 新地址's 1 before any reply"
    local clicked_us shown_us
    # Taken before the click, so that the time to the reply is never short of what it is.
    clicked_us=$(now_us)
    click_at "$kRestartButton"
    wait_for 10 "the card to get 80 C0 58 1A and answer" restart_answered
    wait_for 10 "原地址 to show the card's reply, 1" reply_shown
    shown_us=$(($(now_us) - clicked_us))
    # The reply is read half a second after the frame has gone (a timer may fire a little early).
    ((shown_us >= 480000)) ||
        fail "原地址 showed the reply $(seconds_of "$shown_us") s after the click, before half a second"
    pass "a click on 重启(原地址)控制卡: the card got 80 C0 58 1A and" \
        "$(grep -m1 '^card 1 answers: ' "$work/window.out" | sed 's/^card 1 //')," \
        "原地址 showed its 1 $(seconds_of "$shown_us") s after the click"
    close_window stravik.exe
    pass "退出 closes stravik.exe"
}

# startup_runs FILE RUNS WHAT PROGRAM...: RUNS times PROGRAM from its start to its window
# mapped, each in a namespace of its own with COM1 on the card's line, closed with 退出 between
# runs; the times in microseconds go to FILE, one a line.
startup_runs() {
    local file=$1 runs=$2 what=$3 i
    shift 3
    for ((i = 0; i < runs; ++i)); do
        open_window "$what" "$@"
        echo "$started_us" >>"$file"
        close_window "$what"
    done
}

# warm_runs FILE RUNS: as startup_runs for stravik.exe, with a wineserver that already runs: the
# namespace and its wineserver stay between the runs, and each run enters them.
warm_runs() {
    local file=$1 runs=$2 i start holder keeper
    mkfifo "$work/hold"
    # shellcheck disable=SC2016 # expanded by the inner shell
    hidden_ports "$card_slave" sh -c 'echo $$ >"$0"; wineserver -p; read -r line <"$1"; wineserver -k' \
        "$work/holder" "$work/hold" &
    keeper=$!
    pids+=("$keeper")
    wait_for 10 "the namespace that holds the wineserver" test -s "$work/holder"
    holder=$(cat "$work/holder")
    # The first program of a prefix starts its services; that start is not counted.
    nsenter --mount --target "$holder" wine "$staged/stravik-cli.exe" --help >/dev/null 2>&1 || true
    for ((i = 0; i < runs; ++i)); do
        start=$(now_us)
        nsenter --mount --target "$holder" wine "$staged/stravik.exe" >>"$work/app.log" 2>&1 &
        app=$!
        pids+=("$app")
        wait_for "$kWineDeadline" "the window of stravik.exe" window_up stravik.exe
        echo $(($(now_us) - start)) >>"$file"
        close_window stravik.exe
    done
    echo >"$work/hold"
    wait "$keeper" || true
}

# measure_startup RUNS: the start-up of stravik.exe under Wine, with the wineserver started by
# the run and with one already running, beside the Linux stravik, under the same Xvfb.
measure_startup() {
    local runs=$1
    start_display
    start_card measure
    startup_runs "$work/linux.times" "$runs" "the Linux stravik" "$linux_dir/app/stravik"
    startup_runs "$work/cold.times" "$runs" stravik.exe wine "$staged/stravik.exe"
    warm_runs "$work/warm.times" "$runs"
    local kind
    for kind in linux cold warm; do
        say "  $kind: $(sort -n "$work/$kind.times" | while read -r t; do seconds_of "$t"; echo; done | paste -sd' ')"
    done
    say "start-up to the window mapped, medians of $runs runs: stravik.exe under Wine" \
        "$(seconds_of "$(median <"$work/cold.times")") s (the wineserver started by the run)," \
        "$(seconds_of "$(median <"$work/warm.times")") s (a wineserver already running);" \
        "the Linux stravik $(seconds_of "$(median <"$work/linux.times")") s"
}
