#!/bin/bash
# Installs the 32-bit Windows platform the i686 tests and the demonstration
# run on (Debian, as root), in a place of its own that outlives the build
# folders: /opt/custaction-wine32 unless CA_WINE32 names another.
#
# This machine's kernel runs no 32-bit x86 code at all, so the i386 Wine
# loader runs under qemu-user while the 64-bit side (wine64, wineserver)
# stays native:
#   - Debian 12's i386 Wine, of exactly the installed wine64's version (the
#     wineserver protocol must match), unpacked into DEST/root, not installed;
#   - qemu-i386 from Debian 13's qemu-user (statically linked; Debian 12's
#     qemu 7.2 crashes or hangs Wine);
#   - DEST/root/usr/lib/wine/wine, which starts the i386 loader through qemu
#     and the preloader, beside a copy of the native wine64: Wine looks for
#     the loader of the other bitness next to its own;
#   - DEST/bin/wine, the one command every Wine process of a 32-bit test run
#     starts through (scripts/wine-prefix.sh puts DEST/bin first on PATH).
# Quick when everything is there already (DEST/ready holds what it was made
# for); a half-made installation is made again.
set -euo pipefail
DEST=$(realpath -m "${CA_WINE32:-/opt/custaction-wine32}")
R=$DEST/root
revision=2
WINEVER=$(dpkg-query -W -f='${Version}' wine64)
want="revision=$revision wine=$WINEVER"
if [ -f "$DEST/ready" ] && [ "$(cat "$DEST/ready")" = "$want" ]; then
  exit 0
fi
echo "installing the 32-bit Wine platform in $DEST (wine $WINEVER, qemu-i386)"
started=$(date +%s)
rm -f "$DEST/ready"
rm -rf "$R" "$DEST/bin"

KEYS=/usr/share/keyrings/debian-archive-keyring.gpg
# The archive this machine's apt already uses (deb822 sources first, then a
# one-line sources.list).
URI=$(awk '/^URIs:/{print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
[ -n "$URI" ] || URI=$(awk '$1=="deb"{for(i=2;i<=NF;i++) if($i ~ /^https?:/){print $i; exit}}' \
                          /etc/apt/sources.list 2>/dev/null || true)
[ -n "$URI" ] || { echo "no Debian archive configured for apt" >&2; exit 1; }
mkdir -p "$DEST/apt/lists/partial" "$DEST/apt/cache/archives/partial" "$DEST/aptq/lists/partial" \
         "$DEST/aptq/cache/archives/partial" "$DEST/debs" "$R"
: > "$DEST/apt/status"
echo "deb [signed-by=$KEYS] $URI bookworm main" > "$DEST/apt/sources.list"
echo "deb [signed-by=$KEYS] $URI trixie main" > "$DEST/aptq/sources.list"
# Private apt states: nothing of the machine's own apt set-up is changed.
A32=(-o "Dir::Etc::sourcelist=$DEST/apt/sources.list" -o Dir::Etc::sourceparts=-
     -o "Dir::State::lists=$DEST/apt/lists" -o "Dir::Cache=$DEST/apt/cache"
     -o "Dir::State::status=$DEST/apt/status" -o Debug::NoLocking=1 -o APT::Sandbox::User=root
     -o APT::Architecture=i386 -o APT::Architectures::=i386)
AQ=(-o "Dir::Etc::sourcelist=$DEST/aptq/sources.list" -o Dir::Etc::sourceparts=-
    -o "Dir::State::lists=$DEST/aptq/lists" -o "Dir::Cache=$DEST/aptq/cache"
    -o "Dir::State::status=$DEST/apt/status" -o Debug::NoLocking=1 -o APT::Sandbox::User=root
    -o APT::Architecture=amd64 -o APT::Architectures::=amd64)

# 1. i386 Wine and the libraries it needs, unpacked into the private root.
apt-get "${A32[@]}" update -qq
apt-get "${A32[@]}" install -y -qq --download-only --no-install-recommends \
    "wine32=$WINEVER" "libwine=$WINEVER" "wine32-preloader=$WINEVER" >/dev/null
for d in "$DEST"/apt/cache/archives/*.deb; do dpkg-deb -x "$d" "$R"; done

# 2. qemu-i386 from Debian 13.
apt-get "${AQ[@]}" update -qq
rm -f "$DEST"/debs/qemu-user_*.deb
(cd "$DEST/debs" && apt-get "${AQ[@]}" download qemu-user >/dev/null)
dpkg-deb --fsys-tarfile "$DEST"/debs/qemu-user_*.deb | tar -x -O ./usr/bin/qemu-i386 > "$DEST/qemu-i386.new"
chmod +x "$DEST/qemu-i386.new"
mv "$DEST/qemu-i386.new" "$DEST/qemu-i386"

# 3. What libwine's maintainer script would do: zlib1.dll marked as a Wine
#    builtin, and an ld.so cache for the i386 root.
in=$R/usr/i686-w64-mingw32/lib/zlib1.dll
{ head -c 64 "$in"; printf 'Wine builtin DLL'; head -c 16 /dev/zero; tail -c +97 "$in"; } \
    > "$R/usr/lib/i386-linux-gnu/wine/i386-windows/zlib1.dll"
printf '/lib/i386-linux-gnu\n/usr/lib/i386-linux-gnu\n' > "$R/etc/ld.so.conf"
ldconfig -r "$R"

# 4. The two loaders side by side. The preloader reserves Wine's address
#    ranges; without it every start spends about a minute probing. Wine
#    starts a process of the other bitness through "wine-preloader" beside
#    its own loader when there is one, and through the loader "wine" when
#    that fails: the preloader keeps only its other name, so that every
#    32-bit start goes through the wrapper and qemu. Where the kernel runs
#    32-bit programs, the native start would get as far as Windows code and
#    fault there.
cd "$R/usr/lib/wine"
mkdir -p real
mv wine real/wine
rm -f wine-preloader
cat > wine <<EOF
#!/bin/sh
export WINELOADERNOEXEC=1
exec "$DEST/qemu-i386" -L "$R" "$R/usr/lib/wine/wine-preloader.static" "$R/usr/lib/wine/real/wine" "\$@"
EOF
chmod +x wine
cp /usr/lib/wine/wine64 wine64
mkdir -p "$R/usr/lib/x86_64-linux-gnu"
ln -sfn /usr/lib/x86_64-linux-gnu/wine "$R/usr/lib/x86_64-linux-gnu/wine"

# 5. The commands of a 32-bit run. "wine" starts a program through the
#    64-bit loader, which hands a 32-bit program to the qemu side; the
#    /usr/bin/wine of the machine would send it into Wine's WoW64 mode,
#    which this CPU cannot run.
mkdir -p "$DEST/bin"
cat > "$DEST/bin/wine" <<EOF
#!/bin/sh
exec "$R/usr/lib/wine/wine64" "\$@"
EOF
ln -sfn wine "$DEST/bin/wine64"
cat > "$DEST/bin/wine32" <<EOF
#!/bin/sh
exec "$R/usr/lib/wine/wine" "\$@"
EOF
for tool in wineboot msiexec regedit; do
  printf '#!/bin/sh\nexec "%s/bin/wine" %s "$@"\n' "$DEST" "$tool" > "$DEST/bin/$tool"
done
chmod +x "$DEST"/bin/*

rm -rf "$DEST/apt/lists" "$DEST/aptq/lists"
echo "$want" > "$DEST/ready"
echo "32-bit Wine platform ready in $(($(date +%s) - started)) s: $DEST"
