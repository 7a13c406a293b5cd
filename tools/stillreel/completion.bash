# bash completion for stillreel: its options, the values of --container and --pixels, BMP
# pictures for the pictures and text files for --list.
_stillreel() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  local prev=
  ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
  local IFS=$'\n'
  case $prev in
    --container)
      COMPREPLY=($(compgen -W $'auto\navi1\nopendml' -- "$cur"))
      return
      ;;
    --pixels)
      COMPREPLY=($(compgen -W $'bgr24\ngray8\nbgra32' -- "$cur"))
      return
      ;;
    -o | --output)
      COMPREPLY=($(compgen -f -X '!*.[aA][vV][iI]' -- "$cur") $(compgen -d -- "$cur"))
      [[ -z $cur ]] && COMPREPLY+=(-)
      return
      ;;
    -l | --list)
      COMPREPLY=($(compgen -f -- "$cur"))
      [[ -z $cur ]] && COMPREPLY+=(-)
      return
      ;;
    -r | --fps | -s | --smooth | --threads | --pictures)
      COMPREPLY=()
      return
      ;;
  esac
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W $'--output\n--list\n--fps\n--smooth\n--container\n--pixels\n--classic\n--threads\n--pictures\n--check\n--quiet\n--help\n--version' -- "$cur"))
    return
  fi
  COMPREPLY=($(compgen -f -X '!*.[bB][mM][pP]' -- "$cur") $(compgen -d -- "$cur"))
  # - reads the pictures from standard input.
  [[ -z $cur ]] && COMPREPLY+=(-)
}
complete -o filenames -F _stillreel stillreel
