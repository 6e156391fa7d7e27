# Shared by the attenuatorctl tests: expect EXIT "ARGS" "STDOUT" ["STDERR PART"] runs
# attenuatorctl ($ctl) with ARGS (split on spaces) and compares exit code and stdout exactly;
# stderr must hold STDERR PART, or be empty when none is given (no spinner on a pipe).
failures=0
cases=0
expect() {
  local want_rc=$1 args=$2 want_out=$3 want_err=${4:-} out err rc=0
  cases=$((cases + 1))
  # shellcheck disable=SC2086
  out=$(timeout 60 "$ctl" $args 2>"$work/stderr") || rc=$?
  err=$(<"$work/stderr")
  if [[ $rc != "$want_rc" || $out != "$want_out" ]] ||
     { [[ -z $want_err ]] && [[ -n $err ]]; } || [[ $err != *"$want_err"* ]]; then
    failures=$((failures + 1))
    echo "FAIL: attenuatorctl $args"
    echo "  exit $rc, wanted $want_rc"
    diff <(printf '%s\n' "$want_out") <(printf '%s\n' "$out") | sed 's/^/  /'
    echo "  stderr: $err"
  else
    echo "ok    attenuatorctl $args"
  fi
}

summary() {
  echo "$((cases - failures)) of $cases cases passed"
  [[ $failures == 0 ]]
}
