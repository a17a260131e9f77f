# Helpers of scripts/gui-walk.sh: a person's hands (xdotool), eyes (a
# picture per step, the widgets the accessibility bus shows) and patience
# (every wait is on a condition, with a bound).
# Expects: $out (pictures), $here (this folder), DISPLAY.

step_no=0
step_name=start
widgets() { /usr/bin/python3 "$here/widgets.py" "$@" 2> >(grep -v DeprecationWarning >&2); }

# The walk stops at the first step that fails, with the step's name, a
# picture of the screen then and the widgets it showed.
fail() {
  local picture
  picture=$(printf '%s/%02d-%s-FAILED.png' "$out" "$step_no" "$step_name")
  shoot_to "$picture" 2> /dev/null || true
  widgets texts "$app" > "${picture%.png}.widgets.txt" 2> /dev/null || true
  echo "gui-walk: step $step_no ($step_name) failed: $*" >&2
  echo "gui-walk: the screen then: $picture" >&2
  exit 1
}

step() {
  step_no=$((step_no + 1))
  step_name=$1
  step_started=$SECONDS
  printf '== %02d %s\n' "$step_no" "$1"
}

# A picture of the whole screen; xwd once waited for the X server without
# end as a program exited, so each try is bounded and a second one made.
shoot_to() {
  local try
  for try in 1 2 3; do
    timeout 20 xwd -root -silent > "$1.xwd" && xwdtopnm < "$1.xwd" 2> /dev/null | pnmtopng > "$1" && rm -f "$1.xwd" && return 0
  done
  rm -f "$1.xwd"
  return 1
}

# The picture that closes a step.
shot() {
  local picture
  picture=$(printf '%s/%02d-%s.png' "$out" "$step_no" "$step_name")
  shoot_to "$picture" || fail "no picture of the screen"
  echo "   done in $((SECONDS - step_started)) s: $(basename "$picture")"
}

# where [--window TITLE] ROLE NAME: the widget's centre, waited for.
where() { widgets where "$app" "$@" --timeout "${bound:-60}" || fail "$(last_words)"; }
last_words() { echo "no shown widget: $*"; }

click_at() { xdotool mousemove --sync "$1" "$2" click ${3:-1}; }
click() {
  local at
  at=$(widgets where "$app" "$@" --timeout "${bound:-60}") || fail "nothing to click: $*"
  click_at $at
}
double_click() {
  local at
  at=$(widgets where "$app" "$@" --timeout "${bound:-60}") || fail "nothing to double-click: $*"
  click_at $at "--repeat 2 1"
}
wait_widget() { widgets wait "$app" "$@" --timeout "${bound:-60}" || fail "never shown: $*"; }
wait_gone() { widgets gone "$app" "$@" --timeout "${bound:-60}" || fail "still shown: $*"; }

# type_into [--window TITLE] ROLE NAME TEXT: replaces a field's text.
type_into() {
  local text=${*: -1}
  local at
  at=$(widgets where "$app" "${@:1:$#-1}" --timeout "${bound:-60}") || fail "no field: ${*:1:$#-1}"
  click_at $at
  xdotool key --clearmodifiers ctrl+a BackSpace
  xdotool type --delay 20 -- "$text"
}

# wait_line FILE REGEX [SECONDS]: a line matching REGEX shows up in FILE.
wait_line() {
  local bound_s=${3:-60} deadline=$((SECONDS + ${3:-60}))
  until [ -f "$1" ] && grep -Eq -- "$2" "$1"; do
    [ "$SECONDS" -ge "$deadline" ] && fail "no line /$2/ in $(basename "$1") after $bound_s s"
    sleep 0.1
  done
}

# until_true SECONDS WHAT COMMAND...: polls COMMAND until it succeeds.
until_true() {
  local bound_s=$1 what=$2 deadline=$((SECONDS + $1))
  shift 2
  until "$@" > /dev/null 2>&1; do
    [ "$SECONDS" -ge "$deadline" ] && fail "$what (waited $bound_s s)"
    sleep 0.2
  done
}

# top_window TITLE_REGEX: the id of the program's main window, once mapped.
top_window() {
  local deadline=$((SECONDS + 60)) id
  until id=$(xdotool search --onlyvisible --name "$1" 2> /dev/null | head -n1) && [ -n "$id" ]; do
    if [ "$SECONDS" -ge "$deadline" ]; then
      fail "no window /$1/ (windows: $(xdotool search --name . 2> /dev/null | while read -r w; do xdotool getwindowname "$w"; done | tr '\n' ',' ))"
    fi
    sleep 0.2
  done
  echo "$id"
}

# drag X1 Y1 X2 Y2: the left button pressed at the first point, moved to the
# second in small steps as a hand moves it, and let go there.
drag() {
  local i
  xdotool mousemove --sync "$1" "$2" mousedown 1
  for i in 1 2 3 4 5 6 7 8 9 10 11 12; do
    xdotool mousemove --sync $(($1 + ($3 - $1) * i / 12)) $(($2 + ($4 - $2) * i / 12))
    sleep 0.05
  done
  # The drop target answers the last move before the button comes up.
  sleep 0.3
  xdotool mouseup 1
}

# wait_log REGEX: a message of the system log matches REGEX (whole message).
wait_log() { wait_widget --in "tree:System Log Messages" "table cell" "$1"; }
