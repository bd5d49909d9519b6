# bash completion for vendrill-cli: commands, options and their values, COMn
# names (those of the port map file too), serial device paths, and the USB
# printers' nodes, serial numbers and locations.

_vendrill_cli_ports()
{
    local cur=$1 map n
    local -a names=()
    for n in {1..20}; do
        names+=("COM$n")
    done
    # The same file the program reads; a relative XDG_CONFIG_HOME is ignored.
    if [[ ${XDG_CONFIG_HOME-} == /* ]]; then
        map=$XDG_CONFIG_HOME/vendrill/ports
    else
        map=$HOME/.config/vendrill/ports
    fi
    if [[ -f $map && -r $map ]]; then
        while IFS= read -r n; do
            names+=("$n")
        done < <(sed -n 's/^[[:space:]]*\(COM[1-9][0-9]\{0,2\}\)[[:space:]]*=.*/\1/p' "$map" 2>/dev/null)
    fi
    for n in /dev/serial/by-id/* /dev/ttyUSB* /dev/ttyACM* /dev/ttyAMA* /dev/rfcomm* /dev/ttyS*; do
        [[ -e $n ]] && names+=("$n")
    done
    COMPREPLY=($(compgen -W "${names[*]}" -- "$cur"))
    # Any other path, such as a simulator's /dev/pts/N.
    [[ $cur == /* ]] && COMPREPLY+=($(compgen -f -- "$cur"))
}

# The USB printer nodes there are, and their printers' USB serial numbers
# and locations (from sysfs, as udev has them); nothing without a printer.
_vendrill_cli_usb_devices()
{
    local cur=$1 node device serial
    local -a names=()
    for node in /dev/usb/lp*; do
        [[ -e $node ]] || continue
        names+=("$node")
        # .../<usb device>/<interface>/usbmisc/lpN: the serial number is the
        # USB device's, its folder's name the location (2-1.4).
        device=$(readlink -f "/sys/class/usbmisc/${node##*/}" 2>/dev/null) || continue
        device=${device%/usbmisc/*}
        device=${device%/*}
        serial=$(cat "$device/serial" 2>/dev/null)
        [[ -n $serial && $serial != *[[:space:]]* ]] && names+=("$serial")
        [[ $device == /sys/* ]] && names+=("${device##*/}")
    done
    COMPREPLY=($(compgen -W "${names[*]}" -- "$cur"))
}

_vendrill_cli()
{
    local cur prev words cword split
    _init_completion -s || return

    case $prev in
        --port)
            _vendrill_cli_ports "$cur"
            return ;;
        --baud)
            COMPREPLY=($(compgen -W '9600 19200 38400 57600 115200' -- "$cur"))
            return ;;
        --data-bits)
            COMPREPLY=($(compgen -W '7 8' -- "$cur"))
            return ;;
        --parity)
            COMPREPLY=($(compgen -W 'none odd even' -- "$cur"))
            return ;;
        --stop-bits)
            COMPREPLY=($(compgen -W '1 2' -- "$cur"))
            return ;;
        --level)
            COMPREPLY=($(compgen -W '1 3 not-use-pinkey use-pinkey' -- "$cur"))
            return ;;
        --usb-device)
            _vendrill_cli_usb_devices "$cur"
            return ;;
        --db)
            COMPREPLY=($(compgen -W 'sqlite: postgresql://' -- "$cur"))
            return ;;
        --suffix | --name | --first-suffix | --pin | --station | --count | --since | --timeout | --vid | --pid | \
            --address | --radio-timeout)
            return ;;
    esac
    $split && return

    # The command and how many of its arguments come before the cursor.
    local command= given=0 i options_ended=
    for ((i = 1; i < cword; i++)); do
        if [[ -z $options_ended ]]; then
            case ${words[i]} in
                --port | --baud | --data-bits | --parity | --stop-bits | --suffix | --usb-device | --name | \
                    --first-suffix | --pin | --level | --db | --station | --count | --since | --timeout | \
                    --vid | --pid | --address | --radio-timeout)
                    ((i++))
                    continue ;;
                --)
                    options_ended=1
                    continue ;;
                -*)
                    continue ;;
            esac
        fi
        if [[ -z $command ]]; then
            command=${words[i]}
        else
            ((given++))
        fi
    done

    if [[ $cur == -* && -z $options_ended ]]; then
        local opts='--port --baud --data-bits --parity --stop-bits --usb --usb-device --simulate --old-module
                    --new-module --json --trace --timeout --help --version'
        case $command in
            set-name) opts+=' --suffix --print' ;;
            station) opts+=' --name --first-suffix --pin --level --print --db --create-record --station --count --rename-back
                             --radio-check --radio-timeout' ;;
            records) opts+=' --db --csv --since' ;;
            ports) opts+=' --vid --pid' ;;
            radio-check) opts+=' --address --name --pin' ;;
        esac
        COMPREPLY=($(compgen -W "$opts" -- "$cur"))
        return
    fi
    if [[ -z $command ]]; then
        COMPREPLY=($(compgen -W 'info set-pin set-name set-level set-pairing sniff station records ports
                                    radio-check' -- "$cur"))
        return
    fi
    ((given == 0)) || return
    case $command in
        set-level)
            COMPREPLY=($(compgen -W '1 3 not-use-pinkey use-pinkey' -- "$cur")) ;;
        set-pairing)
            COMPREPLY=($(compgen -W '1 2 3 legacy just-works numeric-comparison' -- "$cur")) ;;
        sniff)
            COMPREPLY=($(compgen -W 'status enable disable' -- "$cur")) ;;
    esac
} &&
    complete -F _vendrill_cli vendrill-cli
