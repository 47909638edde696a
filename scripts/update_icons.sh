#!/usr/bin/env bash
# Copies the window's icons from the pinned lucide-static package (ISC licence)
# into src/ui/resources/icons, with the licence. Run by hand when the set
# changes; the result is committed and the build never downloads. Safe to run twice.
set -euo pipefail

VERSION=1.87.0
ICONS=(
    copy-plus folder-open zap save piano split sliders-horizontal audio-waveform
    network settings octagon-alert triangle-alert plus trash-2 circle-plus circle-x
    unplug radio link minus
)

root=$(cd "$(dirname "$0")/.." && pwd)
dest="$root/src/ui/resources/icons"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$work" && npm pack --silent "lucide-static@$VERSION" >/dev/null)
tar -xzf "$work"/lucide-static-"$VERSION".tgz -C "$work"

mkdir -p "$dest"
for name in "${ICONS[@]}"; do
    cp "$work/package/icons/$name.svg" "$dest/$name.svg"
done
cp "$work/package/LICENSE" "$dest/LICENSE.lucide"
echo "lucide-static $VERSION: ${#ICONS[@]} icons in $dest"
