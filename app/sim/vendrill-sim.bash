# bash completion for vendrill-sim: its options and the values that have a
# list.

_vendrill_sim()
{
    local cur prev words cword split
    _init_completion -s || return

    case $prev in
        --pace)
            COMPREPLY=($(compgen -W '9600 19200 38400 57600 115200' -- "$cur"))
            return ;;
        --delay | --split | --split-gap | --noise | --name | --pin | --late-name-ack | --line | --first-address | \
            --stay | --gone | --air | --air-object)
            return ;;
    esac
    $split && return

    COMPREPLY=($(compgen -W '--silent --delay --split --split-gap --noise --overlong-name --error --old-module
                             --name --pin --refuse-name --lose-name-ack --late-name-ack --pace --line
                             --first-address --stay --gone --air --air-object --help --version' -- "$cur"))
} &&
    complete -F _vendrill_sim vendrill-sim
