# Sourced by the CI scripts.
#
#   bounded SECONDS LOG COMMAND...
#
# Runs COMMAND in a process group of its own with its output in LOG (or on
# this script's output when LOG is -) and returns its status. A command still
# running after SECONDS is a hang: every process of its group is shown with
# the stacks of its threads, then the group is killed, and the status is 124.
# A hung run fails with a diagnosis instead of using up the whole CI budget.

bounded() {
  local limit=$1 log=$2
  shift 2
  if [ "$log" = - ]; then
    setsid "$@" </dev/null &
  else
    setsid "$@" </dev/null >"$log" 2>&1 &
  fi
  local pid=$! start=$SECONDS
  while kill -0 "$pid" 2>/dev/null; do
    if [ $((SECONDS - start)) -ge "$limit" ]; then
      echo "bounded: still running after $limit s: $*"
      describe_process_group "$pid"
      kill -KILL -- "-$pid" 2>/dev/null
      wait "$pid" 2>/dev/null
      return 124
    fi
    sleep 1
  done
  wait "$pid"
}

describe_process_group() {
  local group=$1 pid
  ps -o pid,ppid,stat,etime,args -g "$group" 2>/dev/null
  for pid in $(pgrep -g "$group"); do
    case "$(cat "/proc/$pid/comm" 2>/dev/null)" in
      bash | sh | setsid | sleep) continue ;;
    esac
    echo "--- threads of $pid: $(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | cut -c1-200)"
    if command -v gdb >/dev/null 2>&1; then
      timeout 60 gdb -p "$pid" -batch -ex 'thread apply all bt 30' 2>/dev/null | grep -E '^(Thread|#)' | cut -c1-200 | head -200
    else
      for task in /proc/"$pid"/task/*; do
        echo "$(cat "$task/comm" 2>/dev/null): $(cat "$task/wchan" 2>/dev/null)"
      done
    fi
  done
}
