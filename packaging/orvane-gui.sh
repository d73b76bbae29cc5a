#!/bin/sh
# The window with config.cfg and the log in the user's own data folder unless
# --data-dir is given: the program's folder (its default) is not the user's to write.
set -e
for arg in "$@"; do
  if [ "$arg" = --data-dir ]; then
    exec @ORVANE_GUI_PROGRAM@ "$@"
  fi
done
dir="${XDG_DATA_HOME:-$HOME/.local/share}/orvane"
mkdir -p "$dir"
exec @ORVANE_GUI_PROGRAM@ --data-dir "$dir" "$@"
