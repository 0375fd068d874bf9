#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# plughost's bash completion: what it offers after each of a few command lines.
# Usage: completion-test.sh COMPLETION_SCRIPT
set -uo pipefail
source "$1"
cd "$(mktemp -d)" && touch song.flac notes.txt && mkdir music
compopt() { :; }  # only bash's own completion may call it

failures=0
# expect WORDS... => EXPECTED: completes the last word of WORDS.
expect() {
    local words=() expected
    while [[ $1 != '=>' ]]; do words+=("$1"); shift; done
    shift
    expected=$*
    COMP_WORDS=("${words[@]}") COMP_CWORD=$((${#words[@]} - 1)) COMPREPLY=()
    _plughost
    local got
    got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | xargs)
    if [[ $got != "$expected" ]]; then
        echo "FAILED: ${words[*]} -> '$got', expected '$expected'"
        failures=$((failures + 1))
    fi
}

expect plughost '' '=>' help info play render script
expect plughost r '=>' render
expect plughost --output '' '=>' auto device device: null wav:
expect plughost --output wav : so '=>' song.flac
expect plughost --output wav : '=>' music notes.txt song.flac
expect plughost --output null play '' '=>' music notes.txt song.flac
expect plughost play --v '=>' --version --volume
expect plughost render song.flac --f '=>' --for --format
expect plughost render song.flac --format '' '=>' f32 s16
expect plughost info -- '=>' --help --json --output --plugin --version
expect plughost help '' '=>' help info play render script
((failures == 0)) && echo "bash completion: every case passed"
exit $((failures > 0))
