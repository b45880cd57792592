# Sourced by the tests that show the agent's real PIN prompt: a screen of their own.
#
# start_screen FOLDER   starts Xvfb on a free display (its number kept in FOLDER/display),
#                       sets screen_pid (the caller ends it) and exports DISPLAY; fails when
#                       Xvfb did not start within 5 s.
# prompt_window         the id of the agent's PIN prompt when one is on the screen, else nothing.
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
