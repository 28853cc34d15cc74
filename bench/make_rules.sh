#!/usr/bin/env bash
# Writes COUNT synthetic rules (a class word, a blank, a target) to standard
# output, the same ones on every run, in the shapes people write: `=name`,
# `name`, `name-helper`, `Name.exe`, `Some Game.exe`, `=name.exe`, and a few
# paths under folders that do not exist. Targets are 2 to 40 characters of
# made-up words, so that they name no program on the machine; a part is at
# least 6 characters, as a shorter one would match real paths by chance.
# Any rule that still matches a running program (a part of its path, or its
# file name) is left out, so that a hold as root changes nothing it did not
# start.
#   bench/make_rules.sh [COUNT [PATH...]]   COUNT defaults to 16000; the
#                                           rules match none of the PATHs either
set -euo pipefail
count=${1:-16000}
shift || true

running() {
    local exe
    for exe in /proc/[0-9]*/exe; do
        readlink "$exe" 2>/dev/null || true
    done
    [ $# -eq 0 ] || printf '%s\n' "$@"
}

running "$@" | sort -u | awk -v count="$count" '
function word(length_,    w, i) {
    w = ""
    for (i = 0; i < length_; ++i)
        w = w (i % 2 ? substr(vowels, 1 + int(rand() * 6), 1) : substr(consonants, 1 + int(rand() * 20), 1))
    return w
}
function capital(w) { return toupper(substr(w, 1, 1)) substr(w, 2) }
function between(low, high) { return low + int(rand() * (high - low + 1)) }
function ok(target,    t, name, i) {
    if (length(target) < 2 || length(target) > 40 || target in seen) return 0
    t = tolower(target)
    if (substr(t, 1, 1) == "=") {
        name = substr(t, 2)
        return !(name in names)
    }
    if (substr(t, 1, 1) != "/" && length(t) < 6) return 0
    for (i = 1; i <= npaths; ++i)
        if (index(paths[i], t)) return 0
    return 1
}
BEGIN {
    srand(35)
    consonants = "bcdfghjklmnpqrstvwxz"
    vowels = "aeiouy"
    split("helper daemon server agent worker launcher", suffixes)
    split("low normal high realtime", classes)
}
{
    paths[++npaths] = tolower($0)
    n = split($0, parts, "/")
    names[tolower(parts[n])] = 1
}
END {
    made = 0
    while (made < count) {
        shape = rand()
        if (made % 1000 == 999) {
            target = "/opt/" word(between(4, 8)) "/bin/" word(between(4, 10))
        } else if (shape < 0.35) {
            target = "=" word(between(1, 16))
        } else if (shape < 0.55) {
            target = word(between(6, 16))
        } else if (shape < 0.70) {
            target = word(between(4, 12)) "-" suffixes[between(1, 6)]
        } else if (shape < 0.85) {
            target = capital(word(between(4, 14))) ".exe"
        } else if (shape < 0.95) {
            target = capital(word(between(3, 10))) " " capital(word(between(3, 12)))
            if (rand() < 0.3) target = target " " capital(word(between(3, 8)))
            target = target ".exe"
        } else {
            target = "=" word(between(3, 12)) (rand() < 0.5 ? ".exe" : ".bin")
        }
        if (!ok(target)) continue
        seen[target] = 1
        print classes[between(1, 4)] " " target
        ++made
    }
}'
