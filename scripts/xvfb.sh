# Sourced by the scripts that need a private X server. start_xvfb FIRST LAST
# SIZE LOG starts `Xvfb -noreset` on the first free display number in
# FIRST..LAST (no lock file, no socket; a server that loses the race for a
# number sends us on to the next one), waits for it (30 s at most), and sets
# DISPLAY and xvfb_pid. Returns 1 when no server came up.
start_xvfb() {
    local first="$1" last="$2" size="$3" log="$4" n
    DISPLAY=""
    xvfb_pid=""
    for n in $(seq "$first" "$last"); do
        [[ -e /tmp/.X$n-lock || -e /tmp/.X11-unix/X$n ]] && continue
        Xvfb ":$n" -screen 0 "${size}x24" -noreset -nolisten tcp >"$log" 2>&1 &
        xvfb_pid=$!
        for _ in $(seq 1 300); do
            if DISPLAY=":$n" xwininfo -root >/dev/null 2>&1; then
                export DISPLAY=":$n"
                unset WAYLAND_DISPLAY
                return 0
            fi
            kill -0 "$xvfb_pid" 2>/dev/null || break
            sleep 0.1
        done
        kill "$xvfb_pid" 2>/dev/null || true
        wait "$xvfb_pid" 2>/dev/null || true
        xvfb_pid=""
    done
    return 1
}
