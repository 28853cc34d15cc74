# What the benchmark scripts share; sourced after they set root and build.
# Builds the release program into $hoister, and starts and ends the idle
# processes that stand for a busy system, every one by its ID.

mkdir -p "$build"
cmake -S "$root" -B "$build/program" -DCMAKE_BUILD_TYPE=Release -DHOISTER_TESTS=OFF >/dev/null
cmake --build "$build/program" --target hoister -j2 >/dev/null
# HOISTER=path measures another build of the program with the same script.
hoister=${HOISTER:-$build/program/hoister}
cc -O2 -Wall -static -o "$build/idle" "$root/bench/idle.c"

idle=()

# Starts N idle processes and returns once all of them run; each call adds a
# group, and stop_idle ends every group.
start_idle() {
    local ids=$build/idle${#idle[@]}.ids
    rm -f "$ids"
    "$build/idle" "$1" "$ids" &
    idle+=($!)
    while [ ! -f "$ids" ]; do sleep 0.1; done
}

stop_idle() {
    local i file
    for i in "${!idle[@]}"; do
        for file in "$build/idle$i.ids" "$build/idle$i.ids.part"; do
            [ -f "$file" ] && xargs -r kill -KILL <"$file" 2>/dev/null || true
        done
        kill -KILL "${idle[$i]}" 2>/dev/null || true
        wait "${idle[$i]}" 2>/dev/null || true
        rm -f "$build/idle$i.ids" "$build/idle$i.ids.part"
    done
    idle=()
}
