#!/usr/bin/env bash
# Fails when a file under src/<layer>/ includes a header of a layer above its
# own. Layers, lowest first: model, midi, net, app, ui. Usage: layering_check.sh SRC_DIR
set -euo pipefail
src=${1:?usage: layering_check.sh SRC_DIR}
layers=(model midi net app ui)

rank() {
    local i
    for i in "${!layers[@]}"; do
        if [ "${layers[$i]}" = "$1" ]; then
            echo "$i"
            return
        fi
    done
    echo -1
}

status=0
for layer in "${layers[@]}"; do
    own=$(rank "$layer")
    while IFS=: read -r file line text; do
        target=$(sed -E 's|^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^/"]+)/.*|\1|' <<<"$text")
        theirs=$(rank "$target")
        if [ "$theirs" -gt "$own" ]; then
            echo "${file#"$src"/}:$line: $layer includes $target: $text"
            status=1
        fi
    done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^/"]+/' "$src/$layer" || true)
done
[ "$status" -eq 0 ] && echo "layering: nothing includes upward"
exit "$status"
