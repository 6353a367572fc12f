#!/usr/bin/env bash
# Builds the Debian package and the tarball, unpacks each into a temporary
# root, and runs both programs from there on the examples: the outputs must
# be those of the programs in the build folder, and the manual pages and the
# bash completion there.
set -euo pipefail
build=$1 src=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cpack --config "$build/CPackConfig.cmake" -B "$tmp/pkg" >/dev/null
dpkg-deb -x "$tmp"/pkg/*.deb "$tmp/deb"
mkdir "$tmp/tgz"
tar xzf "$tmp"/pkg/*.tar.gz -C "$tmp/tgz"

cd "$src"
"$build/kelvane" examples/ubm.gmm examples/models.lst "$tmp/sv.want"
"$build/morrit" examples/model0001.gmm "$tmp/mu.want" "$tmp/sigma.want" "$tmp/w.want"
for root in "$tmp/deb/usr" "$tmp"/tgz/*; do
  "$root/bin/kelvane" examples/ubm.gmm examples/models.lst "$tmp/sv"
  "$root/bin/morrit" examples/model0001.gmm "$tmp/mu" "$tmp/sigma" "$tmp/w"
  for f in sv mu sigma w; do
    cmp "$tmp/$f" "$tmp/$f.want"
  done
  for page in kelvane morrit; do
    test -s "$root/share/man/man1/$page.1"
    # The completion loads and completes the program's options.
    bash -c "complete() { :; }; compopt() { :; }; source '$root/share/bash-completion/completions/$page'
             COMP_WORDS=($page --he); COMP_CWORD=1; _$page; [ \"\${COMPREPLY[*]}\" = --help ]"
  done
  echo "package ok: ${root#"$tmp"/}"
done
