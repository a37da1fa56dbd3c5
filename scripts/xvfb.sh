# Sourced by the scripts that run the real window on a virtual X server.
# Sets tmp (a scratch directory, removed at exit) and app_pid (the caller
# stores the program's pid there); start_xvfb starts Xvfb on a free display
# and exports DISPLAY. At exit the program and Xvfb are stopped. The sourcing
# script defines fail(), which reports and exits.

tmp=$(mktemp -d)
xvfb_pid='' app_pid=''
xvfb_cleanup() {
    # Everything, whatever has already gone: no early exit here.
    set +e
    [ -n "$app_pid" ] && kill -KILL "$app_pid" 2>/dev/null
    [ -n "$xvfb_pid" ] && kill -TERM "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
    rm -rf "$tmp"
}
trap xvfb_cleanup EXIT
trap 'exit 1' INT TERM

start_xvfb() {
    # Xvfb picks a free display itself and writes its number once it is ready.
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$tmp/display" >"$tmp/xvfb.log" 2>&1 &
    xvfb_pid=$!
    i=0
    until grep -q '^[0-9][0-9]*$' "$tmp/display" 2>/dev/null; do
        kill -0 "$xvfb_pid" 2>/dev/null || fail "Xvfb did not start: $(cat "$tmp/xvfb.log")"
        i=$((i + 1))
        [ "$i" -le 100 ] || fail "Xvfb reported no display within 10 s"
        sleep 0.1
    done
    DISPLAY=:$(cat "$tmp/display")
    export DISPLAY
    unset WAYLAND_DISPLAY
}
