# bash completion for vendrill-board: its options, the record's schemes, the
# usual addresses to listen on and the token file.

_vendrill_board()
{
    local cur prev words cword split
    _init_completion -s || return

    case $prev in
        --db)
            COMPREPLY=($(compgen -W 'sqlite: postgresql://' -- "$cur"))
            return ;;
        --listen)
            COMPREPLY=($(compgen -W '127.0.0.1:8470 0.0.0.0:8470' -- "$cur"))
            return ;;
        --token|--config)
            _filedir
            return ;;
    esac
    $split && return

    COMPREPLY=($(compgen -W '--db --listen --token --config --help --version' -- "$cur"))
} &&
    complete -F _vendrill_board vendrill-board
