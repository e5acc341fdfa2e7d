# bash completion for qev-mount: options, then archives or folders of them, then a mount point.
_qev_mount() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    if [[ $prev == -o ]]; then
        mapfile -t COMPREPLY < <(compgen -W "ignore_case max_open= cache_size= unproven allow_other" -- "$cur")
        [[ ${COMPREPLY[0]} == *= ]] && compopt -o nospace 2>/dev/null
        return
    fi
    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "-o -f -d -s --help --version" -- "$cur")
        return
    fi
    compopt -o filenames 2>/dev/null
    mapfile -t COMPREPLY < <(compgen -f -X '!*.qev' -- "$cur"; compgen -d -- "$cur")
}
complete -F _qev_mount qev-mount
