# Sourced by the scripts that wait for Windows programs: wait_for TENTHS
# COMMAND... runs the command every tenth of a second until it succeeds, at
# most TENTHS times (stretched by GAGENT_TEST_TIMEOUT_SCALE under emulation).
wait_for() {
  local limit=$(($1 * ${GAGENT_TEST_TIMEOUT_SCALE:-1}))
  shift
  for _ in $(seq 1 "$limit"); do
    "$@" && return 0
    sleep 0.1
  done
  return 1
}
