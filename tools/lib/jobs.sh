# Sourced by .ci/run: runs named steps side by side in a few lanes, each step's output in a log
# of its own, and times each step (wall clock and processor).
#
#   job NAME [--after NAME]... -- COMMAND [ARG...]    declares a step
#   run_jobs LANES                                    runs the steps declared since the last call
#   job_table                                         prints every step's times and the totals
#
# A step starts once every step it comes --after has passed; of the steps that may start, the one
# declared first goes first. When a step fails, its whole log is printed at once between two
# lines naming it; the steps that come after it never start, the others go on (one run shows
# every failure), and run_jobs fails at the end, naming the failed steps again. Logs are kept in
# $JOB_LOGS.

JOB_LOGS="${JOB_LOGS:-$(mktemp -d)}"
mkdir -p "$JOB_LOGS"
job_names=()
job_pending=()
declare -A job_command job_after job_state job_wall job_cpu job_log job_pid
job_started_at=$SECONDS

job() {
    local name="$1" after=()
    shift
    while [ "$1" = --after ]; do
        after+=("$2")
        shift 2
    done
    [ "$1" = -- ] || { echo "job: $name: expected -- before the command" >&2; return 2; }
    shift
    job_names+=("$name")
    job_pending+=("$name")
    job_command[$name]="$(printf '%q ' "$@")"
    job_after[$name]="$(printf '%s\n' "${after[@]}")"
    job_state[$name]=waiting
    job_log[$name]="$JOB_LOGS/$(printf '%02d' "${#job_names[@]}")-$(printf '%s' "$name" |
        tr -c 'A-Za-z0-9.' '-' | cut -c1-60).log"
}

# Processor seconds (user and system) from the output of `times`: the shell's, then its children's.
job_seconds_of_times() {
    awk '{ for (i = 1; i <= 2; i++) { split($i, part, "m"); total += part[1] * 60 + part[2] } }
        END { printf "%d", total }' "$1"
}

job_ready() { # whether every step the named one comes after has passed
    local before
    while IFS= read -r before; do
        [ -z "$before" ] || [ "${job_state[$before]:-}" = passed ] || return 1
    done <<<"${job_after[$1]}"
}

job_clock() { printf '%3d:%02d' $(((SECONDS - job_started_at) / 60)) $(((SECONDS - job_started_at) % 60)); }

job_start() {
    local name="$1" log="${job_log[$1]}"
    printf '[%s] start   %s\n' "$(job_clock)" "$name"
    job_state[$name]=running
    job_wall[$name]=$SECONDS
    # In a process group of its own (set -m), so that stopping it reaches everything it started.
    # `times` in the step's own shell sees the processor time of everything it waited for.
    set -m
    (
        set +e
        eval "${job_command[$name]}"
        status=$?
        times >"$log.times"
        exit "$status"
    ) </dev/null >"$log" 2>&1 &
    set +m
    job_pid[$name]=$!
}

job_stop_running() {
    local name
    for name in "${job_names[@]}"; do
        if [ "${job_state[$name]}" = running ]; then
            kill -TERM -- "-${job_pid[$name]}" 2>/dev/null || true
            wait "${job_pid[$name]}" 2>/dev/null || true
            job_state[$name]=stopped
            job_wall[$name]=$((SECONDS - job_wall[$name]))
            job_cpu[$name]=0
            printf '[%s] stopped %s\n' "$(job_clock)" "$name"
        fi
    done
}

run_jobs() {
    local lanes="$1" running=0 failed=() name pid status started left
    trap 'job_stop_running; exit 130' INT TERM
    while :; do
        left=()
        for name in "${job_pending[@]}"; do
            if [ "$running" -lt "$lanes" ] && job_ready "$name"; then
                job_start "$name"
                running=$((running + 1))
            else
                left+=("$name")
            fi
        done
        job_pending=("${left[@]}")
        [ "$running" -gt 0 ] || break
        status=0
        wait -n -p pid || status=$?
        for name in "${job_names[@]}"; do
            [ "${job_state[$name]}" = running ] && [ "${job_pid[$name]}" = "$pid" ] || continue
            running=$((running - 1))
            started="${job_wall[$name]}"
            job_wall[$name]=$((SECONDS - started))
            job_cpu[$name]=0
            [ -f "${job_log[$name]}.times" ] &&
                job_cpu[$name]="$(job_seconds_of_times "${job_log[$name]}.times")"
            if [ "$status" -eq 0 ]; then
                job_state[$name]=passed
                printf '[%s] passed  %s (%d s, processor %d s)\n' "$(job_clock)" "$name" \
                    "${job_wall[$name]}" "${job_cpu[$name]}"
            else
                job_state[$name]=failed
                failed+=("$name")
                printf '[%s] FAILED  %s (exit %d after %d s)\n' "$(job_clock)" "$name" "$status" \
                    "${job_wall[$name]}"
                printf '\n######## FAILED: %s (exit %d); its whole log, %s:\n' "$name" "$status" \
                    "${job_log[$name]}"
                cat "${job_log[$name]}"
                printf '######## end of the log of the failed step: %s\n' "$name"
            fi
        done
    done
    trap - INT TERM
    if [ "${#failed[@]}" -gt 0 ]; then
        printf '######## FAILED: %s\n' "${failed[@]}"
        return 1
    fi
    if [ "${#job_pending[@]}" -gt 0 ]; then
        printf 'run_jobs: never ready: %s\n' "${job_pending[@]}" >&2
        return 1
    fi
}

job_table() {
    local name wall=0 cpu=0
    printf '\n=== time per step (wall clock, processor), lanes side by side\n'
    for name in "${job_names[@]}"; do
        case "${job_state[$name]}" in
            passed | failed | stopped)
                printf '%6d s %6d s  %-7s %s\n' "${job_wall[$name]}" "${job_cpu[$name]}" \
                    "${job_state[$name]}" "$name"
                cpu=$((cpu + job_cpu[$name]))
                ;;
            *) printf '%6s   %6s    %-7s %s\n' - - "not run" "$name" ;;
        esac
    done
    printf '%6d s %6d s  in all (wall clock of the run; processor time of every step)\n' \
        $((SECONDS - job_started_at)) "$cpu"
    echo "logs: $JOB_LOGS"
}
