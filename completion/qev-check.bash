# bash completion for qev-check: options, then a .qev file.
_qev_check() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    [[ $prev == -j || $prev == --jobs ]] && return
    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "--quick --list --json -j --jobs --progress --no-progress --help --version" -- "$cur")
        return
    fi
    compopt -o filenames 2>/dev/null
    mapfile -t COMPREPLY < <(compgen -f -X '!*.qev' -- "$cur"; compgen -d -- "$cur")
}
complete -F _qev_check qev-check
