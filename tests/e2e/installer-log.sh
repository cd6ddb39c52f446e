# What a verbose installer log (msiexec /l*v) tells about a run; sourced by
# the end-to-end scripts.

# installer_log_text FILE: the log as UTF-8 text without CRs (Windows writes
# it in UTF-16, Wine in the ANSI code page).
installer_log_text() {
  [ -f "$1" ] || return 0
  if [ "$(head -c 2 "$1" | od -An -tx1 | tr -d ' ')" = "fffe" ]; then
    iconv -f UTF-16 -t UTF-8 "$1" | tr -d '\r'
  else
    tr -d '\r' <"$1"
  fi
}

# installer_log_properties FILE NAME...: "NAME = value" for each name, from
# the property dump at the end of the run ("" when not set; the first line of
# a value with line breaks).
installer_log_properties() {
  local log=$1; shift
  local dump name
  dump=$(installer_log_text "$log" | sed -n 's/^Property(S): \([A-Za-z_0-9.]*\) = \(.*\)$/\1=\2/p')
  for name in "$@"; do
    echo "$name = $(grep "^$name=" <<<"$dump" | tail -1 | cut -d= -f2-)"
  done
}

# installer_log_records FILE: the module's lines ("CustAction: <action>: <record>").
installer_log_records() {
  installer_log_text "$1" | grep '^CustAction: '
}
