# shellcheck shell=bash
# SPDX-License-Identifier: MIT
# Installs Debian packages for scripts/deps and windows/deps, which source this file:
# only the packages missing, and through a package index that may be incomplete. A
# mirror in the middle of a sync fails `apt-get update` for one index ("File has
# unexpected size ... Mirror sync in progress?") for minutes or hours; the update is
# retried a few times, then the install is tried anyway, as most packages do not
# need that index. What still cannot be installed is named, with apt's reason, and
# the caller decides whether that is fatal.
#
# The caller sets apt_who (its name, for messages). Tuning: APT_UPDATE_TRIES
# (default 3) and APT_UPDATE_PAUSE (seconds between tries, default 20).

apt_who=${apt_who:-$0}
apt_updated=0
# Why the last apt-get update failed; empty when it succeeded or did not run.
APT_UPDATE_PROBLEM=
# Why the last apt_install did not install everything; empty when it did.
APT_PROBLEM=

apt_installed() {
    [[ $(dpkg-query -W -f='${Status}' "$1" 2>/dev/null || true) == "install ok installed" ]]
}

# Prints, one a line, the packages among the arguments that are not installed.
apt_missing() {
    local p
    for p; do apt_installed "$p" || printf '%s\n' "$p"; done
}

# apt-get without questions; it waits for a dpkg lock held by another installer (a
# fresh machine often runs unattended upgrades at boot) and retries downloads.
apt_get() {
    DEBIAN_FRONTEND=noninteractive apt-get -q -o DPkg::Lock::Timeout=600 \
        -o Acquire::Retries=3 "$@" </dev/null
}

# The reasons in an apt-get update log, on one line: each index that failed and why.
apt_update_errors() {
    local errors
    errors=$(awk '
        /^Err:/ { what = $2; sub(/^[a-z]+:\/\//, "", what)
                  for (i = 3; i <= NF; i++) what = what " " $i; pending = 1; next }
        pending && /^[ \t]/ { why = $0; sub(/^[ \t]+/, "", why); sub(/ *\[IP: [^]]*\]$/, "", why)
                              line = what ": " why
                              if (!(line in seen)) { seen[line] = 1; out = out (out ? "; " : "") line } }
        { pending = 0 }
        END { print out }' "$1")
    [[ -n $errors ]] || errors=$(apt_errors "$1")
    printf '%s\n' "${errors:-apt-get update failed without a message}"
}

# The E: lines of an apt-get log, on one line.
apt_errors() {
    sed -n 's/^E: //p' "$1" | awk '!seen[$0]++' | paste -sd ';' | sed 's/;/; /g'
}

# Runs apt-get update once per process (a later call returns the first one's
# result). A failed update is retried; if it still fails, APT_UPDATE_PROBLEM says why
# and the status is 1.
apt_update() {
    if ((apt_updated)); then
        [[ -z $APT_UPDATE_PROBLEM ]]
        return
    fi
    apt_updated=1
    local tries=${APT_UPDATE_TRIES:-3} pause=${APT_UPDATE_PAUSE:-20} try log
    log=$(mktemp)
    for ((try = 1; try <= tries; try++)); do
        if apt_get update >"$log" 2>&1; then
            APT_UPDATE_PROBLEM=
            rm -f "$log"
            return 0
        fi
        APT_UPDATE_PROBLEM=$(apt_update_errors "$log")
        echo "$apt_who: apt-get update failed (try $try of $tries): $APT_UPDATE_PROBLEM" >&2
        if ((try < tries)); then
            echo "$apt_who: trying again in $pause s" >&2
            sleep "$pause"
        fi
    done
    rm -f "$log"
    echo "$apt_who: going on with the package index as it is" >&2
    return 1
}

# apt_install [--no-recommends] PACKAGE...: installs those not installed yet, all
# together or none. Returns 0 when every one is installed at the end. Otherwise
# returns 1 with APT_PROBLEM naming the packages that cannot be installed and why
# (also printed on stderr, with apt's own account of the problem).
apt_install() {
    local options=()
    if [[ ${1:-} == --no-recommends ]]; then
        options+=(--no-install-recommends)
        shift
    fi
    local missing=()
    mapfile -t missing < <(apt_missing "$@")
    APT_PROBLEM=
    ((${#missing[@]})) || return 0
    if [[ $(id -u) -ne 0 ]]; then
        APT_PROBLEM="${missing[*]} not installed (run $apt_who as root to install them)"
        echo "$apt_who: $APT_PROBLEM" >&2
        return 1
    fi

    echo "$apt_who: installing ${missing[*]}"
    apt_update || true
    local log
    log=$(mktemp)
    if apt_get install -y "${options[@]}" "${missing[@]}" >"$log" 2>&1; then
        rm -f "$log"
        return 0
    fi
    local reason
    reason=$(apt_errors "$log")
    # apt's account: the unmet dependencies (the first of them) and its errors.
    echo "$apt_who: apt-get install failed:" >&2
    {
        sed -n '/unmet dependencies:/,/^E: /{/^E: /!p}' "$log" |
            awk 'NR <= 12; END { if (NR > 12) printf "  ... %d more lines\n", NR - 12 }'
        grep '^E: ' "$log" || true
    } | sed 's/^/    /' >&2

    mapfile -t missing < <(apt_missing "${missing[@]}")
    if ((${#missing[@]} == 0)); then
        rm -f "$log"
        return 0
    fi

    # Name the culprits: each package still missing, tried alone in a simulation, with
    # the reason apt gives for it (packages with the same reason named together). When
    # each alone would install, the failure is theirs together (or dpkg's).
    local p why reasons=() problems=()
    declare -A named=()
    for p in "${missing[@]}"; do
        apt_get install -s "${options[@]}" "$p" >"$log" 2>&1 && continue
        why=$(apt_errors "$log")
        why=${why:-apt-get install -s $p failed}
        [[ -n ${named[$why]+set} ]] || reasons+=("$why")
        named[$why]+=${named[$why]:+ }$p
    done
    rm -f "$log"
    if ((${#reasons[@]} == 0)); then
        reasons=("${reason:-apt-get install failed}")
        named[${reasons[0]}]=${missing[*]}
    fi
    for why in "${reasons[@]}"; do
        problems+=("${named[$why]} could not be installed (apt-get: $why)")
    done
    APT_PROBLEM=$(printf '%s; ' "${problems[@]}")
    APT_PROBLEM=${APT_PROBLEM%; }
    [[ -z $APT_UPDATE_PROBLEM ]] ||
        APT_PROBLEM+="; the package index is incomplete, apt-get update failed: $APT_UPDATE_PROBLEM"
    echo "$apt_who: $APT_PROBLEM" >&2
    return 1
}
