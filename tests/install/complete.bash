# Sourced by the install tests: bash-completion and `complete_line WORD...`, which prints, sorted,
# what completing the last word of that gxempctl command line offers.
# shellcheck disable=SC1091
source /usr/share/bash-completion/bash_completion

complete_line() {
    local COMP_WORDS=("$@") COMP_CWORD=$(($# - 1))
    local COMP_LINE="$*"
    local COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    # compopt complains outside an interactive completion; what is offered is COMPREPLY.
    _gxempctl gxempctl "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}" 2>/dev/null ||
        echo "the completion failed ($?)"
    ((${#COMPREPLY[@]})) && printf '%s\n' "${COMPREPLY[@]}" | sort
    return 0
}
