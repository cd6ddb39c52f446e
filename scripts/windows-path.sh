# Sourced by the scripts that hand file names to Wine's programs.
#
# windows_path PATH: the name a Wine process knows this file by: on C: for a
# file in the prefix's drive C, on Z: (the root of this machine, in every
# prefix) for any other. Worked out here rather than by winepath, which starts
# a Wine process of its own for it and, when that process fails, prints
# nothing at all; an empty name then reaches the program as its argument.
windows_path() {
  local path drive_c
  path=$(realpath -m -- "$1")
  drive_c=$(realpath -m -- "${WINEPREFIX:?WINEPREFIX is not set}/drive_c")
  case "$path" in
    "$drive_c") printf '%s\n' 'C:\' ;;
    "$drive_c"/*) path=${path#"$drive_c"/}; printf 'C:\\%s\n' "${path//\//\\}" ;;
    *) printf 'Z:%s\n' "${path//\//\\}" ;;
  esac
}
