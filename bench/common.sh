# What the benchmark scripts share; sourced after they set root and build.
# Builds the release program into $hoister, and starts and ends the idle
# processes that stand for a busy system, every one by its ID.

mkdir -p "$build"
cmake -S "$root" -B "$build/program" -DCMAKE_BUILD_TYPE=Release -DHOISTER_TESTS=OFF >/dev/null
cmake --build "$build/program" --target hoister -j2 >/dev/null
hoister=$build/program/hoister
cc -O2 -Wall -static -o "$build/idle" "$root/bench/idle.c"

ids=$build/idle.ids
idle=

# Starts N idle processes and returns once all of them run.
start_idle() {
    rm -f "$ids"
    "$build/idle" "$1" "$ids" &
    idle=$!
    while [ ! -f "$ids" ]; do sleep 0.1; done
}

stop_idle() {
    if [ -n "$idle" ]; then
        for file in "$ids" "$ids.part"; do
            [ -f "$file" ] && xargs -r kill -KILL <"$file" 2>/dev/null || true
        done
        kill -KILL "$idle" 2>/dev/null || true
        wait "$idle" 2>/dev/null || true
        idle=
    fi
    rm -f "$ids" "$ids.part"
}
