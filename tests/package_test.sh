#!/usr/bin/env bash
# Builds the Debian package and the tarball, unpacks each into a temporary
# root, and runs both programs from there on the examples: the outputs must
# be those of the programs in the build folder, and the manual pages and the
# bash completion there.  Where the Python module was built (PYTHON, the
# interpreter it was built for), both carry it in Debian's module folder,
# which that interpreter searches, and it gives kelvane's bytes.
#
#   package_test.sh BUILD SOURCE [PYTHON]
set -euo pipefail
build=$1 src=$2 python=${3:-}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cpack --config "$build/CPackConfig.cmake" -B "$tmp/pkg" >/dev/null
dpkg-deb -x "$tmp"/pkg/*.deb "$tmp/deb"
mkdir "$tmp/tgz"
tar xzf "$tmp"/pkg/*.tar.gz -C "$tmp/tgz"

cd "$src"
if [ -n "$python" ]; then
  "$python" -c "import sys; assert '/usr/lib/python3/dist-packages' in sys.path, sys.path" ||
    echo "note: $python does not search /usr/lib/python3/dist-packages (not Debian's interpreter)"
  # The package declares what the module needs: its interpreter's version
  # (the module is built for one), numpy and the C++ runtime.
  depends=$(dpkg-deb -f "$tmp"/pkg/*.deb Depends)
  version=$("$python" -c "import sys; print(sys.version_info[0], sys.version_info[1])")
  set -- $version
  for need in "python3 (>= $1.$2)" "python3 (<< $1.$(($2 + 1)))" python3-numpy libstdc++6; do
    case ", $depends," in *", $need,"*) ;; *) echo "the package does not depend on $need: $depends"; exit 1;; esac
  done
fi
"$build/kelvane" examples/ubm.gmm examples/models.lst "$tmp/sv.want"
"$build/morrit" examples/model0001.gmm "$tmp/mu.want" "$tmp/sigma.want" "$tmp/w.want"
for root in "$tmp/deb/usr" "$tmp"/tgz/*; do
  "$root/bin/kelvane" examples/ubm.gmm examples/models.lst "$tmp/sv"
  "$root/bin/morrit" examples/model0001.gmm "$tmp/mu" "$tmp/sigma" "$tmp/w"
  for f in sv mu sigma w; do
    cmp "$tmp/$f" "$tmp/$f.want"
  done
  # kelvane-slurm is installed beside kelvane, which it finds there.
  test -x "$root/bin/kelvane-slurm"
  PATH=/nonexistent "$root/bin/kelvane-slurm" --help | grep -q '^Usage: '
  for page in kelvane morrit kelvane-slurm; do
    test -s "$root/share/man/man1/$page.1"
    # The completion loads and completes the program's options.
    bash -c "complete() { :; }; compopt() { :; }; source '$root/share/bash-completion/completions/$page'
             COMP_WORDS=($page --he); COMP_CWORD=1; _${page//-/_}; [ \"\${COMPREPLY[*]}\" = --help ]"
  done
  if [ -n "$python" ]; then
    site=$root/lib/python3/dist-packages
    test -f "$site/gmmtools/py.typed"
    PYTHONPATH=$site "$python" -c "
import sys, numpy, gmmtools
assert gmmtools.__file__.startswith(sys.argv[1]), gmmtools.__file__
sv = gmmtools.supervectors('examples/ubm.gmm', gmmtools.read_list('examples/models.lst'))
assert sv.tobytes() == open(sys.argv[2], 'rb').read()" "$site" "$tmp/sv.want"
  fi
  echo "package ok: ${root#"$tmp"/}"
done

# cmake --install puts the package under the prefix where Python finds it:
# under /usr/local, the interpreter's own site folder (here under DESTDIR);
# under a user's ~/.local, installed by that user (not root), the user site.
if [ -n "$python" ]; then
  DESTDIR=$tmp/destdir cmake --install "$build" --prefix /usr/local >/dev/null
  site=$("$python" -c "import sysconfig; print(sysconfig.get_path('platlib'))")
  PYTHONPATH=$tmp/destdir$site "$python" -c "import gmmtools; gmmtools.read_model('examples/model0001.gmm')"
  test -x "$tmp/destdir/usr/local/bin/kelvane"
  echo "cmake --install ok: $site"
  if [ "$(id -u)" != 0 ] || ! command -v runuser >/dev/null || ! id nobody >/dev/null 2>&1 ||
     ! runuser -u nobody -- test -r "$build/cmake_install.cmake" -a -r "$src/examples/model0001.gmm"; then
    echo "note: the install as a user who is not root is tried only as root, with a build nobody may read"
  else
    home=$tmp/home
    mkdir -p "$home" && chown nobody "$home" && chmod 755 "$tmp"
    # The user's own build folder takes the install's manifest.
    touch "$build/install_manifest.txt" && chmod 666 "$build/install_manifest.txt"
    runuser -u nobody -- env HOME="$home" cmake --install "$build" --prefix "$home/.local" >/dev/null
    runuser -u nobody -- env -u PYTHONPATH HOME="$home" "$python" -c "
import sys, gmmtools
assert gmmtools.__file__.startswith(sys.argv[1] + '/.local/lib/python'), gmmtools.__file__
gmmtools.read_model('examples/model0001.gmm')" "$home"
    test -x "$home/.local/bin/kelvane"
    echo "cmake --install as a user ok: $home/.local"
  fi
fi
