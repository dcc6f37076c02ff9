# bash completion for velm-export
_velm_export() {
  local cur prev
  cur="${COMP_WORDS[COMP_CWORD]}"
  prev="${COMP_WORDS[COMP_CWORD-1]}"
  case "$prev" in
    --size) COMPREPLY=($(compgen -W "0 1600 1200 800 640" -- "$cur")); return ;;
    --privacy) COMPREPLY=($(compgen -W "0 500 800 1000" -- "$cur")); return ;;
    --service|--account|--album) COMPREPLY=(); return ;;
    --bundle) COMPREPLY=($(compgen -d -- "$cur")); return ;;
  esac
  if [[ "$cur" == -* ]]; then
    COMPREPLY=($(compgen -W "--service --account --password-stdin --remember --size --privacy --album
      --recursive -r --republish --retry-failed --dry-run --json --no-location --bundle --help -h --version" -- "$cur"))
    return
  fi
  COMPREPLY=($(compgen -f -- "$cur"))
}
complete -o filenames -F _velm_export velm-export
