# Sourced by the tests that show the agent's real PIN prompt: a screen of their own.
#
# start_screen FOLDER   starts Xvfb on a free display (its number kept in FOLDER/display),
#                       sets screen_pid (the caller ends it) and exports DISPLAY; fails when
#                       Xvfb did not start within 5 s.
# prompt_window         the id of the agent's PIN prompt when one is on the screen, else nothing.
# settle, gone         wait for a window to be drawn, or to be closed (below).
start_screen() {
  Xvfb -displayfd 3 -screen 0 1280x800x24 3>"$1/display" 2>/dev/null &
  screen_pid=$!
  for _ in $(seq 50); do [ -s "$1/display" ] && break; sleep 0.1; done
  [ -s "$1/display" ] || return 1
  export DISPLAY=":$(cat "$1/display")"
}

prompt_window() {
  xdotool search --onlyvisible --name '^p11agent: PIN$' 2>/dev/null | head -n 1
}

# settle WINDOW: waits until the window is drawn and still (its picture has more than one
# colour and is the same in two looks 0.15 s apart: a blinking caret allows no longer), 15 s
# at the most; fails if it never is. A window still drawing (rows arriving, an error text
# laid out) drops keys sent to it, and a busy screen draws late: a fixed wait is either too
# short or wasted.
settle() {
  local last="" now
  for _ in $(seq 100); do
    now=$(import -window "$1" -silent miff:- 2>/dev/null | identify -format '%k %#' - 2>/dev/null)
    [ -n "$now" ] && [ "${now%% *}" -gt 1 ] && [ "$now" = "$last" ] && return 0
    last=$now
    sleep 0.15
  done
  return 1
}

# gone WINDOW PATTERN: waits until the window (named as PATTERN matches) is no longer shown,
# 15 s at the most; fails if it still is.
gone() {
  for _ in $(seq 150); do
    xdotool search --onlyvisible --name "$2" 2>/dev/null | grep -qx "$1" || return 0
    sleep 0.1
  done
  return 1
}
